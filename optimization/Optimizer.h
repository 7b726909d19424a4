#pragma once
// Density-based topology optimization of one FemModel: the per-element optimization state, its
// reset, the stiffness law E = 1000 * rho^3, the element energies of a solve, one optimality-
// criteria update per iteration (sensitivities through the filter and projection, shrinking
// volume target, the search for the Lagrange multiplier (MultiplierSearch.h), beta
// continuation), the morphological closing of the design and the extraction of the shape
// surface at density 0.5, made only when something reads it (updateShape, snapshot).
//
// The optimizer is bound to a FemModel (level 0 only); its steps write the model's element
// factors and read its displacement. It never calls the solver: the run control calls the
// solver and this class in a fixed order around every solve. Values that live for the whole
// program and survive resets (beta counter, reference energy and its flag) are not part of the
// optimizer but of an OptimizationLifetime that the application core owns and passes in.
//
// Per-element arrays are indexed by element number (n = numElements_[0]). Before the first
// reset() every array is empty and updateStiffness, evaluateEnergies, iterate, closeShape, extractShape and the parts
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
// energies, sensitivities and candidates there between iterations, and which also forms the
// reset's starting design (the optimizer marks the held elements and sets the parameters).
// The optimizer itself loops over no element. Every iteration brings back the scalars of the console and history lines
// and the densities. The state (OptimizerState.h) is private: readers take the scalars and the
// densities from the accessors below and everything else from snapshot(), which brings the
// device's arrays back itself, so no reader can see an array older than the last verb; only
// the steps reach the state itself (ElementSteps::state). Without steps attached, the
// per-element verbs do nothing. The optimizer itself holds the schedule: the reset, the volume
// target, the driver of the multiplier's search, the beta continuation, the history files,
// the measures of the densities (sharpness and volume, from the steps' sums) and the shape
// (DensityVolume.h).
//
// Console output: progress lines go to the wide log, the two timing lines of iterate() to the
// narrow log (defaults: the console's wide and narrow output; null = silent). Numbers use the
// streams' default formatting. Main thread only.

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"
#include "optimization/DensityFilter.h"
#include "optimization/DesignCheckpoint.h"
#include "optimization/DesignRegions.h"
#include "optimization/DesignSnapshot.h"
#include "optimization/HistoryFiles.h"
#include "optimization/OptimizerState.h"
#include "scene/DesignControls.h"

namespace ostrel {

class DesignSplit;
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
    // A minimum member size (DesignControls::minMember) runs projection mode 1 on two
    // projections of the one filtered design: the eroded one (threshold kErodedEta) is solved,
    // its stiffness and the compliance's sensitivities taken through its own projection; the
    // intermediate one (kProjectedEta) is the design: the densities, the shapes and files.
    // (The dilated one, threshold 1 - kErodedEta, needs no solve for compliance: it is never
    // the weaker.) The volume held is a mix of both, (1 - kMemberVolumeMix) * V_intermediate +
    // kMemberVolumeMix * V_eroded, scaled by the current design's V_intermediate over that mix
    // (memberVolumeScale), so that it equals the intermediate design's volume at the design
    // and the target is the intermediate design's: material that only the intermediate design
    // holds (a member too thin to carry load in the eroded design) costs volume and brings
    // nothing, so the update removes it, and the eroded design's own volume keeps the multiplier
    // in control where the eroded design grows (with the intermediate volume alone the
    // update cannot add material where only the eroded design would gain, and the volume sinks
    // below its goal once beta is high). The filter treats everything outside the object as
    // void (DensityFilter::FaceRule::VoidOutsideModel), so that members along the object's
    // surface are eroded as well, and anchors no member: the eroded design never fills a skin
    // of about 0.3 filter radii along the surface, so the supports and loads get solid pads
    // of half the member size instead (DesignRegions), which reach past that skin.
    static constexpr double kErodedEta = 0.75;
    static constexpr double kMemberVolumeMix = 0.5;
    /// The held volume's scale for the designable sums of the intermediate and eroded designs:
    /// intermediate / ((1 - kMemberVolumeMix) * intermediate + kMemberVolumeMix * eroded), 1
    /// when that mix is not positive.
    static double memberVolumeScale(double intermediate, double eroded) {
        const double held = (1.0 - kMemberVolumeMix) * intermediate + kMemberVolumeMix * eroded;
        return held > 0.0 ? intermediate / held : 1.0;
    }
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
    /// files truncated, kept and held-empty elements marked; then the attached steps form the
    /// starting design (ElementSteps::start: the design at the volume fraction, its filter and
    /// densities), and its sharpness is printed and recorded. Without steps attached that
    /// happens when steps are attached.
    void reset();
    bool isReset() const { return !rho_.empty(); }

    /// Runs the per-element steps on `steps` (see above), loaded at once when the optimizer has
    /// been reset; the steps attached before are unloaded first (their state comes back). Null
    /// detaches. The steps must outlive their use here.
    void attachSteps(ElementSteps* steps);
    /// A many-process run's split of the design (gpu/DesignSplit.h): the shape is then made
    /// across the processes (extractSplitShape), which makes extractShape, updateShape,
    /// closeShape and snapshot collective, and shapeMesh() is the whole shape on process 0 and
    /// empty on the others; the padded volume is not held. Null (the default): this process
    /// makes the whole shape. Set before the first reset; must outlive the optimizer's use.
    void setShapeSplit(DesignSplit* split) { shapeSplit_ = split; }
    /// True when the attached steps run in the kernel module on a device.
    bool onDevice() const;
    /// The current design, densities, filtered design, held flags, energies, element factors,
    /// shape and total density as one value (DesignSnapshot.h; without the displacement), the
    /// device's state brought back first. Invalid before the first reset.
    DesignSnapshot snapshot();
    /// Everything of the optimizer that the next iteration reads (DesignCheckpoint.h: its
    /// state, the lifetime values, the history files' contents), the steps' state brought back
    /// first and the steps left as they are. Invalid before the first reset.
    DesignCheckpoint checkpoint();
    /// Continues from `c` after a reset() with the same model, controls and load cases as the
    /// optimizer that made it: takes its state and lifetime values, writes the history files
    /// with its contents (later values follow them) and loads the state on the attached steps.
    /// The next updateStiffness() then writes the factors of its densities. False, with
    /// nothing changed, when it does not fit (not reset, no steps, another element count or
    /// projection mode).
    bool restore(const DesignCheckpoint& c);
    /// Replaces the densities (one per element; ignored before the first reset or with another
    /// count); the attached steps take them. The design and the shape are left as they are.
    void setDensities(std::vector<float> rho);

    /// Controls for the next reset (the state of a running optimization is left alone).
    void setControls(const DesignControls& controls);
    /// The filter's rule at the grid's faces: with a minimum member size void everywhere
    /// outside the object; void beyond the faces in projection mode 1 and for a radius that was
    /// set explicitly (a member along a face is then filtered like one inside the grid);
    /// clipped otherwise, as without design controls.
    static DensityFilter::FaceRule filterFaceRule(const DesignControls& controls);
    const DesignControls& controls() const { return controls_; }
    /// Projection mode 1: asked for, or implied by a minimum member size.
    bool isProjected() const { return controls_.projection == 1 || controls_.minMember > 0; }
    /// True when the last reset set up a minimum member size: the stiffness comes from the
    /// eroded projection of the filtered design (threshold solidEta), the densities are the
    /// intermediate design.
    bool solvesEroded() const { return isReset() && solidEta_ != eta_; }
    /// True when the update adapts every design variable's move limit: projection mode 1 with
    /// beta at its last value.
    bool adaptsMoves() const { return isProjected() && betaAtLastValue(); }

    /// The further load cases' forces (3 per level-0 vertex each, MultigridSolver::moreLoads):
    /// the reset keeps and anchors the elements at their loaded vertices as at the model's.
    /// Null (the default): none. Must outlive the optimizer's use of it.
    void setMoreLoads(const std::vector<std::vector<float>>* forces) { moreLoads_ = forces; }
    /// Load cases of the last reset: the controls' weights (one per case) when there are
    /// several, else 1.
    int loadCaseCount() const { return caseWeights_.empty() ? 1 : int(caseWeights_.size()); }
    /// Several load cases, after the solve of case `c` (0-based, in case order, every case
    /// once before evaluateEnergies): the case's energies times its weight into the energies
    /// of the objective (the attached steps' addCaseEnergies); its compliance is kept.
    void evaluateCaseEnergies(int c);
    /// Each load case's compliance (sum of its element energies) of the last evaluation, with
    /// several cases; empty with one.
    const std::vector<double>& caseCompliances() const { return caseCompliances_; }

    /// E_[i] = baseStiffness * rho_i^penalty for every element (by the attached steps).
    void updateStiffness();
    /// q_i = max(0, E_i * u_i^T Ke u_i) from the solve (by the attached steps). With several
    /// load cases the cases' weighted energies are in place already (evaluateCaseEnergies) and
    /// the total energy is the objective, sum over the cases of weight * compliance. The first
    /// call of the program's life also sets the reference energy and prints
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
    /// paddedDensity() (empty before the first reset and with a shape split): a copy another
    /// thread may extract.
    Volume<double, double> paddedDensityCopy() const;

    /// Sharpness 4 * sum rho(1-rho) / m over the designable elements (0 when there are none),
    /// from the steps' sum of the densities they last formed (the start or an update).
    double sharpness() const;
    /// Sum of rho over the elements not held empty: the steps' sum, current after every verb
    /// with steps attached.
    double totalDensity() const { return volume_; }
    /// Sum of the element energies q of the last evaluation (the steps' sum).
    double totalEnergy() const { return energy_; }
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
    /// True for a design variable the update leaves alone (held empty; when the last reset
    /// projected, kept).
    bool isHeldDesign(size_t e) const {
        return isEmptyHeld_[e] || (xTilde_.size() == n_ && isKept_[e]);
    }

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

    /// The attached steps form the reset's starting state; its sums, sharpness line and record.
    void startSteps();
    /// x_, q_, (projection mode 1) xTilde_ and the model's E_ from the attached steps.
    void downloadState();
    /// rho_ changed here: the attached steps take the densities.
    void densitiesChanged();
    /// The steps' kernel seconds so far (0 without).
    double kernelSeconds() const;
    /// True when per-element steps can run: reset, with steps attached.
    bool ready() const { return isReset() && steps_ != nullptr; }
    /// Warns about keep boxes without an element centre.
    void warnEmptyBoxes(const DesignRegions& regions) const;

    FemModel& model_;
    OptimizationLifetime& lifetime_;
    DesignControls controls_;
    DensityFilter filter_;
    HistoryFiles history_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    size_t n_ = 0;
    bool started_ = false;  // the steps formed the starting state of the last reset
    Volume<double, double> paddedDensity_;
    TriangleMesh shapeMesh_;
    bool shapeCurrent_ = false;  // shapeMesh_ is the surface of the current densities
    ElementSteps* steps_ = nullptr;
    DesignSplit* shapeSplit_ = nullptr;
    // The steps' sums of the last evaluation and update: sum q, sum rho over the elements not
    // held empty, sum rho(1-rho) over the designable elements.
    double energy_ = 0.0, volume_ = 0.0, sharpness_ = 0.0;
    // Load cases: the further cases' forces, the weights of the last reset (empty with one
    // case) and each case's compliance of the last evaluation.
    const std::vector<std::vector<float>>* moreLoads_ = nullptr;
    std::vector<double> caseWeights_, caseCompliances_;
};

}  // namespace ostrel
