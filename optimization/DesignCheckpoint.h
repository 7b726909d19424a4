#pragma once
// Everything the next design iteration reads, as one value, so that a run stopped after a step
// can continue as if it had not stopped: the optimizer's design, densities, filtered designs,
// filter weight sums, energies and (projection mode 1) every design variable's own move limit
// and last change; its scalars (volume target, beta and the beta that projected the densities,
// the multiplier the last search chose, the sums of the last evaluation and update, the results
// of the last update); the values of the program's life (beta counter, reference energy); the
// history files' contents so far; and, from the run control, the step counter, the time totals
// and every load case's displacement (the warm start of its next solve).
//
// Optimizer::checkpoint() fills the optimizer's part (the steps' state brought back first);
// RunControl::checkpoint() adds the run control's. Per-element arrays are indexed by element
// number as the optimizer's; displacements as FemModel::displacement().
// encodeCheckpoint/decodeCheckpoint turn it into bytes and back (the machine's byte order; the
// caller frames and checks the file).

#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteRecord.h"

namespace ostrel {

struct DesignCheckpoint {
    // ---- the optimizer's scalars ----
    int projection = 0;  ///< the projection mode of the reset that made the state
    double volumeReductionGoal = 0, volumeTarget = 0, beta = 0, rhoBeta = 0, lastMultiplier = 0;
    double lastStrainEnergy = 0, lastVolumeRatio = 0, lastSharpness = 0, lastDesignChange = 0;
    int lastSearchPasses = 0;
    /// The steps' sums: energy of the last evaluation, volume and sharpness sum of the last
    /// update.
    double energy = 0, volume = 0, sharpnessSum = 0;
    double memberVolumeScale = 1;  ///< a minimum member size's scale of the held volume
    std::vector<double> caseCompliances;  ///< each load case's, with several
    // ---- the values of the program's life (OptimizationLifetime, ProgramLifetime) ----
    int betaCounter = 0;
    double referenceEnergy = 0;
    bool firstEnergyEvaluation = true;
    int iteration = 0;  ///< the counter of the next step
    double totalSolveSeconds = 0, totalOptimizeSeconds = 0;
    // ---- per-element arrays (n entries; xTilde, moves and lastChange only with projection) ----
    std::vector<float> x, rho, xTilde, xTilde0, moves, lastChange;
    std::vector<double> W, q;
    // ---- the history files' contents, HistoryFiles::names() order ----
    std::vector<std::string> history;
    // ---- every load case's displacement buffer and whether its last solve left it, case
    // order (MultigridSolver::caseDisplacements) ----
    std::vector<std::vector<double>> displacements;
    std::vector<uint8_t> solved;

    bool valid() const { return !rho.empty(); }
};

/// Appends the checkpoint's bytes to `out`.
void encodeCheckpoint(const DesignCheckpoint& c, ByteWriter& out);
/// Reads a checkpoint that encodeCheckpoint wrote from `in`; false when the bytes do not hold
/// one (cut short, or per-element arrays of unequal sizes).
bool decodeCheckpoint(ByteReader& in, DesignCheckpoint& c);

}  // namespace ostrel
