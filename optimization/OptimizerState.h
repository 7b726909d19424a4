#pragma once
// The optimizer's parameters, per-element arrays and results of the last update, as one plain
// struct. It is private to the optimizer (Optimizer.h): nothing outside reads or writes it,
// except the per-element steps (ElementSteps.h), which keep part of it on a device between
// iterations and reach it through ElementSteps::state(). Readers outside take a
// DesignSnapshot (complete when made) or the optimizer's scalar accessors.
//
// Per-element arrays are indexed by element number (n = the model's level-0 element count).
// x_, q_, xTilde_ (and the model's stiffness factors) may be stale on the host while steps on
// a device hold them; rho_ and the scalars are current after every verb.

#include <cstdint>
#include <vector>

#include "optimization/SymmetryOrbits.h"

namespace ostrel {

struct OptimizerState {
    // ---- results of the last iterate() ----
    double lastStrainEnergy_ = 0.0;  ///< sum of q of the solve before the update
    double lastVolumeRatio_ = 0.0;   ///< sum rho / V0 after the update
    double lastSharpness_ = 0.0;
    double lastDesignChange_ = 0.0;  ///< largest |x_new - x_old| of the update
    double lastSensitivitySeconds_ = 0.0;
    double lastUpdateSeconds_ = 0.0;  ///< multiplier search and acceptance
    double lastSearchSeconds_ = 0.0;  ///< of the update: the multiplier search
    int lastSearchPasses_ = 0;        ///< of the update: the multiplier search's passes
    /// The multiplier the last search chose (0 before the first after a reset): the next
    /// search looks around it first.
    double lastMultiplier_ = 0.0;
    /// Kernel seconds of the sensitivities, the search and the acceptance (on the device with
    /// the solver's kernel timer; 0 otherwise).
    double lastSensitivityKernelSeconds_ = 0.0;
    double lastSearchKernelSeconds_ = 0.0;
    double lastAcceptKernelSeconds_ = 0.0;

    // ---- parameters, set at every reset ----
    double volumeReductionGoal_ = 0.64;
    double isoLevel_ = 0.5;
    double penalty_ = 3.0;
    double minDensity_ = 0.001;
    double volumeTarget_ = 1.0;  ///< target volume fraction of the current iteration
    double baseStiffness_ = 1000.0;
    double beta_ = 1.0;
    double eta_ = 0.5;
    /// The threshold of the projection whose densities the stiffness and the compliance's
    /// sensitivities are taken from: eta_, or with a minimum member size the eroded design's.
    double solidEta_ = 0.5;
    /// With a minimum member size: the scale of the held volume (Optimizer::memberVolumeScale)
    /// of the current design.
    double memberVolumeScale_ = 1.0;
    double designLower_ = 0.001;
    double designUpper_ = 1.0;
    double moveLimit_ = 0.1;
    // Beta continuation: multiply by betaGrowth_ every betaInterval_ updates while below
    // betaLast_ (mode 0: 1.6, 41, 80, whose last value is 1.6^10).
    double betaGrowth_ = 1.6;
    int betaInterval_ = 41;
    double betaLast_ = 80.0;

    // ---- per-element state (n entries) ----
    std::vector<uint8_t> isKept_;     ///< 1 if a corner vertex is fixed or carries a force, or
                                      ///< the centre lies in a keep-solid box
    std::vector<uint8_t> isEmptyHeld_;  ///< 1 if held empty (keep-empty box, not kept)
    std::vector<float> rho_;          ///< physical density
    std::vector<double> q_;           ///< element energy of the last solve, >= 0
    std::vector<float> x_;            ///< design variable
    std::vector<float> xTilde0_;      ///< filtered design taken at reset
    std::vector<double> W_;           ///< filter weight sums
    std::vector<float> xTilde_;       ///< mode 1: filter of the current design
    SymmetryOrbits orbits_;           ///< mirror planes: elements that share a design variable
    /// Projection mode 1: every design variable's own move limit and its last change, which the
    /// steps keep between verbs. On the host only for a checkpoint (the steps'
    /// downloadCheckpoint) or a restore (their load); empty otherwise.
    std::vector<float> moves_, lastChange_;

    // ---- scalars ----
    double V0_ = 0.0;         ///< initial volume (n)
    double Vk_ = 0.0;         ///< kept volume (number of kept elements)
    int numDesignable_ = 0;   ///< m
    int numEmptyHeld_ = 0;    ///< keep-empty elements
    double rhoBeta_ = 1.0;    ///< mode 1: the beta that projected the current densities
};

}  // namespace ostrel
