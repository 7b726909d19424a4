#include "optimization/IterationProfile.h"

#include <algorithm>
#include <chrono>

#include "core/Console.h"
#include "core/Timing.h"
#include "gpu/MultigridSolver.h"
#include "gpu/KernelTimer.h"
#include "optimization/LoadCaseSolve.h"
#include "optimization/Optimizer.h"

namespace ostrel {

IterationProfile::IterationProfile(MultigridSolver& solver, Optimizer& optimizer, KernelTimer* timer)
    : solver_(solver), optimizer_(optimizer), timer_(timer) {}

double IterationProfile::kernelSeconds() const { return timer_ ? timer_->seconds() : 0.0; }

bool IterationProfile::run(int iteration, double tolerance,
                           const std::filesystem::path& shapeFile) {
    const SolverTimes before = solver_.times();
    solver_.prepareSolve();
    const double cycleStart = kernelSeconds();
    const bool converged = solveLoadCases(solver_, optimizer_, tolerance);
    addSolve(before, kernelSeconds() - cycleStart);
    optimize(iteration, shapeFile);
    return converged;
}

void IterationProfile::addSolve(const SolverTimes& before, double cycleKernelSeconds) {
    const SolverTimes& after = solver_.times();
    sums_.cycleKernels += cycleKernelSeconds;
    sums_.uploads += after.uploads - before.uploads;
    sums_.assembly += after.assembly - before.assembly;
    sums_.factorization += after.factorization - before.factorization;
    sums_.cycles += after.cycles - before.cycles;
    sums_.coarseSolves += after.coarseSolves - before.coarseSolves;
    sums_.copies += after.copies - before.copies;
}

void IterationProfile::optimize(int iteration, const std::filesystem::path& shapeFile) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    double kernels = kernelSeconds();
    optimizer_.evaluateEnergies();
    sums_.energies += secondsSince(start);
    sums_.energyKernels += kernelSeconds() - kernels;

    start = Clock::now();
    optimizer_.iterate(iteration);
    const double iterate = secondsSince(start);
    sums_.sensitivities += optimizer_.lastSensitivitySeconds();
    sums_.sensitivityKernels += optimizer_.lastSensitivityKernelSeconds();
    sums_.search += optimizer_.lastSearchSeconds();
    sums_.searchKernels += optimizer_.lastSearchKernelSeconds();
    // The rest of the update: the acceptance, the lines, and the stiffness factors.
    start = Clock::now();
    kernels = kernelSeconds();
    optimizer_.updateStiffness();
    sums_.update += iterate - optimizer_.lastSensitivitySeconds() -
                    optimizer_.lastSearchSeconds() + secondsSince(start);
    sums_.updateKernels += optimizer_.lastAcceptKernelSeconds() + kernelSeconds() - kernels;

    start = Clock::now();
    optimizer_.extractShape();
    sums_.shape += secondsSince(start);
    if (!shapeFile.empty()) {
        start = Clock::now();
        optimizer_.shapeMesh().writeObj(fromUtf8(shapeFile.string()), nullptr);
        sums_.files += secondsSince(start);
        ++files_;
    }
    ++iterations_;
}

std::vector<SplitPart> IterationProfile::parts() const {
    const double per = iterations_ > 0 ? 1.0 / iterations_ : 0.0;
    const bool kernelSplit = timer_ && timer_->available();
    const bool optimizerSplit = kernelSplit && optimizer_.onDevice();
    std::vector<SplitPart> parts;
    auto add = [&](const char* name, double wall, double kernel, bool split) {
        if (split) {
            parts.push_back({std::string(name) + " (kernel)", kernel * per});
            // The kernel time lies inside the wall time; a clock's rounding can put it above.
            parts.push_back({std::string(name) + " (host)", std::max(0.0, wall - kernel) * per});
        } else {
            parts.push_back({name, wall * per});
        }
    };
    add("uploads", sums_.uploads, 0, false);
    add("assembly", sums_.assembly, 0, false);
    add("factorization", sums_.factorization, 0, false);
    add("cycles", sums_.cycles - sums_.coarseSolves, sums_.cycleKernels, kernelSplit);
    add("coarse solves", sums_.coarseSolves, 0, false);
    add("copies", sums_.copies, 0, false);
    add("energies", sums_.energies, sums_.energyKernels, optimizerSplit);
    add("sensitivities", sums_.sensitivities, sums_.sensitivityKernels, optimizerSplit);
    add("multiplier search", sums_.search, sums_.searchKernels, optimizerSplit);
    add("update", sums_.update, sums_.updateKernels, optimizerSplit);
    add("shape", sums_.shape, 0, false);
    if (files_ > 0) add("files", sums_.files, 0, false);
    return parts;
}

}  // namespace ostrel
