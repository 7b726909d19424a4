// Host build of the kernel module: the compatibility header first, then the kernel source
// itself, the lane-wise launchers of the finest-level kernels, then the tables the host device
// loads.
#include "kernels/CudaCompat.h"
#include "kernels/cudafemkernels.cu"
#include "kernels/HostLaneKernels.h"

#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

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
    static std::vector<KernelParam> signature() {
        return {KernelParam{sizeof(Args), alignof(Args), std::is_pointer_v<Args>}...};
    }
};

template <auto Kernel>
void add(HostModuleTable& t, const char* name) {
    t.kernels[name] = &Launcher<Kernel>::run;
    t.signatures[name] = Launcher<Kernel>::signature();
}

// The module; with `laneWise` the finest-level smoothing and residual run lane groups four
// threads at a time (kernels/HostLaneKernels.h).
HostModuleTable makeKernelModule(bool laneWise) {
    HostModuleTable t;
    add<&::GaussSeidelFinestLevelKernel>(t, "GaussSeidelFinestLevelKernel");
    add<&::GaussSeidelKernel>(t, "GaussSeidelKernel");
    add<&::ComputeResidualFinestLevelKernel>(t, "ComputeResidualFinestLevelKernel");
    add<&::ComputeResidualKernel>(t, "ComputeResidualKernel");
    add<&::RestrictFinestLevelKernel>(t, "RestrictFinestLevelKernel");
    add<&::RestrictKernel>(t, "RestrictKernel");
    add<&::InterpolateFinestLevelKernel>(t, "InterpolateFinestLevelKernel");
    add<&::InterpolateKernel>(t, "InterpolateKernel");
    add<&::pNormAverageKernel>(t, "pNormAverageKernel");
    add<&::pNormAverageCoefKernel>(t, "pNormAverageCoefKernel");
    add<&::PartialSumsOfFloatsKernel>(t, "PartialSumsOfFloatsKernel");
    add<&::PartialSumsKernel>(t, "PartialSumsKernel");
    add<&::CgOperatorKernel>(t, "CgOperatorKernel");
    add<&::CgDotKernel>(t, "CgDotKernel");
    add<&::CgDirectionKernel>(t, "CgDirectionKernel");
    add<&::CgStepKernel>(t, "CgStepKernel");
    add<&::CgRoundKernel>(t, "CgRoundKernel");
    add<&::GalerkinPositionMatricesKernel>(t, "GalerkinPositionMatricesKernel");
    add<&::GalerkinWeightsKernel>(t, "GalerkinWeightsKernel");
    add<&::GalerkinElementFinestLevelKernel>(t, "GalerkinElementFinestLevelKernel");
    add<&::GalerkinElementKernel>(t, "GalerkinElementKernel");
    add<&::GalerkinStencilKernel>(t, "GalerkinStencilKernel");
    add<&::StiffnessFactorsKernel>(t, "StiffnessFactorsKernel");
    add<&::ElementEnergiesKernel>(t, "ElementEnergiesKernel");
    add<&::SensitivityFactorsKernel>(t, "SensitivityFactorsKernel");
    add<&::StageDesignKernel>(t, "StageDesignKernel");
    add<&::FilterDesignKernel>(t, "FilterDesignKernel");
    add<&::WeightSumsKernel>(t, "WeightSumsKernel");
    add<&::InitialDesignKernel>(t, "InitialDesignKernel");
    add<&::VolumeWeightsKernel>(t, "VolumeWeightsKernel");
    add<&::GatherSensitivitiesKernel>(t, "GatherSensitivitiesKernel");
    add<&::RatioRangeKernel>(t, "RatioRangeKernel");
    add<&::SearchBaseKernel>(t, "SearchBaseKernel");
    add<&::SearchVolumesKernel>(t, "SearchVolumesKernel");
    add<&::CandidateDesignKernel>(t, "CandidateDesignKernel");
    add<&::CandidateDensitiesKernel>(t, "CandidateDensitiesKernel");
    add<&::DesignSumsKernel>(t, "DesignSumsKernel");
    add<&::AdaptMovesKernel>(t, "AdaptMovesKernel");
    add<&::OrbitSumsKernel>(t, "OrbitSumsKernel");
    add<&::AccumulateEnergiesKernel>(t, "AccumulateEnergiesKernel");
    add<&::ReduceKernel>(t, "ReduceKernel");
    add<&::ReduceColumnsKernel>(t, "ReduceColumnsKernel");
    t.globals["Ke_"] = {static_cast<void*>(::Ke_), sizeof(::Ke_)};
    t.globals["KeCopy_"] = {static_cast<void*>(::KeCopy_), sizeof(::KeCopy_)};
    t.globals["dt_"] = {static_cast<void*>(&::dt_), sizeof(::dt_)};
    t.globals["KeCoarse_"] = {static_cast<void*>(::KeCoarse_), sizeof(::KeCoarse_)};
    if (laneWise) {
        t.kernels["GaussSeidelFinestLevelKernel"] = &lanes::gaussSeidelFinestLevelBlock;
        t.kernels["ComputeResidualFinestLevelKernel"] =
            &lanes::computeResidualFinestLevelBlock;
    }
    return t;
}

}  // namespace

const HostModuleTable& builtInKernelModule() {
    static const HostModuleTable table = makeKernelModule(lanes::hostLanesAvailable());
    return table;
}

const HostModuleTable& threadByThreadKernelModule() {
    static const HostModuleTable table = makeKernelModule(false);
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
