// Host build of the kernel module: the compatibility header first, then the kernel source
// itself, then the table the host device loads.
#include "kernels/CudaCompat.h"
#include "kernels/cudafemkernels.cu"

#include <tuple>
#include <utility>

#include "kernels/KernelModule.h"

namespace ostrel {
namespace {

template <typename... Args, size_t... I>
void runBlock(void (*kernel)(Args...), void** params, std::index_sequence<I...>) {
    std::tuple<Args...> args{*static_cast<std::remove_reference_t<Args>*>(params[I])...};
    const unsigned n = blockDim.x;
    for (unsigned t = 0; t < n; ++t) {
        threadIdx.x = t;
        std::apply(kernel, args);
    }
}

template <auto Kernel>
struct Launcher;
template <typename... Args, void (*Kernel)(Args...)>
struct Launcher<Kernel> {
    static void run(void** params) {
        runBlock(Kernel, params, std::index_sequence_for<Args...>{});
    }
};

}  // namespace

const HostModuleTable& builtInKernelModule() {
    static const HostModuleTable table = [] {
        HostModuleTable t;
        t.kernels["GaussSeidelFinestLevelKernel"] = &Launcher<&::GaussSeidelFinestLevelKernel>::run;
        t.kernels["GaussSeidelKernel"] = &Launcher<&::GaussSeidelKernel>::run;
        t.kernels["ComputeResidualFinestLevelKernel"] =
            &Launcher<&::ComputeResidualFinestLevelKernel>::run;
        t.kernels["ComputeResidualKernel"] = &Launcher<&::ComputeResidualKernel>::run;
        t.kernels["RestrictFinestLevelKernel"] = &Launcher<&::RestrictFinestLevelKernel>::run;
        t.kernels["RestrictKernel"] = &Launcher<&::RestrictKernel>::run;
        t.kernels["InterpolateFinestLevelKernel"] = &Launcher<&::InterpolateFinestLevelKernel>::run;
        t.kernels["InterpolateKernel"] = &Launcher<&::InterpolateKernel>::run;
        t.kernels["pNormAverageKernel"] = &Launcher<&::pNormAverageKernel>::run;
        t.kernels["pNormAverageCoefKernel"] = &Launcher<&::pNormAverageCoefKernel>::run;
        t.kernels["PartialSumsOfFloatsKernel"] = &Launcher<&::PartialSumsOfFloatsKernel>::run;
        t.kernels["PartialSumsKernel"] = &Launcher<&::PartialSumsKernel>::run;
        t.kernels["GalerkinPositionMatricesKernel"] =
            &Launcher<&::GalerkinPositionMatricesKernel>::run;
        t.kernels["GalerkinWeightsKernel"] = &Launcher<&::GalerkinWeightsKernel>::run;
        t.kernels["GalerkinElementFinestLevelKernel"] =
            &Launcher<&::GalerkinElementFinestLevelKernel>::run;
        t.kernels["GalerkinElementKernel"] = &Launcher<&::GalerkinElementKernel>::run;
        t.kernels["GalerkinStencilKernel"] = &Launcher<&::GalerkinStencilKernel>::run;
        t.globals["Ke_"] = {static_cast<void*>(::Ke_), sizeof(::Ke_)};
        t.globals["dt_"] = {static_cast<void*>(&::dt_), sizeof(::dt_)};
        return t;
    }();
    return table;
}

void setHostBlock(unsigned bx, unsigned by, unsigned bz, unsigned gx, unsigned gy, unsigned gz,
                  unsigned blockX) {
    blockIdx = {bx, by, bz};
    gridDim = {gx, gy, gz};
    blockDim = {blockX, 1, 1};
    threadIdx = {0, 0, 0};
}

}  // namespace ostrel
