#pragma once
// The start-up that the window, the batch tool and the evaluator share: the scene file's lint
// (unknown keys, before the load, which a typo may make fail), the load (scene/Scene.h), the
// problem (optimization/Problem.h), the scene's summary and the note on its material keys, and
// gravity set to zero: the loads are the applied forces only, whatever the file says.
//
// Nothing here ends the process: a scene that cannot be loaded or whose problem is refused
// comes back as a status with the one line the programs print, "ERROR: Cannot load scene
// "<name>"" (after the failing part's own message on the console), and the programs turn the
// status into their exit codes.

#include <memory>
#include <string>

#include "optimization/Problem.h"
#include "scene/Scene.h"

namespace ostrel {

struct StartOptions {
    ProblemOptions problem;
    /// The lint before the load and the summary and material note after it (the evaluator,
    /// whose console carries its results' errors, goes without).
    bool report = true;
};

enum class StartStatus {
    Started,
    CannotLoad,  ///< the scene cannot be loaded or its problem is refused
    NoDevice,    ///< the driver reports no device (MultigridSolver::setup)
};

struct StartedProblem {
    StartStatus status = StartStatus::CannotLoad;
    std::string error;  ///< the program's line when not started (UTF-8, without a line end)
    std::unique_ptr<Scene> scene;
    std::unique_ptr<Problem> problem;  ///< set when started
};

/// Runs the start-up for the scene file named `sceneFile` (UTF-8); lines go to the wide console.
StartedProblem startProblem(const std::string& sceneFile, const StartOptions& options);

/// One line on the material keys of a loaded scene: "WARNING: ..." when the scene asks for a
/// material or gravity other than the model's built-in one (naming what it sets), otherwise a
/// plain note.
std::wstring materialNote(const Scene& scene);

}  // namespace ostrel
