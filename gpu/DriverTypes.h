#pragma once
// The few CUDA driver API types and result codes the solver's driver layer uses, declared here
// so that the build needs no CUDA toolkit. Layouts match the driver's ABI (64-bit).

#include <cstdint>

namespace ostrel {

using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUcontext = struct CUctx_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUstream = struct CUstream_st*;

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr CUresult CUDA_ERROR_INVALID_VALUE = 1;
inline constexpr CUresult CUDA_ERROR_OUT_OF_MEMORY = 2;
inline constexpr CUresult CUDA_ERROR_NOT_INITIALIZED = 3;
inline constexpr CUresult CUDA_ERROR_STUB_LIBRARY = 34;
inline constexpr CUresult CUDA_ERROR_NO_DEVICE = 100;
inline constexpr CUresult CUDA_ERROR_INVALID_DEVICE = 101;
inline constexpr CUresult CUDA_ERROR_INVALID_IMAGE = 200;
inline constexpr CUresult CUDA_ERROR_FILE_NOT_FOUND = 301;
inline constexpr CUresult CUDA_ERROR_INVALID_HANDLE = 400;
inline constexpr CUresult CUDA_ERROR_NOT_FOUND = 500;
inline constexpr CUresult CUDA_ERROR_LAUNCH_FAILED = 719;

/// Kernel argument of the grid sizes (the driver's int3).
struct Int3 {
    int x, y, z;
};

}  // namespace ostrel
