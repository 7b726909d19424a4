#pragma once
// The host device's built-in kernel module: the kernels of cudafemkernels.cu compiled by g++,
// as a table from entry name to a launcher and from global name to its storage.
//
// A launcher takes the CUDA-style parameter array (one pointer per kernel parameter, pointing at
// the value) and runs every thread of one block, one after another, on the calling thread. The
// caller sets the block's index and the grid and block size first (setBlock).

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace ostrel {

/// Runs all threads of the current block of one kernel with the given parameters.
using HostKernel = void (*)(void** params);

struct HostGlobal {
    void* address = nullptr;
    size_t bytes = 0;
};

/// One kernel parameter as the host build declares it: its size and alignment in bytes and
/// whether it is a pointer (to device memory).
struct KernelParam {
    size_t bytes = 0;
    size_t alignment = 0;
    bool pointer = false;
};

struct HostModuleTable {
    std::map<std::string, HostKernel> kernels;
    /// The parameters of each kernel, in order (tables made by tests may leave it empty).
    std::map<std::string, std::vector<KernelParam>> signatures;
    std::map<std::string, HostGlobal> globals;
};

/// The ten multigrid kernels, the two sum kernels, the five conjugate-gradient kernels, the
/// five assembly kernels, the fourteen optimizer kernels with their signatures, and the
/// globals Ke_, KeCopy_, dt_ and KeCoarse_. On a CPU with AVX2 the finest-level smoothing and
/// residual run four threads at a time where they can (kernels/HostLaneKernels.h), with the
/// same results bit for bit.
const HostModuleTable& builtInKernelModule();

/// The same module with every kernel's threads run one after another, as on a CPU without
/// AVX2.
const HostModuleTable& threadByThreadKernelModule();

/// Sets the calling thread's block index and the launch's grid and block size.
void setHostBlock(unsigned bx, unsigned by, unsigned bz, unsigned gx, unsigned gy, unsigned gz,
                  unsigned blockX);

}  // namespace ostrel
