#include "optimization/Problem.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <ostream>
#include <sstream>
#include <utility>

#include "core/Console.h"
#include "fem/CoarseSolver.h"
#include "fem/ModelSize.h"
#include "optimization/MemoryEstimate.h"
#include "voxel/SurfaceVoxels.h"
#include "voxel/VoxelSplit.h"
#include "voxel/Voxelizer.h"

namespace ostrel {
namespace {

constexpr float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

std::wstring gridPointText(const GridPoint& p) {
    return std::to_wstring(p.x) + L" " + std::to_wstring(p.y) + L" " + std::to_wstring(p.z);
}

/// The voxel grid's resolution for the scene's mesh at `voxelSize` (with the margin of the
/// additional surface voxels when the scene asks for them).
bool gridResolution(const Scene& scene, const Vec3d& voxelSize, Vec3i& resolution,
                    std::wostream* log) {
    return scene.addAdditionalSurfaceVoxels_
               ? marginResolution(scene.mesh(), voxelSize, resolution, log)
               : boundsResolution(scene.mesh(), voxelSize, resolution, log);
}

/// The model's size as far as it can be told before voxelizing at `voxelSize` into a grid of
/// `resolution`: the element count is the mesh's volume in voxels and the vertices are as many
/// again as the surface has voxel faces (a closed mesh; both capped by the grid); the solver's
/// method and the processes from `options`.
SceneSize expectedSize(const Scene& scene, const Vec3i& resolution, const Vec3d& voxelSize,
                       const ProblemOptions& options) {
    const TriangleMesh& mesh = scene.mesh();
    double area = 0, sixVolumes = 0;
    for (const MeshTriangle& t : mesh.triangles) {
        area += 0.5 * double(length(t.normal));
        sixVolumes += dot(Vec3d(mesh.vertices[size_t(t.indices[0])].position), Vec3d(t.normal));
    }
    const double volume = std::abs(sixVolumes / 6.0);
    const double voxel = voxelSize.x * voxelSize.y * voxelSize.z;
    const double face = std::min({voxelSize.x * voxelSize.y, voxelSize.y * voxelSize.z,
                                  voxelSize.x * voxelSize.z});
    SceneSize size;
    size.voxelGrid = resolution;
    size.surfaceVoxels = scene.addAdditionalSurfaceVoxels_;
    size.extent = {double(resolution.x), double(resolution.y), double(resolution.z)};
    const double cells = size.extent[0] * size.extent[1] * size.extent[2];
    const double points = (size.extent[0] + 1) * (size.extent[1] + 1) * (size.extent[2] + 1);
    size.elements = std::min(cells, volume / voxel);
    size.vertices = std::min(points, size.elements + area / face);
    size.levels = scene.numLevels_;
    size.conjugateGradients = options.solver == SolveMethod::ConjugateGradients;
    size.loadCases = 1 + int(scene.listedSupportsAndLoads().moreCases.size());
    size.processes = options.processes;
    return size;
}

/// The expected sizes of the voxel sizes that a refusal proposes (the scene's times a factor),
/// judged as the check will judge them when the scene is loaded again; a proposal that gives
/// no grid is judged on `resolution`.
std::function<SceneSize(double)> proposedSizes(const Scene& scene, const ProblemOptions& options,
                                               const Vec3i& resolution) {
    return [&scene, &options, resolution](double factor) {
        Vec3i r;
        const Vec3d voxel = scene.voxelSize_ * factor;
        const bool ok = gridResolution(scene, voxel, r, nullptr);
        return expectedSize(scene, ok ? r : resolution, voxel, options);
    };
}

/// Whether the scene's voxel grid at its voxel size can be had, with its estimated memory
/// need (checked before anything large is allocated); the grid's resolution in `resolution`,
/// the refusal's one line in `log`.
bool acceptVoxelGrid(const Scene& scene, const ProblemOptions& options,
                     const MemoryLimit& memoryLimit, Vec3i& resolution, std::wostream* log) {
    const Vec3d& voxelSize = scene.voxelSize_;
    if (!gridResolution(scene, voxelSize, resolution, log)) return false;
    if (const std::wstring error =
            memoryError(expectedSize(scene, resolution, voxelSize, options), voxelSize,
                        memoryLimit, proposedSizes(scene, options, resolution));
        !error.empty()) {
        writeLine(log, error);
        return false;
    }
    return true;
}

/// Voxelizes the mesh into the initialised `voxels`, split over processes by `split` when
/// there is one: each voxelizes its own layers, then the grid and the messages are shared.
bool voxelizeMesh(const TriangleMesh& mesh, Volume<bool, double>& voxels, VoxelSplit* split,
                  std::wostream* log) {
    if (!split) return voxelize(mesh, voxels, kIdentity, log);
    const Vec3i r = voxels.resolution();
    std::wostringstream messages;
    const bool ok = voxelizeLayers(mesh, voxels, kIdentity, split->own(r.z), &messages);
    split->share(voxels.data(), size_t(r.x) * size_t(r.y), r.z);
    if (const std::string text = split->gatherText(toUtf8(messages.str())); log && !text.empty())
        *log << fromUtf8(text) << std::flush;
    return split->agree(ok);
}

/// Whether every process of a split build goes on, `ok` being this one's verdict and `refusal`
/// its reason, which goes to `log` when it refuses; process 0, when it does not, writes the
/// first refusing process's reason instead (a refusal on one process, its memory limit say,
/// must neither leave the others waiting for its layers nor end the run without a word).
bool agreed(VoxelSplit* split, bool ok, const std::wstring& refusal, std::wostream* log) {
    if (!split) {
        if (!ok && log) *log << refusal << std::flush;
        return ok;
    }
    if (split->agree(ok)) return true;
    const std::string reasons = split->gatherText(ok ? std::string() : toUtf8(refusal));
    // A process that refused gives its own reason; process 0, when it did not, the first one's.
    const size_t end = reasons.find('\n');
    const std::wstring reason =
        ok ? fromUtf8(reasons.substr(0, end == std::string::npos ? end : end + 1)) : refusal;
    if (log) *log << reason << std::flush;
    return false;
}

/// The scene's voxel model, refused with one line in `log` when its grid or its estimated
/// memory need cannot be had (checked before anything large is allocated).
bool voxelModel(const Scene& scene, const ProblemOptions& options, Volume<bool, double>& voxels,
                std::wostream* log) {
    const Vec3d& voxelSize = scene.voxelSize_;
    // The host device's worker threads each reserve a stack and an allocator arena, the
    // coarsest level's BLAS threads their work buffers.
    const DeviceOptions& device = options.device;
    // The processes of a many-process run on this machine share its memory.
    const MemoryLimit memoryLimit =
        options.memoryLimit.bytes > 0
            ? options.memoryLimit
            : processMemoryLimit(device.hostThreads > 0 ? device.hostThreads
                                                        : omp_get_max_threads(),
                                 CoarseSolver::laterMappedBytes(),
                                 std::max(options.processesHere, 1));
    Vec3i resolution;
    std::wostringstream refusal;
    const bool accepted = acceptVoxelGrid(scene, options, memoryLimit, resolution, &refusal);
    if (!agreed(options.voxelSplit, accepted, refusal.str(), log)) return false;

    const auto start = std::chrono::steady_clock::now();
    const TriangleMesh& mesh = scene.mesh();
    // The grid starts at the mesh's bounding box, one voxel further out with surface voxels.
    const Vec3d offset = scene.addAdditionalSurfaceVoxels_
                             ? Vec3d(mesh.center) - Vec3d(mesh.halfSize) - voxelSize
                             : Vec3d(mesh.center - mesh.halfSize);
    voxels.init(resolution, voxelSize, offset, false);
    if (!voxelizeMesh(mesh, voxels, options.voxelSplit, log)) return false;
    if (scene.addAdditionalSurfaceVoxels_) addSurfaceVoxels(voxels, mesh);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    wideOut() << L"Voxelization (" << voxels.resolution().x << L" " << voxels.resolution().y
              << L" " << voxels.resolution().z << L") took " << ms << L"ms\n";

    // The model's own limits and its memory need with the exact counts.
    const ModelSize counts = measureModel(voxels);
    if (const std::wstring error = modelSizeError(counts, scene.numLevels_); !error.empty()) {
        writeLine(log, error);
        return false;
    }
    SceneSize size;
    size.processes = options.processes;
    size.voxelGrid = voxels.resolution();
    size.surfaceVoxels = scene.addAdditionalSurfaceVoxels_;
    size.extent = {double(counts.extent[0]), double(counts.extent[1]), double(counts.extent[2])};
    size.elements = double(counts.elements);
    size.vertices = double(counts.vertices);
    size.levels = scene.numLevels_;
    size.conjugateGradients = options.solver == SolveMethod::ConjugateGradients;
    size.loadCases = 1 + int(scene.listedSupportsAndLoads().moreCases.size());
    std::wstring error =
        memoryError(size, voxelSize, memoryLimit, proposedSizes(scene, options, resolution));
    if (!error.empty()) error += L"\n";
    return agreed(options.voxelSplit, error.empty(), error, log);
}

/// Fixes and loads the level-0 vertices at the listed grid points.
void applySupportsAndLoads(const SupportsAndLoads& listed, FemModel& model, std::wostream* log) {
    auto vertexAt = [&](const GridPoint& p) { return model.vertexAt(0, GridPos{p.x, p.y, p.z}); };
    // Both lists name the missing vertex with the same words.
    auto missing = [&](const GridPoint& p) {
        writeLine(log, L"WARNING: Vertex fixation: No vertex found at position " + gridPointText(p));
    };
    for (const GridPoint& p : listed.fixed) {
        const int v = vertexAt(p);
        if (v >= 0)
            model.setFixed(v, true);
        else
            missing(p);
    }
    if (listed.fixedUnreadable) writeLine(log, L"WARNING: Error while parsing vertex fixation");
    for (const PointForce& f : listed.forces) {
        const int v = vertexAt(f.at);
        if (v < 0) {
            missing(f.at);
            continue;
        }
        model.setForce(v, {f.fx, f.fy, f.fz});
    }
    if (listed.forcesUnreadable) writeLine(log, L"WARNING: Error while parsing forces");
}

/// The further load cases' forces, 3 per level-0 vertex, as the solver takes them.
std::vector<std::vector<float>> moreLoads(const SupportsAndLoads& listed, const FemModel& model,
                                          std::wostream* log) {
    std::vector<std::vector<float>> cases;
    for (const std::vector<PointForce>& list : listed.moreCases) {
        std::vector<float> forces(3 * size_t(model.numVertices(0)), 0.0f);
        for (const PointForce& f : list) {
            const int v = model.vertexAt(0, GridPos{f.at.x, f.at.y, f.at.z});
            if (v < 0) {
                writeLine(log, L"WARNING: Vertex fixation: No vertex found at position " +
                                   gridPointText(f.at));
                continue;
            }
            forces[3 * size_t(v)] = f.fx;
            forces[3 * size_t(v) + 1] = f.fy;
            forces[3 * size_t(v) + 2] = f.fz;
        }
        cases.push_back(std::move(forces));
    }
    return cases;
}

}  // namespace

DesignControls overriddenControls(DesignControls controls, const DesignOverrides& overrides) {
    if (overrides.volumeFraction > 0) controls.volumeFraction = overrides.volumeFraction;
    if (overrides.filterRadius > 0) {
        controls.filterRadius = overrides.filterRadius;
        controls.filterRadiusGiven = true;
        controls.minMember = 0;
    }
    if (overrides.minMember > 0) {
        controls.minMember = overrides.minMember;
        controls.filterRadius = DesignControls::memberFilterRadius(overrides.minMember);
        controls.filterRadiusGiven = true;
    }
    if (overrides.projection) controls.projection = 1;
    return controls;
}

Problem::Problem(std::unique_ptr<FemModel> model, std::unique_ptr<MultigridSolver> solver,
                 const DesignControls& controls)
    : model_(std::move(model)), solver_(std::move(solver)), controls_(controls) {
    regions_ = markDesignRegions(*model_, controls_, &solver_->moreLoads());
}

Problem::~Problem() {
    solver_->release();
    solver_.reset();
    model_.reset();
}

SupportsAndLoads Problem::supportsAndLoads() const {
    SupportsAndLoads current;
    const FemModel& m = *model_;
    for (int v = 0; v < m.numVertices(0); ++v) {
        const GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
        if (m.fixedFlags()[size_t(v)]) current.fixed.push_back({p.x, p.y, p.z});
        const float* f = &m.forces()[3 * size_t(v)];
        if (f[0] != 0 || f[1] != 0 || f[2] != 0)
            current.forces.push_back({{p.x, p.y, p.z}, f[0], f[1], f[2]});
    }
    for (const std::vector<float>& forces : solver_->moreLoads()) {
        std::vector<PointForce>& list = current.moreCases.emplace_back();
        for (int v = 0; v < m.numVertices(0); ++v) {
            const float* f = &forces[3 * size_t(v)];
            if (f[0] == 0 && f[1] == 0 && f[2] == 0) continue;
            const GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
            list.push_back({{p.x, p.y, p.z}, f[0], f[1], f[2]});
        }
    }
    return current;
}

ProblemBuild buildProblem(const Scene& scene, const ProblemOptions& options, std::wostream* log) {
    ProblemBuild result;
    if (scene.numLevels_ < kMinLevels || scene.numLevels_ > kMaxLevels) {
        writeLine(log, modelSizeError({}, scene.numLevels_));
        return result;
    }
    Volume<bool, double> voxels;
    if (!voxelModel(scene, options, voxels, log)) return result;
    ModelBuild built = buildModel(voxels, scene.numLevels_);
    if (!built.model) {
        writeLine(log, built.error);
        return result;
    }
    auto solver = std::make_unique<MultigridSolver>(*built.model, options.device);
    if (!solver->setup()) {
        result.status = ProblemStatus::NoDevice;
        return result;
    }
    solver->setSolveMethod(options.solver);
    applySupportsAndLoads(scene.listedSupportsAndLoads(), *built.model, log);
    if (!scene.listedSupportsAndLoads().moreCases.empty())
        solver->setMoreLoads(moreLoads(scene.listedSupportsAndLoads(), *built.model, log));
    result.problem = std::make_unique<Problem>(
        std::move(built.model), std::move(solver),
        overriddenControls(scene.designControls_, options.overrides));
    result.status = ProblemStatus::Built;
    return result;
}

}  // namespace ostrel
