#pragma once
// The multigrid solver's device state for one FemModel: device, context, kernel module, the
// multigrid, sum and assembly kernel handles, every device buffer and the page-locked host
// buffers of the per-cycle copies, plus the entry points that drive a solve.
//
// Life cycle: construct (bound to the model, nothing on the device) -> setup() once -> any
// number of computeLoad / prepareSolve / solve -> release() once, before the model is destroyed
// (the destructor releases when the caller has not). Every driver failure is fatal through the
// error check (message, "CUDA Driver API Error: " code and name, source file "cudafem"), but
// for an allocation of the host device that finds no memory: that ends the process with one
// "ERROR: Out of memory: ..." line and exit status 1 (core/MemoryLimit.h).
// The device is chosen by DeviceOptions (see gpu/Driver.h): a CUDA device when the driver loads
// and reports one, else the host device. Main thread only.
//
// prepareSolve assembles the operators of levels >= 2 on the device with the assembly kernels of
// the module (element by element, deterministic) straight into A_dev_ and copies only the
// coarsest one back into the model's levelOperator() for the factorization; the other levels'
// stay as they were (downloadOperators fetches them all). The coarsest level's factor and the
// cached fixation check (fem/Operators.h CoarseSystem) are the solver's own. The assembly's scratch buffers are counted in the
// memory report.
//
// solve() prints one "Residual within cycle " line per V-cycle on the narrow log and writes the
// cycle count to the cycle-count sink (null = nothing written). Per cycle only the residual norm
// (one double, reduced on the device) and the coarsest level's right-hand side and solution
// cross between host and device, through page-locked host buffers. Every kernel writes each
// output from one thread in a fixed order (the restriction gathers, the norm is a fixed-order
// sum), so a solve is bit-reproducible on one device and independent of the host device's
// thread count. When the coarsest-level factorization has failed or found the system singular
// (the fixed vertices leave a rigid-body mode free: none fixed, one point, a hinge line),
// prepareSolve prints one "WARNING: " line and solve returns false at once, with zero cycles
// and a zero displacement.
//
// With SolveMethod::ConjugateGradients, solve() runs preconditioned conjugate gradients on the
// finest level instead of the V-cycle loop: one symmetric V-cycle (post-smoothing in the reverse
// colour order) from zero per iteration as the preconditioner, the same warm start, stopping
// test (checked on the true residual f - K u) and cycle cap. Its vectors live on the device and
// every dot product is a fixed-order sum there, so it is bit-reproducible as well.

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fem/Operators.h"
#include "gpu/Driver.h"
#include "gpu/ExternalSolve.h"

namespace ostrel {

class FemModel;
class KernelTimer;

/// Seconds spent in the parts of prepareSolve and solve, summed over calls since the last reset.
/// Host-side wall times: on a GPU a kernel's time shows in the first synchronous copy after it
/// (the coarsest operator's copy ends the assembly, the per-cycle copies end each cycle).
/// Time step of the mass term m / dt^2 of the kernels. The lumped vertex masses are zero (the
/// solve is static), so the term vanishes; the tests give the kernels masses of their own.
constexpr double kMassTermTimeStep = 0.05;

/// Values per partial sum in every stage of the residual norm's reduction on the device.
constexpr int kResidualSumChunk = 32;

/// Entries of all stages of the reduction of n values: ceil(n/32), then ceil of that / 32, ...
/// down to the one final sum (the device buffer of the residual norm holds that many doubles).
size_t residualSumEntries(size_t n);

/// Bytes of the conjugate-gradient buffers (SolveMethod::ConjugateGradients) for `vertices`
/// level-0 vertices: six vectors of 3 entries per vertex (four of doubles, two of floats) and
/// the partial sums of their dot products.
size_t conjugateGradientBytes(size_t vertices);

struct SolverTimes {
    double uploads = 0;        ///< dt_, fixed vertices, element factors, zero masses
    double assembly = 0;       ///< assembly kernels and the copy of the coarsest operator
    double factorization = 0;  ///< building and factoring the coarsest-level system
    double cycles = 0;         ///< V-cycles with their per-cycle copies and coarse solves
    double coarseSolves = 0;   ///< of cycles: the direct solves on the CPU
    double copies = 0;         ///< the final copy of the displacements to the model
};

/// How solve() reaches its tolerance.
enum class SolveMethod {
    VCycles,             ///< V-cycles until the residual is small enough
    ConjugateGradients,  ///< conjugate gradients, one symmetric V-cycle per iteration
};

/// The method that a --solver value names: "vcycle" or "pcg"; false for any other text.
bool solveMethodNamed(std::string_view name, SolveMethod& method);

class MultigridSolver {
public:
    static constexpr int kMaxCycles = 200;

    /// Binds to `model`. `driver` overrides the device choice of `options` (tests pass one).
    explicit MultigridSolver(FemModel& model, const DeviceOptions& options = {},
                     std::unique_ptr<Driver> driver = nullptr);
    ~MultigridSolver();
    MultigridSolver(const MultigridSolver&) = delete;
    MultigridSolver& operator=(const MultigridSolver&) = delete;

    /// Device list, context, module, Ke_, grid uploads, buffers, kernel lookups, memory report.
    /// False, after the line "No CUDA device found" and with nothing set up, when the driver
    /// reports no device; the caller decides what that means for the program.
    bool setup();
    /// Frees every buffer and detaches the context. Safe to call twice.
    void release();
    /// Takes the model's Ke() again after a caller changed its material (FemModel::setMaterial):
    /// copies it into the module and rebuilds the assembly's matrices derived from it. The next
    /// prepareSolve assembles with it.
    void reloadElementMatrix();
    /// Builds the load from the model's forces() and gravity(), uploads it, sets it as the
    /// model's load() and returns its norm. With further load cases (setMoreLoads) it builds and
    /// uploads each case's load too, and leaves case 0 (the model's forces) selected, the
    /// model's load() and loadNorm() its own.
    double computeLoad();
    /// The norm of the selected load case's load (what solve measures its residual against).
    double loadNorm() const { return loadNorm_; }

    /// Load cases beyond the model's forces (case 0): the forces of cases 1, 2, ..., each 3
    /// floats per level-0 vertex as FemModel::forces() (with the model's gravity, as case 0).
    /// Each case keeps its own load and displacement on the device (its displacement the warm
    /// start of its next solve); allocated here when set up, else by setup. The next
    /// computeLoad uploads their loads. None by default.
    void setMoreLoads(std::vector<std::vector<float>> forces);
    const std::vector<std::vector<float>>& moreLoads() const { return moreLoads_; }
    /// Replaces the forces of further case `c` (1 .. loadCaseCount() - 1; others are ignored),
    /// 3 floats per level-0 vertex as in setMoreLoads, for the next computeLoad; the case keeps
    /// its load and displacement on the device until then (as the model's forces do).
    void setCaseForces(int c, std::vector<float> forces);
    /// 1 + the further cases.
    int loadCaseCount() const { return 1 + int(moreLoads_.size()); }
    /// Puts case `c`'s load and displacement where solve, downloadDisplacements and the device
    /// optimizer read them (f_dev_, u_dev_[0], loadNorm(), displacementOnDevice());
    /// the case selected before keeps its own.
    void selectLoadCase(int c);
    int selectedLoadCase() const { return selectedCase_; }
    /// Uploads dt_, isVertexFixed_, E_, vertexMass_ (set to 0), assembles and uploads the
    /// operators of levels >= 2 and factors the coarsest level.
    void prepareSolve();
    /// V-cycles until residual / loadNorm() <= tolerance or 200 cycles; the model's
    /// displacement() receives the result.
    /// Returns whether the tolerance was reached; false at once when the coarse factor is missing.
    bool solve(double tolerance);

    /// The method of solve() (default: VCycles). ConjugateGradients allocates its buffers
    /// (conjugateGradientBytes, about 120 bytes per vertex) on the device: at once when set up,
    /// else at its first solve.
    void setSolveMethod(SolveMethod method);
    SolveMethod solveMethod() const { return method_; }
    /// Hands every solve to `engine` (gpu/ExternalSolve.h; null: the solver's own cycles again):
    /// prepareSolve puts the latest element factors into the model and prepares the engine
    /// instead of assembling, and solve passes the selected case's load and displacement to the
    /// engine and takes its solution back as its own (the engine's iterations count as cycles;
    /// the stop request is not asked). The engine must outlive its use here. While an engine
    /// solves, the buffers of the own cycles (every level but the finest, the residuals, the
    /// assembly's scratch, the coarsest level's transfers, conjugate gradients') are freed;
    /// handing the solves back allocates them again.
    void setExternalSolve(ExternalSolve* engine);
    ExternalSolve* externalSolve() const { return external_; }

    /// Where solve writes its cycle count and a line break; null = nowhere.
    void setCycleCountSink(std::ostream* sink) { cycleSink_ = sink; }
    std::ostream* cycleCountSink() const { return cycleSink_; }
    /// Asked after every V-cycle of solve (empty = never): when it returns true, solve stops
    /// there and returns false without a cycle count and without copying the displacement (the
    /// model keeps the last finished solve's); lastSolveStopped() tells.
    void setStopRequest(std::function<bool()> stopRequested) {
        stopRequested_ = std::move(stopRequested);
    }
    /// True when the last solve was stopped by the stop request.
    bool lastSolveStopped() const { return lastStopped_; }
    /// Logs for the set-up's and solve's lines (defaults: the console's wide and narrow output).
    void setLogs(std::wostream* wide, std::ostream* narrow) { wideLog_ = wide; narrowLog_ = narrow; }
    std::wostream* wideLog() const { return wideLog_; }
    std::ostream* narrowLog() const { return narrowLog_; }

    Driver& driver() { return *driver_; }
    FemModel& model() const { return model_; }
    /// Brackets every launch of the solver and of the device optimizer; null = none.
    void setKernelTimer(KernelTimer* timer) { kernelTimer_ = timer; }
    KernelTimer* kernelTimer() const { return kernelTimer_; }
    /// With the optimizer on the device (gpu/DeviceOptimizer.h), which writes the element factors
    /// there and reads the displacement there: `factors` (nE floats on the device) receives the
    /// next factors; once they are marked written, prepareSolve takes them in place of
    /// uploading the model's stiffnessFactors() (the two buffers trade places, so a solve and
    /// its operators always use the factors of the same prepareSolve), and solve copies no
    /// displacement back (downloadDisplacements does). 0 switches it off.
    void setOptimizerFactors(CUdeviceptr factors) {
        nextFactors_dev_ = factors;
        factorsPending_ = false;
    }
    bool optimizerOnDevice() const { return nextFactors_dev_ != 0; }
    /// Where the optimizer writes the next factors; factorsWritten marks them for prepareSolve.
    CUdeviceptr nextFactors() const { return nextFactors_dev_; }
    void factorsWritten() { factorsPending_ = true; }
    /// The latest factors: those written and not yet taken, else E_dev_.
    CUdeviceptr latestFactors() const { return factorsPending_ ? nextFactors_dev_ : E_dev_; }
    /// False after a solve that ran no cycle (zero load, singular system): its displacement is
    /// zero, whatever u_dev_ of level 0 holds.
    bool displacementOnDevice() const { return displacementOnDevice_; }
    /// The model's displacement() = that of the last solve.
    void downloadDisplacements();
    /// The displacement of the last solve (zero after a solve that left none), read from the
    /// device without storing it in the model (in the model's displacement() layout).
    std::vector<double> lastDisplacement() const;
    /// Every load case's displacement buffer on the device, the warm start of its next solve
    /// (3 blocks of the level-0 vertex count as FemModel::displacement()), in case order, and
    /// in `solved` whether its last solve left it (displacementOnDevice() of the case). The
    /// selected case stays selected. Empty when not set up.
    std::vector<std::vector<double>> caseDisplacements(std::vector<uint8_t>& solved);
    /// Puts `u` and `solved` (as caseDisplacements gives them) back as every case's: the warm
    /// starts of the next solves, a continued run's. False, with nothing changed, when the case
    /// count or a size does not fit or the solver is not set up.
    bool setCaseDisplacements(const std::vector<std::vector<double>>& u,
                              const std::vector<uint8_t>& solved);
    bool isSetUp() const { return setUp_; }
    /// Byte total of the buffers counted by the memory report.
    size_t allocatedBytes() const { return allocated_; }
    /// Name of the device in use.
    const std::string& deviceName() const { return deviceName_; }
    /// The coarsest level's factor and fixation check (for inspection).
    const CoarseSystem& coarseSystem() const { return coarse_; }
    /// False when the last prepareSolve could not factor the coarsest level.
    bool coarseFactorValid() const { return coarseValid_; }
    /// Cycles run by the last solve (0 for a zero load).
    int lastCycles() const { return lastCycles_; }
    /// The relative residual the last solve ended at, as it measured it (0 for a zero load, a
    /// singular system or a stopped solve).
    double lastRelativeResidual() const { return lastRelative_; }
    /// Time split of prepareSolve and solve since construction or resetTimes().
    const SolverTimes& times() const { return times_; }
    void resetTimes() { times_ = {}; }

    /// Assembles the operators of levels >= 2 into A_dev_ from the fixed vertices, element
    /// factors and masses already on the device (no copy back).
    void assembleOperators();
    /// Copies A_dev_ of every level >= 2 into the model's levelOperator().
    void downloadOperators();

    // ---- steps of the cycle (public so that tests can drive them one by one) ----
    /// One V-cycle on u_dev_[0] for the load f_dev_; `symmetric` smooths after the coarse
    /// correction in the reverse colour order (the adjoint of the pre-smoothing).
    void vCycle(bool symmetric = false);
    /// Gauss-Seidel over the eight colours of `level`, in the reverse order with `reverse`.
    void smooth(int level, bool reverse = false);
    void residualAndRestrict(int level);
    void interpolate(int level);
    void coarseSolve();
    /// sqrt of the sum of r_norm (the squared residuals of the last finest residual), reduced
    /// on the device in a fixed order; one double comes back.
    double residualNorm();
    /// Sum of the n floats at `values` (1 <= n <= level-0 vertex count) on the device, in the
    /// fixed order of the partial-sum kernels: ceil(n/32) sums of 32 consecutive values in
    /// index order, then the same over those sums, until one is left. One double comes back.
    double sumOnDevice(CUdeviceptr values, int n);
    /// One V-cycle from zero for the right-hand side `rhs` (3N floats, component-major, N the
    /// level-0 vertex count) into `out` (3N doubles); the buffers of u_dev_[0] and f_dev_ are
    /// unchanged. Needs the conjugate-gradient buffers (setSolveMethod).
    void applyCycle(CUdeviceptr rhs, CUdeviceptr out, bool symmetric);
    /// a . b over n doubles on the device (n <= 3N), summed in a fixed order like sumOnDevice.
    /// Needs the conjugate-gradient buffers.
    double dotOnDevice(CUdeviceptr a, CUdeviceptr b, int n);

    // ---- device handles and buffers ----
    int deviceOrdinal_ = 0;
    CUdevice device_ = 0;
    CUcontext context_ = nullptr;
    CUmodule module_ = nullptr;
    CUfunction gaussSeidelFinestLevelKernel_ = nullptr;
    CUfunction gaussSeidelKernel_ = nullptr;
    CUfunction computeResidualFinestLevelKernel_ = nullptr;
    CUfunction computeResidualKernel_ = nullptr;
    CUfunction restrictFinestLevelKernel_ = nullptr;
    CUfunction restrictKernel_ = nullptr;
    CUfunction interpolateFinestLevelKernel_ = nullptr;
    CUfunction interpolateKernel_ = nullptr;
    CUfunction pNormAverageKernel_ = nullptr;
    CUfunction pNormAverageCoefKernel_ = nullptr;
    CUfunction partialSumsOfFloatsKernel_ = nullptr;
    CUfunction partialSumsKernel_ = nullptr;
    CUfunction galerkinPositionMatricesKernel_ = nullptr;
    CUfunction galerkinWeightsKernel_ = nullptr;
    CUfunction galerkinElementFinestLevelKernel_ = nullptr;
    CUfunction galerkinElementKernel_ = nullptr;
    CUfunction galerkinStencilKernel_ = nullptr;

    std::vector<CUdeviceptr> elementGrid_dev_, elementPosition_dev_, vertexGrid_dev_,
        vertexPosition_dev_;
    CUdeviceptr isVertexFixed_dev_ = 0, E_dev_ = 0, vertexMass_dev_ = 0, f_dev_ = 0;
    std::vector<CUdeviceptr> u_dev_, b_dev_, A_dev_;
    /// Residual of the levels restricted from (0 and 2 .. L-2; others null), dense over the
    /// level's vertex grid: 3 doubles per grid point, point (x,y,z) at 3*((z*vy + y)*vx + x) +
    /// component; zero at points without a vertex (cleared once by setup, never written).
    std::vector<CUdeviceptr> r_dev_;
    CUdeviceptr r_norm = 0;
    /// The partial sums of the residual norm's reduction, stage after stage; the last stage is
    /// one double.
    CUdeviceptr residualSums_dev_ = 0;
    /// Assembly scratch: per (position, level-2 element) the level-0 element factor (float) and
    /// whether it needs the explicit sum (byte); element matrices of every level >= 2.
    CUdeviceptr galerkinWeights_dev_ = 0, galerkinSpecial_dev_ = 0;
    std::vector<CUdeviceptr> elementMatrix_dev_;
    /// Conjugate gradients (3N entries each, component-major; only with that method): residual,
    /// its single-precision copy (the preconditioner's right-hand side), preconditioned
    /// residual, search direction, operator times direction, a zero load (for the operator
    /// product) and the partial sums of the dot products.
    CUdeviceptr cgResidual_dev_ = 0, cgRhs_dev_ = 0, cgPreconditioned_dev_ = 0,
                cgDirection_dev_ = 0, cgProduct_dev_ = 0, cgZeroLoad_dev_ = 0, cgSums_dev_ = 0;
    CUfunction cgOperatorKernel_ = nullptr;
    CUfunction cgDotKernel_ = nullptr;
    CUfunction cgDirectionKernel_ = nullptr;
    CUfunction cgStepKernel_ = nullptr;
    CUfunction cgRoundKernel_ = nullptr;

    // ---- page-locked host buffers of the transfers (driver's memAllocHost) ----
    double* residualSumHost_ = nullptr;     ///< 1: the reduced sum of r_norm
    double* coarseRhsHost_ = nullptr;       ///< 3n (n = coarsest vertices): b of the coarsest level
    double* coarseSolutionHost_ = nullptr;  ///< 3n: the coarsest solution, to u_dev_
    double* coarseOperatorHost_ = nullptr;  ///< 243n: the coarsest operator, to the model

private:
    // The steps of setup, in order.
    bool openDevice();       ///< device list, the chosen device, its context
    void loadModule();       ///< the kernel module and its element matrix Ke_
    void allocateBuffers();  ///< level 0's grid uploads and vectors, then the cycles' buffers
    /// Level l's element and vertex grids and positions, uploaded.
    void uploadGrids(int l);
    /// What only the own cycles use on the device: the coarser levels' grids (unless
    /// uploaded), vectors and operators, the residuals and the assembly's scratch.
    void allocateCycleBuffers();
    /// The coarsest level's and the residual's host transfer buffers (the own cycles' too).
    void allocateTransferBuffers();
    /// Frees both (and the conjugate-gradient buffers); nothing when they are not allocated.
    void releaseCycleBuffers();
    /// Frees `p` when it is set and clears it.
    void freeBuffer(CUdeviceptr& p);
    void freeHostBuffer(double*& p);
    void findKernels();      ///< the kernel handles
    void uploadElementMatrix();    ///< the model's Ke() into the module's symbol Ke_
    void buildPositionMatrices();  ///< the assembly's matrices derived from Ke_
    CUdeviceptr allocate(size_t bytes, const char* name);
    double* allocateHost(size_t doubles, const char* name);
    void upload(CUdeviceptr dst, const void* src, size_t bytes, const wchar_t* message);
    void launch(CUfunction f, long long items, unsigned blockSize, void** params,
                const wchar_t* message);
    /// The buffers of the further load cases (the cases' slots).
    void allocateLoadCases();
    /// f_ from `forces` (3 per vertex), uploaded into f_dev_; returns its norm.
    double buildLoad(const std::vector<float>& forces);
    /// The V-cycle loop of solve(); returns the cycles run and sets the last relative residual.
    int runVCycles(double tolerance, double& relative);
    /// Preconditioned conjugate gradients on the finest level, from u_dev_[0]; the same.
    int runConjugateGradients(double tolerance, double& relative);
    /// Allocates the conjugate-gradient buffers and looks up their kernels (once).
    void prepareConjugateGradients();
    /// The fixed-order reduction of `parts` partial sums at `sums` (the first stage) to one.
    double finishSums(CUdeviceptr sums, int parts);
    /// Launches CgOperatorKernel: out = scale * (load - K u), 0 at fixed vertices.
    void applyOperator(CUdeviceptr load, CUdeviceptr u, CUdeviceptr out, double scale);
    /// cgRhs_dev_ = cgResidual_dev_ rounded to floats; returns |cgResidual_dev_|.
    double roundResidual();

    FemModel& model_;
    CoarseSystem coarse_;
    std::unique_ptr<Driver> driver_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    std::ostream* cycleSink_ = nullptr;
    std::function<bool()> stopRequested_;
    std::string deviceName_;
    size_t allocated_ = 0;
    bool setUp_ = false;
    bool coarseValid_ = true;
    int lastCycles_ = 0;
    double lastRelative_ = 0;
    ExternalSolve* external_ = nullptr;
    bool cyclesAllocated_ = false;  ///< allocateCycleBuffers ran since setup or the last release
    /// The warning of a singular system on the narrow log, after a prepareSolve that found one.
    void warnIfSingular() const;
    /// prepareSolve and solve with the external engine.
    void prepareExternalSolve();
    int runExternalSolve(double tolerance, double& relative);
    KernelTimer* kernelTimer_ = nullptr;
    CUdeviceptr nextFactors_dev_ = 0;
    bool factorsPending_ = false;
    bool displacementOnDevice_ = true;
    bool lastStopped_ = false;
    SolveMethod method_ = SolveMethod::VCycles;
    SolverTimes times_;
    /// What a load case keeps while another one is selected (the selected case's slot is
    /// stale: its values are in f_dev_, u_dev_[0], loadNorm_ and displacementOnDevice_).
    struct LoadCaseSlot {
        CUdeviceptr u = 0, f = 0;
        double fNorm = 0;
        bool displaced = true;
    };
    std::vector<std::vector<float>> moreLoads_;
    std::vector<LoadCaseSlot> caseSlots_;
    int selectedCase_ = 0;
    double loadNorm_ = 0.0;  // of the selected case's load
};

}  // namespace ostrel
