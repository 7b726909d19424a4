#include "optimization/ProblemStart.h"

#include <ostream>
#include <sstream>
#include <utility>

#include "core/Console.h"
#include "scene/SceneLint.h"
#include "voxel/VoxelSplit.h"

namespace ostrel {

StartedProblem startProblem(const std::string& sceneFile, const StartOptions& options) {
    StartedProblem started;
    std::wostream& out = wideOut();
    const std::wstring name = fromUtf8(sceneFile);
    if (options.report)
        for (const std::wstring& warning : lintSceneFile(name)) writeLine(&out, warning);
    started.scene = std::make_unique<Scene>();
    ProblemBuild built;
    // With a split voxelization every process builds the problem, or none does.
    VoxelSplit* const split = options.problem.voxelSplit;
    bool loaded = started.scene->loadScene(name, &out);
    if (split) loaded = split->agree(loaded);
    if (loaded) built = buildProblem(*started.scene, options.problem, &out);
    if (split && !split->agree(built.status == ProblemStatus::Built)) built = ProblemBuild{};
    if (built.status != ProblemStatus::Built) {
        out << std::flush;
        started.status = built.status == ProblemStatus::NoDevice ? StartStatus::NoDevice
                                                                 : StartStatus::CannotLoad;
        started.error = "ERROR: Cannot load scene " + quotedUtf8(sceneFile);
        return started;
    }
    started.problem = std::move(built.problem);
    Scene& scene = *started.scene;
    FemModel& model = started.problem->model();
    scene.rememberSaved(started.problem->supportsAndLoads());
    if (options.report) {
        out << scene.sceneSummary(model.numElements(0), model.numVertices(0)) << std::flush;
        writeLine(&out, materialNote(scene));
    }
    model.setGravity({0, 0, 0});
    started.status = StartStatus::Started;
    return started;
}

std::wstring materialNote(const Scene& scene) {
    std::wostringstream set;
    auto add = [&](const wchar_t* name, const std::wstring& value) {
        set << (set.tellp() > 0 ? L", " : L"") << name << L' ' << value;
    };
    auto number = [](double v) {
        std::wostringstream s;
        s << v;
        return s.str();
    };
    if (scene.elasticModulus_ != kYoungsModulus)
        add(L"ELASTIC_MODULUS", number(scene.elasticModulus_));
    if (scene.poissonRatio_ != kPoissonRatio)
        add(L"POISSON_RATIO", number(scene.poissonRatio_));
    const Vec3d g = scene.gravity_;
    if (g.x != 0 || g.y != 0 || g.z != 0)
        add(L"GRAVITY", number(g.x) + L" " + number(g.y) + L" " + number(g.z));
    const std::wstring text =
        L"ELASTIC_MODULUS, POISSON_RATIO, DENSITY, DAMPING_FACTOR, TIME_STEP and GRAVITY are "
        L"read but do not change the model: it computes with E = 2e9 Pa, Poisson ratio 0.394 "
        L"and the applied forces alone";
    if (set.tellp() == 0)
        return L"Note: " + text;
    return L"WARNING: " + text + L" (this scene sets " + set.str() + L")";
}

}  // namespace ostrel
