#pragma once
// Density-based topology optimization of one FemModel: the per-element optimization state, its
// reset, the stiffness law E = 1000 * rho^3, the element energies of a solve, one optimality-
// criteria update per iteration (sensitivities through the filter and projection, shrinking
// volume target, the search for the Lagrange multiplier (MultiplierSearch.h), beta
// continuation), the morphological closing of the design and the extraction of the shape
// surface at density 0.5, made only when something reads it (updateShape, snapshot).
//
// The optimizer is bound to a FemModel (level 0 only) and sets the model's stiffness factors; it
// reads Ke(), displacement(), fixedFlags() and forces(). It never calls the solver: the run control calls the
// solver and this class in a fixed order around every solve. Values that live for the whole
// program and survive resets (beta counter, reference energy and its flag) are not part of the
// optimizer but of an OptimizationLifetime that the application core owns and passes in.
//
// Per-element arrays are indexed by element number (n = numElements(0)); the sensitivity grid
// is indexed by the element's cell x + nx*(y + ny*z). Before the first reset() every array is
// empty and updateStiffness, evaluateEnergies, iterate, closeShape, extractShape and the parts
// of iterate() do nothing (nextVolumeTarget returns the current target, searchMultiplier 0).
//
// Design controls (scene/DesignControls.h), taken by setControls() and applied at the next
// reset: the volume fraction sets the reduction goal, the filter radius the neighbourhood (and,
// when given explicitly, void padding beyond the grid's faces; see filterFaceRule),
// keep-solid boxes add kept elements, keep-empty boxes hold their elements at the lower density
// bound outside the design and the volume (V0 counts only the other elements). The default
// controls reproduce the optimization without them bit for bit.
//
// Projection mode 0 (default): the densities are the filtered design; the sensitivities take the
// projection's derivative at the field filtered once at reset, and beta grows by 1.6 every 41
// updates up to its last value 1.6^10 without ever being applied. Projection mode 1: the
// densities are rho = 0.001 + 0.999 * H_beta(filter(x)) (never below the minimum density, as in
// mode 0) after every update and in every pass of the multiplier search, kept elements hold
// x = rho = 1 and keep-empty elements x = rho = the lower bound; the sensitivities are the
// exact derivative of that map (held elements contribute nothing), taken with the beta that
// produced the current densities; beta follows the mode-1 schedule (the constants kProjected*).
//
// The per-element steps of every iteration (stiffness factors, element energies,
// sensitivities, the passes of the multiplier search, the acceptance) run behind an
// ElementSteps (optimization/ElementSteps.h) attached with attachSteps: in the product the
// kernel module on the solver's device (KernelSteps), which keeps the design, densities,
// energies, sensitivities and candidates there between iterations; the reset itself runs here
// and is then loaded. Every iteration brings back the scalars of the console and history lines
// and the densities. The state (OptimizerState.h) is private: readers take the scalars and the
// densities from the accessors below and everything else from snapshot(), which brings the
// device's arrays back itself, so no reader can see an array older than the last verb; only
// the steps reach the state itself (ElementSteps::state). Without steps attached, the
// per-element verbs do nothing. The optimizer itself holds the schedule: the reset, the volume
// target, the driver of the multiplier's search, the beta continuation, the history files
// and the measures of the densities (sharpness, volume, grey fraction) and the shape.
//
// Console output: progress lines go to the wide log, the two timing lines of iterate() to the
// narrow log (defaults: the console's wide and narrow output; null = silent). Numbers use the
// streams' default formatting. The reset's sums, the measures and the closing run on one thread
// in element order, so the results do not depend on the number of threads. Main thread only.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"
#include "optimization/DensityFilter.h"
#include "optimization/DesignRegions.h"
#include "optimization/DesignSnapshot.h"
#include "optimization/HistoryFiles.h"
#include "optimization/OptimizerState.h"
#include "scene/DesignControls.h"

namespace ostrel {

class ElementSteps;
class FemModel;

/// Optimization values of the program's life that a reset does not touch. One instance belongs
/// to the application core (with the iteration counter of the run control).
struct OptimizationLifetime {
    int betaCounter = 0;               ///< updates since beta last grew
    double referenceEnergy = 0.0;      ///< total energy of the first evaluation of the program
    bool firstEnergyEvaluation = true; ///< true until the first evaluateEnergies()
};

class Optimizer : private OptimizerState {
public:
    // The beta schedule and move limit of projection mode 1: beta starts at kProjectedBetaStart,
    // is multiplied by kProjectedBetaGrowth every kProjectedBetaInterval updates while it is
    // below kProjectedBetaLast, so its last value is kProjectedBetaLast. At 64 (reached after 90
    // updates) the grey band of the filtered field is half as wide as at 32: a coarse model's
    // design comes out crisp too, and the finer ones settle in fewer iterations.
    static constexpr double kProjectedBetaStart = 1.0;
    static constexpr double kProjectedBetaGrowth = 2.0;
    static constexpr int kProjectedBetaInterval = 15;
    static constexpr double kProjectedBetaLast = 64.0;
    static constexpr double kProjectedEta = 0.5;
    static constexpr double kProjectedMoveLimit = 0.1;
    // Projection mode 1 gives every design variable its own move limit, kProjectedMoveLimit at
    // first. Once beta has its last value (adaptsMoves), an update that reverses the sign of
    // the variable's last change multiplies it by kMoveShrink (not below kMoveFloor), one that
    // keeps the sign by kMoveGrowth (not above kProjectedMoveLimit). Variables that swing back
    // and forth by the whole limit every update (a period-2 cycle that no stop rule can end)
    // are damped that way; before, the continuation itself moves the design, as it did.
    static constexpr double kMoveShrink = 0.5;
    static constexpr double kMoveGrowth = 1.2;
    static constexpr double kMoveFloor = 0.001;
    /// Density of removed material, the lower bound of every density and of the design.
    static constexpr double kVoidDensity = 0.001;
    /// Width of the multiplier search's last bracket, as a fraction of the search range.
    static constexpr double kSearchTolerance = 1e-12;

    /// History files go to `historyDirectory` (empty = working directory).
    Optimizer(FemModel& model, OptimizationLifetime& lifetime,
              std::filesystem::path historyDirectory = {});
    Optimizer(const Optimizer&) = delete;
    Optimizer& operator=(const Optimizer&) = delete;

    void setLogs(std::wostream* wide, std::ostream* narrow) {
        wideLog_ = wide;
        narrowLog_ = narrow;
    }

    /// Parameters to their reset values, arrays sized and zeroed, padded volume sized, history
    /// files truncated, kept elements marked, filter weight sums computed, the initial design
    /// x = 0.36 filtered (x~0) and projected into rho; prints and records the sharpness.
    void reset();
    bool isReset() const { return !rho_.empty(); }

    /// Runs the per-element steps on `steps` (see above), loaded at once when the optimizer has
    /// been reset; the steps attached before are unloaded first (their state comes back). Null
    /// detaches. The steps must outlive their use here.
    void attachSteps(ElementSteps* steps);
    /// True when the attached steps run in the kernel module on a device.
    bool onDevice() const;
    /// The current design, densities, filtered design, held flags, energies, element factors,
    /// shape and total density as one value (DesignSnapshot.h; without the displacement), the
    /// device's state brought back first. Invalid before the first reset.
    DesignSnapshot snapshot();
    /// Replaces the densities (one per element; ignored before the first reset or with another
    /// count); the attached steps take them. The design and the shape are left as they are.
    void setDensities(std::vector<float> rho);

    /// Controls for the next reset (the state of a running optimization is left alone).
    void setControls(const DesignControls& controls);
    /// The filter's rule at the grid's faces: void beyond them in projection mode 1 and for a
    /// radius that was set explicitly (a member along a face is then filtered like one inside
    /// the grid); clipped otherwise, as without design controls.
    static DensityFilter::FaceRule filterFaceRule(const DesignControls& controls);
    const DesignControls& controls() const { return controls_; }
    bool isProjected() const { return controls_.projection == 1; }
    /// True when the update adapts every design variable's move limit: projection mode 1 with
    /// beta at its last value.
    bool adaptsMoves() const { return isProjected() && betaAtLastValue(); }

    /// E_i = baseStiffness * rho_i^penalty for every element (by the attached steps).
    void updateStiffness();
    /// q_i = max(0, E_i * u_i^T Ke u_i) from the solve (by the attached steps). The first call
    /// of the program's life also sets the reference energy and prints
    /// "---> Initial strain energy: ".
    void evaluateEnergies();
    /// One optimization update; `iteration` is the run control's counter (0 = first step of
    /// the program).
    void iterate(int iteration);
    /// Closes the design in x-z discs of radius 8 cells (dilation, then erosion of the solid at
    /// density 0.5), then extracts the shape. Stiffness factors are left for the next update.
    void closeShape();
    /// Densities into the padded volume (cell (x+1,y+1,z+1), border at the minimum density),
    /// iso-surface at the iso level into shapeMesh().
    void extractShape();
    /// extractShape() when the densities changed since the last extraction (a reset, an
    /// update, densitiesChanged()); nothing otherwise. snapshot() calls it.
    void updateShape();
    /// False when the densities changed since shapeMesh() was last extracted.
    bool shapeCurrent() const { return shapeCurrent_; }
    /// The densities as extractShape() reads them, in a padded volume shaped like
    /// paddedDensity() (empty before the first reset): a copy another thread may extract.
    Volume<double, double> paddedDensityCopy() const;

    /// Sharpness 4 * sum rho(1-rho) / m over the designable elements (0 when there are none).
    double sharpness() const;
    /// Sum of rho(1-rho) over the designable elements, in element order.
    double sharpnessSum() const;
    /// Sum of rho over all elements, in element order.
    double totalDensity() const;
    /// Sum of the element energies q of the last evaluation (the steps' sum).
    double totalEnergy() const { return energy_; }
    /// max |to[e] - from[e]| over the elements (0 for none).
    static double largestChange(const std::vector<float>& from, const std::vector<float>& to);
    /// Fraction of the designable elements with 0.1 < rho < 0.9 (0 when there are none).
    double greyFraction() const;
    /// True when beta has its last value: the continuation grows it no more.
    bool betaAtLastValue() const { return !(beta_ < betaLast_); }
    /// Final volume fraction of the current goal, 1 - volumeReductionGoal_.
    double volumeGoal() const { return 1.0 - volumeReductionGoal_; }
    /// The volume reduction the targets shrink towards (1 - the volume fraction); a change lasts
    /// until the next reset, which takes it from the controls again.
    double volumeReductionGoal() const { return volumeReductionGoal_; }
    void setVolumeReductionGoal(double goal) { volumeReductionGoal_ = goal; }
    /// True when the current densities were projected with beta's last value.
    bool densitiesAtLastBeta() const { return !(rhoBeta_ < betaLast_); }
    /// Density of removed material, the lower bound of the densities (set at reset).
    double minDensity() const { return minDensity_; }
    /// Exponent of the stiffness law E = baseStiffness * rho^penalty (set at reset).
    double penalty() const { return penalty_; }
    /// Density level of the shape surface.
    double isoLevel() const { return isoLevel_; }
    /// The volume the fractions are measured against: the elements not held empty.
    double initialVolume() const { return V0_; }
    /// The physical densities, one per element: current after every verb (empty before the
    /// first reset).
    const std::vector<float>& densities() const { return rho_; }

    // ---- results of the last iterate() ----
    /// Sum of q of the solve before the update.
    double lastStrainEnergy() const { return lastStrainEnergy_; }
    /// Sum of rho / the initial volume after the update.
    double lastVolumeRatio() const { return lastVolumeRatio_; }
    double lastSharpness() const { return lastSharpness_; }
    /// Largest |x_new - x_old| of the update.
    double lastDesignChange() const { return lastDesignChange_; }
    /// Seconds of the sensitivities, of the whole update (search and acceptance) and of its
    /// search; the kernel seconds of the sensitivities, the search and the acceptance (with the
    /// solver's kernel timer on a device; 0 otherwise).
    double lastSensitivitySeconds() const { return lastSensitivitySeconds_; }
    double lastUpdateSeconds() const { return lastUpdateSeconds_; }
    double lastSearchSeconds() const { return lastSearchSeconds_; }
    /// Passes of the update's multiplier search: each one read-back of volumes on a device.
    int lastSearchPasses() const { return lastSearchPasses_; }
    double lastSensitivityKernelSeconds() const { return lastSensitivityKernelSeconds_; }
    double lastSearchKernelSeconds() const { return lastSearchKernelSeconds_; }
    double lastAcceptKernelSeconds() const { return lastAcceptKernelSeconds_; }
    /// Designable elements: neither kept nor keep-empty.
    bool isDesignable(size_t e) const { return !isKept_[e] && !isEmptyHeld_[e]; }

    const TriangleMesh& shapeMesh() const { return shapeMesh_; }
    const Volume<double, double>& paddedDensity() const { return paddedDensity_; }
    HistoryFiles& history() { return history_; }
    const DensityFilter& densityFilter() const { return filter_; }
    FemModel& model() { return model_; }
    /// Corner vertex k (node order (k&1, k>>1&1, k>>2)) of element e.
    int cornerVertex(size_t e, int k) const { return cornerVertices_[8 * e + size_t(k)]; }
    /// Dense cell index of element e in the element grid.
    size_t elementCell(size_t e) const { return elementCell_[e]; }
    /// True for a design variable the update leaves alone (held empty; with projection, kept).
    bool isHeldDesign(size_t e) const { return heldDesign_[e] != 0; }

    // ---- the parts of iterate(), in its order, for a driver that runs them one by one ----
    /// Step 2: the sensitivities (by the attached steps).
    void computeSensitivities();
    /// Step 3: the range of the update ratios |dq| / dv of the designable elements with dv > 0
    /// (0, 0 when there are none).
    void ratioRange(double& lo, double& hi);
    /// Step 4: the new volume target from the goal, the last target and the current volume.
    double nextVolumeTarget() const;
    /// Step 5: the multiplier's search to a bracket of kSearchTolerance of the range: with a
    /// search width of 1 a bisection, one pass of the attached steps per halving, the last
    /// pass's multiplier chosen; wider, passes of many multipliers placed by searchPositions
    /// around the guesses of MultiplierSearch.h (the first around the multiplier that the last
    /// search since the reset chose), the middle of the last bracket chosen. Leaves the chosen
    /// multiplier's candidates. Returns the number of passes (each one read-back of volumes).
    int searchMultiplier(double target, double lo, double hi);
    /// Step 6: the candidates of the last pass become the design and the densities.
    void acceptCandidates();
    /// Step 10: the beta continuation (counter in the lifetime values).
    void continueBeta();

private:
    friend class ElementSteps;

    /// The reset state onto the attached steps, and their sums.
    void loadSteps();
    /// x_, q_, (projection mode 1) xTilde_ and the model's stiffness factors from the attached steps.
    void downloadState();
    /// rho_ changed here: the attached steps take the densities.
    void densitiesChanged();
    /// The steps' kernel seconds so far (0 without).
    double kernelSeconds() const;
    /// True when per-element steps can run: reset, with steps attached.
    bool ready() const { return isReset() && steps_ != nullptr; }
    /// Warns about keep boxes without an element centre.
    void warnEmptyBoxes(const DesignRegions& regions) const;
    /// Mode 1: rho = 0.001 + 0.999 * H_beta(xTilde), the held elements at their fixed densities.
    void projectDensities(const std::vector<float>& xTilde, std::vector<float>& rho,
                          double beta) const;
    void closeDisc(size_t e, std::vector<float>& target, float value) const;
    /// The densities into `volume` (sized like paddedDensity_), the rest at the minimum density.
    void fillPaddedDensity(Volume<double, double>& volume) const;

    FemModel& model_;
    OptimizationLifetime& lifetime_;
    DesignControls controls_;
    DensityFilter filter_;
    HistoryFiles history_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    size_t n_ = 0;
    std::vector<int> cornerVertices_;  // 8 per element
    std::vector<size_t> elementCell_;
    std::vector<uint8_t> heldDesign_;  // design variables the update leaves alone
    Volume<double, double> paddedDensity_;
    TriangleMesh shapeMesh_;
    bool shapeCurrent_ = false;  // shapeMesh_ is the surface of the current densities
    ElementSteps* steps_ = nullptr;
    // The steps' sums of the last evaluation and update: sum q, sum rho over the elements not
    // held empty, sum rho(1-rho) over the designable elements.
    double energy_ = 0.0, volume_ = 0.0, sharpness_ = 0.0;
};

}  // namespace ostrel
