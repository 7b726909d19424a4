#pragma once
// The values of the optimization that belong to the program's whole life: nothing but the end
// of the process sets them back. A reset of the optimization ("Reset Ostrel") and the loading of
// another scene leave them as they are.
//
// The entry point owns exactly one instance and hands it to the run control, which passes the
// optimizer's part on to the Optimizer.

#include "optimization/Optimizer.h"

namespace ostrel {

struct ProgramLifetime {
    /// Steps performed since the program started. Only step 0 initialises the optimization;
    /// the shape files and the console lines are numbered by it.
    int iteration = 0;
    double totalSolveSeconds = 0.0;     ///< sum of the solve times of every step
    double totalOptimizeSeconds = 0.0;  ///< sum of the optimize times of every step
    /// Beta counter, reference energy and its first-evaluation flag.
    OptimizationLifetime optimization;
};

}  // namespace ostrel
