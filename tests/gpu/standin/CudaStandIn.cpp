// A stand-in for libcuda.so.1 that executes: the driver verbs the solver uses (gpu/CudaDriver.cpp
// resolves them by name), served on the host, checked the way a GPU would fail, with the kernels
// of the PTX module run through their host build (kernels/HostKernels.cpp, the same source).
//
// - cuModuleLoad reads the PTX text that nvcc built: each entry's parameters (sizes and
//   alignment), launch bounds and each .global's and .const's size (constant memory is a global
//   to the driver's verbs). Each must have host storage of that size; cuModuleGetFunction
//   fails for a name the PTX lacks, and for an entry whose host build declares other
//   parameters.
// - cuLaunchKernel takes gpu/KernelParams.h's array (the argument pointers, a null, then each
//   argument's size and alignment) and fails for a count, size or alignment that differs from
//   the PTX, a block above the entry's bound or the device's 1024 threads, a grid above the
//   device's limits, or a pointer argument outside every live allocation (freed ones named as
//   such). After the kernel ran, every allocation's guard zones are checked.
// - Allocations lie between guard zones; copies and memsets must lie inside one live
//   allocation or module global; freed memory stays poisoned and reserved for a while.
// - A fault of a kernel (CUDA_ERROR_ILLEGAL_ADDRESS) is sticky, as on a GPU: every later verb
//   of the context answers it.
//
// Every failure is explained on standard error in one line that starts with "CUDA stand-in:".
// The device's name says that it is a stand-in. Kernels run with OpenMP's threads (the
// calling thread's settings), blocks in parallel, a block's threads one after another, as on
// the host device. Only the cu* functions are exported (see the version script).

#include <omp.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceMemory.h"
#include "PtxModule.h"
#include "gpu/DriverTypes.h"
#include "gpu/KernelParams.h"
#include "kernels/KernelModule.h"

namespace ostrel::standin {
namespace {

constexpr CUresult kInvalidContext = 201;
constexpr CUresult kInvalidPtx = 218;
constexpr CUresult kIllegalAddress = 700;
constexpr CUresult kOutOfResources = 701;
constexpr CUresult kNotSupported = 801;

constexpr char kDeviceName[] = "CUDA driver stand-in on the host CPU, not a GPU";

struct Function {
    std::string name;
    const PtxEntry* entry = nullptr;
    HostKernel run = nullptr;
    std::vector<KernelParam> signature;
};

struct Module {
    PtxModule ptx;
    std::map<std::string, std::unique_ptr<Function>> functions;
};

struct Context {};

struct State {
    std::mutex mutex;
    bool initialized = false;
    int primaryReferences = 0;
    bool current = false;
    CUresult sticky = CUDA_SUCCESS;
    DeviceMemory memory;
    std::map<void*, size_t> hostAllocations;
    std::vector<std::unique_ptr<Module>> modules;
    Context context;
};

State& state() {
    static State* s = new State;  // never destroyed: the library may be used until exit
    return *s;
}

CUresult note(CUresult code, const std::string& what) {
    std::fprintf(stderr, "CUDA stand-in: %s\n", what.c_str());
    std::fflush(stderr);
    return code;
}

std::string hex(uintptr_t v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(v));
    return buffer;
}

// The checks every verb that needs a current context makes first.
CUresult contextState(const State& s) {
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (s.sticky != CUDA_SUCCESS) return s.sticky;
    if (!s.current) return kInvalidContext;
    return CUDA_SUCCESS;
}

Module* findModule(State& s, CUmodule handle) {
    for (auto& m : s.modules)
        if (reinterpret_cast<CUmodule>(m.get()) == handle) return m.get();
    return nullptr;
}

Function* findFunction(State& s, CUfunction handle) {
    for (auto& m : s.modules)
        for (auto& [name, f] : m->functions)
            if (reinterpret_cast<CUfunction>(f.get()) == handle) return f.get();
    return nullptr;
}

// Why [address, address + bytes) is not inside one live range; empty when it is.
std::string spanFault(const DeviceMemory& memory, uintptr_t address, size_t bytes) {
    if (memory.liveSpan(address, bytes)) return "";
    const DeviceMemory::Range* r = memory.find(address);
    if (!r) return hex(address) + " is outside every allocation";
    if (r->freed) return hex(address) + " lies in freed " + r->label;
    return std::to_string(bytes) + " bytes from offset " + std::to_string(address - r->base) +
           " run past the end of " + r->label;
}

std::string describe(size_t bytes, size_t alignment) {
    return std::to_string(bytes) + " bytes aligned to " + std::to_string(alignment);
}

// The host side of a copy: inside the page-locked allocation that holds it, if any.
std::string hostFault(const State& s, const void* p, size_t bytes) {
    auto it = s.hostAllocations.upper_bound(const_cast<void*>(p));
    if (it == s.hostAllocations.begin()) return "";
    --it;
    const auto* base = static_cast<const char*>(it->first);
    const auto* q = static_cast<const char*>(p);
    if (q >= base + it->second) return "";  // not page-locked memory: not checked
    if (bytes <= size_t(base + it->second - q)) return "";
    return std::to_string(bytes) + " bytes from offset " + std::to_string(q - base) +
           " run past the end of page-locked host memory of " + std::to_string(it->second) +
           " bytes";
}

// The parameter checks of a launch: count, then each size and alignment, then the pointers.
CUresult checkParams(const State& s, const Function& f, void** params) {
    const std::vector<PtxParam>& declared = f.entry->params;
    const size_t n = declared.size();
    const std::string where = "cuLaunchKernel(" + f.name + "): ";
    if (n == 0) return CUDA_SUCCESS;
    if (!params)
        return note(CUDA_ERROR_INVALID_VALUE, where + "no parameters for " + std::to_string(n));
    size_t given = 0;
    while (given <= n && params[given]) ++given;
    if (given != n)
        return note(CUDA_ERROR_INVALID_VALUE,
                    where + (given < n ? std::to_string(given) : "more than " + std::to_string(n)) +
                        " arguments for the " + std::to_string(n) + " parameters of the PTX");
    for (size_t i = 0; i < n; ++i) {
        const uintptr_t shape = reinterpret_cast<uintptr_t>(params[n + 1 + i]);
        if (paramBytes(shape) != declared[i].bytes ||
            paramAlignment(shape) != declared[i].alignment)
            return note(CUDA_ERROR_INVALID_VALUE,
                        where + "argument " + std::to_string(i) + " has " +
                            describe(paramBytes(shape), paramAlignment(shape)) +
                            ", the PTX declares " +
                            describe(declared[i].bytes, declared[i].alignment));
    }
    for (size_t i = 0; i < n; ++i) {
        if (!f.signature[i].pointer) continue;
        uintptr_t p = 0;
        std::memcpy(&p, params[i], sizeof p);
        if (p == 0) continue;  // "none" (a kernel that dereferences it faults on the host too)
        const DeviceMemory::Range* r = s.memory.find(p);
        if (!r)
            return note(kIllegalAddress, where + "pointer argument " + std::to_string(i) + " (" +
                                             hex(p) + ") is outside every allocation");
        if (r->freed)
            return note(kIllegalAddress, where + "pointer argument " + std::to_string(i) + " (" +
                                             hex(p) + ") lies in freed " + r->label);
    }
    return CUDA_SUCCESS;
}

// The host build's parameters against the PTX's; empty when they agree.
std::string signatureFault(const PtxEntry& entry, const std::vector<KernelParam>& host) {
    if (host.size() != entry.params.size())
        return "the host build has " + std::to_string(host.size()) + " parameters, the PTX " +
               std::to_string(entry.params.size());
    for (size_t i = 0; i < host.size(); ++i)
        if (host[i].bytes != entry.params[i].bytes ||
            host[i].alignment != entry.params[i].alignment)
            return "parameter " + std::to_string(i) + " has " +
                   describe(host[i].bytes, host[i].alignment) + " in the host build, " +
                   describe(entry.params[i].bytes, entry.params[i].alignment) + " in the PTX";
    return "";
}

}  // namespace
}  // namespace ostrel::standin

using namespace ostrel;
using namespace ostrel::standin;

extern "C" {

CUresult cuInit(unsigned flags) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
    s.initialized = true;
    return CUDA_SUCCESS;
}

CUresult cuDeviceGetCount(int* count) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (!count) return CUDA_ERROR_INVALID_VALUE;
    *count = 1;
    return CUDA_SUCCESS;
}

CUresult cuDeviceGet(CUdevice* device, int ordinal) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (!device) return CUDA_ERROR_INVALID_VALUE;
    if (ordinal != 0) return CUDA_ERROR_INVALID_DEVICE;
    *device = 0;
    return CUDA_SUCCESS;
}

CUresult cuDeviceTotalMem_v2(size_t* bytes, CUdevice device) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (!bytes) return CUDA_ERROR_INVALID_VALUE;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    *bytes = pages > 0 && pageSize > 0 ? size_t(pages) * size_t(pageSize) : 0;
    return CUDA_SUCCESS;
}

CUresult cuDeviceGetName(char* name, int length, CUdevice device) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (!name || length <= 0) return CUDA_ERROR_INVALID_VALUE;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    std::snprintf(name, size_t(length), "%s", kDeviceName);
    return CUDA_SUCCESS;
}

CUresult cuDevicePrimaryCtxRetain(CUcontext* context, CUdevice device) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (!context) return CUDA_ERROR_INVALID_VALUE;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    ++s.primaryReferences;
    *context = reinterpret_cast<CUcontext>(&s.context);
    return CUDA_SUCCESS;
}

CUresult cuDevicePrimaryCtxRelease_v2(CUdevice device) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (device != 0) return CUDA_ERROR_INVALID_DEVICE;
    if (s.primaryReferences == 0) return note(kInvalidContext, "cuDevicePrimaryCtxRelease: not retained");
    if (--s.primaryReferences == 0) {
        // The context goes, and with it its memory, its modules and a sticky fault.
        s.memory.releaseAll();
        for (auto& [p, bytes] : s.hostAllocations) std::free(p);
        s.hostAllocations.clear();
        s.modules.clear();
        s.current = false;
        s.sticky = CUDA_SUCCESS;
    }
    return CUDA_SUCCESS;
}

CUresult cuCtxSetCurrent(CUcontext context) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.initialized) return CUDA_ERROR_NOT_INITIALIZED;
    if (!context) {
        s.current = false;
        return CUDA_SUCCESS;
    }
    if (context != reinterpret_cast<CUcontext>(&s.context) || s.primaryReferences == 0)
        return note(kInvalidContext, "cuCtxSetCurrent: not a live context");
    s.current = true;
    return CUDA_SUCCESS;
}

CUresult cuModuleLoad(CUmodule* module, const char* path) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (!module || !path) return CUDA_ERROR_INVALID_VALUE;
    std::ifstream in(path, std::ios::binary);
    if (!in) return note(CUDA_ERROR_FILE_NOT_FOUND, std::string("cuModuleLoad: no file ") + path);
    std::stringstream text;
    text << in.rdbuf();
    auto m = std::make_unique<Module>();
    m->ptx = parsePtx(text.str());
    if (!m->ptx.error.empty())
        return note(kInvalidPtx, std::string("cuModuleLoad: ") + path + ": " + m->ptx.error);
    const HostModuleTable& host = builtInKernelModule();
    for (const PtxGlobal& g : m->ptx.globals) {
        auto it = host.globals.find(g.name);
        if (it == host.globals.end() || it->second.bytes != g.bytes)
            return note(CUDA_ERROR_INVALID_IMAGE,
                        "cuModuleLoad: the PTX's global " + g.name + " of " +
                            std::to_string(g.bytes) + " bytes has " +
                            (it == host.globals.end()
                                 ? std::string("no host storage")
                                 : std::to_string(it->second.bytes) + " bytes of host storage"));
    }
    for (const PtxGlobal& g : m->ptx.globals)
        s.memory.addGlobal(g.name, host.globals.at(g.name).address, g.bytes);
    *module = reinterpret_cast<CUmodule>(m.get());
    s.modules.push_back(std::move(m));
    return CUDA_SUCCESS;
}

CUresult cuModuleGetGlobal_v2(CUdeviceptr* address, size_t* bytes, CUmodule module,
                              const char* name) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    Module* m = findModule(s, module);
    if (!m) return CUDA_ERROR_INVALID_HANDLE;
    if (!name) return CUDA_ERROR_INVALID_VALUE;
    const PtxGlobal* g = m->ptx.global(name);
    if (!g) return note(CUDA_ERROR_NOT_FOUND, std::string("cuModuleGetGlobal: the PTX has no global ") + name);
    if (address)
        *address = reinterpret_cast<CUdeviceptr>(builtInKernelModule().globals.at(name).address);
    if (bytes) *bytes = g->bytes;
    return CUDA_SUCCESS;
}

CUresult cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    Module* m = findModule(s, module);
    if (!m) return CUDA_ERROR_INVALID_HANDLE;
    if (!function || !name) return CUDA_ERROR_INVALID_VALUE;
    auto known = m->functions.find(name);
    if (known != m->functions.end()) {
        *function = reinterpret_cast<CUfunction>(known->second.get());
        return CUDA_SUCCESS;
    }
    const PtxEntry* entry = m->ptx.entry(name);
    if (!entry)
        return note(CUDA_ERROR_NOT_FOUND, std::string("cuModuleGetFunction: the PTX has no entry ") + name);
    const HostModuleTable& host = builtInKernelModule();
    auto run = host.kernels.find(name);
    auto signature = host.signatures.find(name);
    if (run == host.kernels.end() || signature == host.signatures.end())
        return note(CUDA_ERROR_NOT_FOUND,
                    std::string("cuModuleGetFunction: the PTX's entry ") + name + " has no host build");
    const std::string fault = signatureFault(*entry, signature->second);
    if (!fault.empty())
        return note(CUDA_ERROR_INVALID_IMAGE, std::string("cuModuleGetFunction(") + name + "): " + fault);
    auto f = std::make_unique<Function>();
    f->name = name;
    f->entry = entry;
    f->run = run->second;
    f->signature = signature->second;
    *function = reinterpret_cast<CUfunction>(f.get());
    m->functions[name] = std::move(f);
    return CUDA_SUCCESS;
}

CUresult cuMemAlloc_v2(CUdeviceptr* address, size_t bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (!address || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    const uintptr_t p = s.memory.allocate(bytes);
    if (!p) return CUDA_ERROR_OUT_OF_MEMORY;
    *address = p;
    return CUDA_SUCCESS;
}

CUresult cuMemFree_v2(CUdeviceptr address) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (s.memory.free(uintptr_t(address))) return CUDA_SUCCESS;
    const DeviceMemory::Range* r = s.memory.find(uintptr_t(address));
    return note(CUDA_ERROR_INVALID_VALUE,
                "cuMemFree(" + hex(address) + "): " +
                    (!r                      ? std::string("not an allocation")
                     : r->freed              ? r->label + " was freed before"
                     : r->base != address    ? "inside " + r->label + ", not its start"
                                             : r->label + " is module storage"));
}

CUresult cuMemAllocHost_v2(void** address, size_t bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (!address || bytes == 0) return CUDA_ERROR_INVALID_VALUE;
    void* p = std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096);
    if (!p) return CUDA_ERROR_OUT_OF_MEMORY;
    s.hostAllocations[p] = bytes;
    *address = p;
    return CUDA_SUCCESS;
}

CUresult cuMemFreeHost(void* address) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    auto it = s.hostAllocations.find(address);
    if (it == s.hostAllocations.end())
        return note(CUDA_ERROR_INVALID_VALUE, "cuMemFreeHost: not page-locked host memory of the context");
    std::free(address);
    s.hostAllocations.erase(it);
    return CUDA_SUCCESS;
}

CUresult cuMemcpyHtoD_v2(CUdeviceptr dst, const void* src, size_t bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (bytes == 0) return CUDA_SUCCESS;
    if (!src) return CUDA_ERROR_INVALID_VALUE;
    std::string fault = spanFault(s.memory, uintptr_t(dst), bytes);
    if (fault.empty()) fault = hostFault(s, src, bytes);
    if (!fault.empty()) return note(CUDA_ERROR_INVALID_VALUE, "cuMemcpyHtoD: " + fault);
    std::memcpy(reinterpret_cast<void*>(dst), src, bytes);
    return CUDA_SUCCESS;
}

CUresult cuMemcpyDtoH_v2(void* dst, CUdeviceptr src, size_t bytes) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (bytes == 0) return CUDA_SUCCESS;
    if (!dst) return CUDA_ERROR_INVALID_VALUE;
    std::string fault = spanFault(s.memory, uintptr_t(src), bytes);
    if (fault.empty()) fault = hostFault(s, dst, bytes);
    if (!fault.empty()) return note(CUDA_ERROR_INVALID_VALUE, "cuMemcpyDtoH: " + fault);
    std::memcpy(dst, reinterpret_cast<const void*>(src), bytes);
    return CUDA_SUCCESS;
}

CUresult cuMemsetD32_v2(CUdeviceptr dst, unsigned value, size_t count) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    if (dst % 4 != 0)
        return note(CUDA_ERROR_INVALID_VALUE, "cuMemsetD32: " + hex(dst) + " is not 4-byte aligned");
    if (count == 0) return CUDA_SUCCESS;
    if (count > SIZE_MAX / 4) return CUDA_ERROR_INVALID_VALUE;
    const std::string fault = spanFault(s.memory, uintptr_t(dst), count * 4);
    if (!fault.empty()) return note(CUDA_ERROR_INVALID_VALUE, "cuMemsetD32: " + fault);
    auto* p = reinterpret_cast<uint32_t*>(dst);
    for (size_t i = 0; i < count; ++i) p[i] = value;
    return CUDA_SUCCESS;
}

CUresult cuLaunchKernel(CUfunction function, unsigned gx, unsigned gy, unsigned gz, unsigned bx,
                        unsigned by, unsigned bz, unsigned sharedBytes, CUstream stream,
                        void** params, void** extra) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (CUresult r = contextState(s)) return r;
    Function* f = findFunction(s, function);
    if (!f) return note(CUDA_ERROR_INVALID_HANDLE, "cuLaunchKernel: not a function of a loaded module");
    const std::string where = "cuLaunchKernel(" + f->name + "): ";
    if (stream) return note(CUDA_ERROR_INVALID_HANDLE, where + "the stand-in has no streams");
    if (extra) return note(CUDA_ERROR_INVALID_VALUE, where + "the stand-in takes kernelParams only");
    const unsigned long long threads = 1ULL * bx * by * bz;
    if (gx == 0 || gy == 0 || gz == 0 || threads == 0)
        return note(CUDA_ERROR_INVALID_VALUE, where + "a grid or block dimension of 0");
    if (bx > 1024 || by > 1024 || bz > 64 || threads > 1024)
        return note(CUDA_ERROR_INVALID_VALUE, where + "block of " + std::to_string(bx) + " x " +
                                                  std::to_string(by) + " x " + std::to_string(bz) +
                                                  " threads, above the device's limits");
    if (gx > 2147483647u || gy > 65535 || gz > 65535)
        return note(CUDA_ERROR_INVALID_VALUE, where + "grid of " + std::to_string(gx) + " x " +
                                                  std::to_string(gy) + " x " + std::to_string(gz) +
                                                  " blocks, above the device's limits");
    if (sharedBytes > 48 * 1024)
        return note(CUDA_ERROR_INVALID_VALUE, where + "more than 48 KiB of shared memory");
    const PtxEntry& e = *f->entry;
    if (e.maxThreads && threads > e.maxThreads)
        return note(kOutOfResources, where + "block of " + std::to_string(threads) +
                                         " threads, the kernel's bound is " +
                                         std::to_string(e.maxThreads));
    if (e.requiredBlock[0] &&
        (bx != e.requiredBlock[0] || by != e.requiredBlock[1] || bz != e.requiredBlock[2]))
        return note(CUDA_ERROR_INVALID_VALUE, where + "block other than the .reqntid one");
    if (CUresult r = checkParams(s, *f, params)) {
        if (r == kIllegalAddress) s.sticky = r;
        return r;
    }
    if (by != 1 || bz != 1)
        return note(kNotSupported, where + "the host build runs one-dimensional blocks only");

    const long long blocks = (long long)gx * gy * gz;
    const HostKernel run = f->run;
#pragma omp parallel for schedule(static) if (blocks >= 64)
    for (long long b = 0; b < blocks; ++b) {
        const unsigned x = unsigned(b % gx), y = unsigned(b / gx % gy), z = unsigned(b / gx / gy);
        setHostBlock(x, y, z, gx, gy, gz, bx);
        run(params);
    }
    const std::vector<std::string> damaged = s.memory.damagedGuards();
    if (!damaged.empty()) {
        std::string list;
        for (const std::string& d : damaged) list += (list.empty() ? "" : ", ") + d;
        s.sticky = kIllegalAddress;
        return note(kIllegalAddress, where + "the kernel wrote into the guard zones of " + list);
    }
    return CUDA_SUCCESS;
}

}  // extern "C"
