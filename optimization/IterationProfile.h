#pragma once
// The split of design iterations into their parts, for the lines of core/IterationSplit.h: one
// design iteration in the run control's order (prepareSolve, solve, element energies, the
// update, the stiffness factors, the shape and, on request, a shape file), timed part by part
// and summed over the iterations run; parts() gives the parts of one iteration (the average).
//
// Parts: uploads, assembly, factorization, cycles (without the coarse solves), coarse solves,
// copies (of prepareSolve and solve, from the solver's SolverTimes); energies, sensitivities
// (with the range of the update ratios), multiplier search, update (the acceptance of the
// candidates, the console and history lines, the stiffness factors); shape (the iso-surface);
// files (the shape file, when one is written). With the optimizer on the device and a kernel
// timer that measures, the cycles and the four optimizer parts come as "<part> (kernel)", the
// time in the kernels, and "<part> (host)", the rest.
//
// The solver, the optimizer and the timer (null: none) must outlive the profile; the optimizer
// must have been reset and its stiffness factors written. Main thread only.

#include <filesystem>
#include <vector>

#include "core/IterationSplit.h"
#include "gpu/MultigridSolver.h"

namespace ostrel {

class KernelTimer;
class Optimizer;

class IterationProfile {
public:
    IterationProfile(MultigridSolver& solver, Optimizer& optimizer, KernelTimer* timer = nullptr);

    /// One design iteration (its counter `iteration`) solved to `tolerance`; the shape goes to
    /// `shapeFile` (OBJ) unless it is empty. Returns whether the solve reached the tolerance.
    bool run(int iteration, double tolerance, const std::filesystem::path& shapeFile = {});
    int iterations() const { return iterations_; }
    /// The parts of one iteration: the sums over the iterations run divided by their number.
    std::vector<SplitPart> parts() const;

    /// Seconds of the parts summed over the iterations run (cycles with the coarse solves).
    struct Sums {
        double uploads = 0, assembly = 0, factorization = 0, cycles = 0, coarseSolves = 0,
               copies = 0, cycleKernels = 0;
        double energies = 0, energyKernels = 0, sensitivities = 0, sensitivityKernels = 0,
               search = 0, searchKernels = 0, update = 0, updateKernels = 0;
        double shape = 0, files = 0;
        double solve() const { return uploads + assembly + factorization + cycles + copies; }
        double optimize() const { return energies + sensitivities + search + update; }
    };
    const Sums& sums() const { return sums_; }

private:
    double kernelSeconds() const;
    /// The solver's parts between its times `before` (taken before prepareSolve) and now, with
    /// `cycleKernelSeconds` of the timer during solve().
    void addSolve(const SolverTimes& before, double cycleKernelSeconds);
    /// The optimizer's parts of the iteration.
    void optimize(int iteration, const std::filesystem::path& shapeFile);

    MultigridSolver& solver_;
    Optimizer& optimizer_;
    KernelTimer* timer_;
    Sums sums_;
    int iterations_ = 0;
    int files_ = 0;
};

}  // namespace ostrel
