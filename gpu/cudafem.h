#pragma once
// The multigrid solver's device state for one FemModel: device, context, kernel module, the
// eight kernel handles and every device buffer, plus the entry points that drive a solve.
//
// Life cycle: construct (bound to the model, nothing on the device) -> setup() once -> any
// number of computeLoad / prepareSolve / solve -> release() once, before the model is destroyed
// (the destructor releases when the caller has not). Every driver failure is fatal through the
// error check (message, "CUDA Driver API Error: " code and name, source file "cudafem").
// The device is chosen by DeviceOptions (see gpu/Driver.h): a CUDA device when the driver loads
// and reports one, else the host device. Main thread only.
//
// solve() prints one "Residual within cycle " line per V-cycle on the narrow log and writes the
// cycle count to the cycle-count sink (null = nothing written). When the coarsest-level
// factorization has failed or found the system singular (the fixed vertices leave a rigid-body
// mode free: none fixed, one point, a hinge line), prepareSolve prints one "WARNING: " line and
// solve returns false at once, with zero cycles and a zero displacement.

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "gpu/Driver.h"

namespace ostrel {

class FemModel;

class CudaFem {
public:
    static constexpr int kMaxCycles = 200;

    /// Binds to `model`. `driver` overrides the device choice of `options` (tests pass one).
    explicit CudaFem(FemModel& model, const DeviceOptions& options = {},
                     std::unique_ptr<Driver> driver = nullptr);
    ~CudaFem();
    CudaFem(const CudaFem&) = delete;
    CudaFem& operator=(const CudaFem&) = delete;

    /// Device list, context, module, Ke_, grid uploads, buffers, kernel lookups, memory report.
    void setup();
    /// Frees every buffer and detaches the context. Safe to call twice.
    void release();
    /// Builds f_ from force_, density_ and gravity_, uploads it, returns fNorm_.
    double computeLoad();
    /// Uploads dt_, isVertexFixed_, E_, vertexMass_ (set to 0), assembles and uploads the
    /// operators of levels >= 2 and factors the coarsest level.
    void prepareSolve();
    /// V-cycles until residual / fNorm_ <= tolerance or 200 cycles; u_ receives the result.
    /// Returns whether the tolerance was reached; false at once when the coarse factor is missing.
    bool solve(double tolerance);

    /// Where solve writes its cycle count and a line break; null = nowhere.
    void setCycleCountSink(std::ostream* sink) { cycleSink_ = sink; }
    /// Logs for the set-up's and solve's lines (defaults: the console's wide and narrow output).
    void setLogs(std::wostream* wide, std::ostream* narrow) { wideLog_ = wide; narrowLog_ = narrow; }

    Driver& driver() { return *driver_; }
    bool isSetUp() const { return setUp_; }
    /// Byte total of the buffers counted by the memory report.
    size_t allocatedBytes() const { return allocated_; }
    /// Name of the device in use.
    const std::string& deviceName() const { return deviceName_; }
    /// False when the last prepareSolve could not factor the coarsest level.
    bool coarseFactorValid() const { return coarseValid_; }
    /// Cycles run by the last solve (0 for a zero load).
    int lastCycles() const { return lastCycles_; }

    // ---- steps of the cycle (public so that tests can drive them one by one) ----
    void vCycle();
    void smooth(int level);
    void residualAndRestrict(int level);
    void interpolate(int level);
    void coarseSolve();
    double residualNorm() const;

    // ---- device handles and buffers ----
    int deviceOrdinal_ = 0;
    CUdevice device_ = 0;
    CUcontext context_ = nullptr;
    CUmodule module_ = nullptr;
    CUfunction gaussSeidelFinestLevelKernel_ = nullptr;
    CUfunction gaussSeidelKernel_ = nullptr;
    CUfunction computeResidualAndRestrictFinestLevelKernel_ = nullptr;
    CUfunction computeResidualAndRestrictKernel_ = nullptr;
    CUfunction interpolateFinestLevelKernel_ = nullptr;
    CUfunction interpolateKernel_ = nullptr;
    CUfunction pNormAverageKernel_ = nullptr;
    CUfunction pNormAverageCoefKernel_ = nullptr;

    std::vector<CUdeviceptr> elementGrid_dev_, elementPosition_dev_, vertexGrid_dev_,
        vertexPosition_dev_;
    CUdeviceptr isVertexFixed_dev_ = 0, E_dev_ = 0, vertexMass_dev_ = 0, f_dev_ = 0;
    CUdeviceptr isBoundary_dev_ = 0, isVoid_dev_ = 0, density_dev_ = 0, densityTilde_dev_ = 0,
                tilde_coef_dev_ = 0, sum_count_dev_ = 0;
    std::vector<CUdeviceptr> u_dev_, b_dev_, A_dev_;
    CUdeviceptr r_norm = 0;

private:
    CUdeviceptr allocate(size_t bytes, const char* name);
    void upload(CUdeviceptr dst, const void* src, size_t bytes, const wchar_t* message);
    void launch(CUfunction f, long long items, unsigned blockSize, void** params,
                const wchar_t* message);

    FemModel& model_;
    std::unique_ptr<Driver> driver_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    std::ostream* cycleSink_ = nullptr;
    std::string deviceName_;
    size_t allocated_ = 0;
    bool setUp_ = false;
    bool coarseValid_ = true;
    int lastCycles_ = 0;
};

}  // namespace ostrel
