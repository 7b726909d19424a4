#pragma once
// A solve of the finest level made by another engine (the many-process engine) in place of the
// multigrid solver's own cycles. The solver keeps its part of the contract: the load of every
// case, the displacement buffers (the warm starts and what the optimizer reads) and the element
// factors; the engine takes the factors and fixed vertices from the model in prepare() and
// solves one case's load from its warm start in solve(). Both are collective where the engine
// is: every process calls them in the same order.

#include <span>

namespace ostrel {

/// What one solve of an external engine did.
struct ExternalSolveResult {
    bool converged = false;      ///< the relative residual reached the tolerance
    int iterations = 0;          ///< the engine's iterations (reported as the step's cycles)
    double relativeResidual = 0; ///< ||f - K u|| / ||f||
};

class ExternalSolve {
public:
    virtual ~ExternalSolve() = default;
    /// The model's stiffness factors and fixed vertices are current: rebuild the operators.
    /// False when the system cannot be solved (its coarsest level is singular).
    virtual bool prepare() = 0;
    /// Solves K u = f to `tolerance` (relative residual) for `load` (the case's level-0 load in
    /// the model's layout, FemModel::load()), starting from `u` (the model's displacement
    /// layout), which receives the solution on every process. Both may be the solver's own
    /// buffers (on the host device), valid for the call.
    virtual ExternalSolveResult solve(std::span<const float> load, std::span<double> u,
                                      double tolerance) = 0;
};

}  // namespace ostrel
