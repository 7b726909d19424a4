// A stand-in for libcuda.so.1 in the loader tests: exports the driver's symbol names (the
// versioned ones with their current signatures, and the legacy unversioned ones so that a wrong
// mapping would resolve), records every call by name and answers the codes the test chooses.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {
std::vector<std::string>& calls() {
    static std::vector<std::string> c;
    return c;
}
std::map<std::string, int>& results() {
    static std::map<std::string, int> r;
    return r;
}
int record(const char* name) {
    calls().push_back(name);
    auto it = results().find(name);
    return it == results().end() ? 0 : it->second;
}
std::map<std::string, size_t>& globalSizes() {
    static std::map<std::string, size_t> s;
    return s;
}
unsigned long long nextAddress = 0x10000;
}  // namespace

extern "C" {
using CUresult = int;
struct Opaque {};
Opaque opaque;

// Test control.
void fakeCudaSetResult(const char* name, int code) { results()[name] = code; }
void fakeCudaReset() {
    calls().clear();
    results().clear();
    globalSizes().clear();
}
// Size the module reports for a global (default: 4608 for Ke_, 8 for dt_).
void fakeCudaSetGlobalSize(const char* name, size_t bytes) { globalSizes()[name] = bytes; }

// Names codes as a driver newer than the solver's name table would; a code it does not know
// is refused as the driver does (CUDA_ERROR_INVALID_VALUE, name set to null). Code 2 gets a
// made-up name, which the table's own name must win over.
CUresult cuGetErrorName(CUresult code, const char** name) {
    *name = code == 222 ? "CUDA_ERROR_UNSUPPORTED_PTX_VERSION"
            : code == 916 ? "CUDA_ERROR_FAKE_NEWER_CODE"
            : code == 2   ? "FAKE_NAME_FOR_2"
                          : nullptr;
    return *name ? 0 : 1;
}
int fakeCudaCallCount() { return int(calls().size()); }
const char* fakeCudaCall(int i) { return calls()[size_t(i)].c_str(); }

CUresult cuInit(unsigned) { return record("cuInit"); }
CUresult cuDeviceGetCount(int* n) {
    *n = 2;
    return record("cuDeviceGetCount");
}
CUresult cuDeviceGet(int* d, int ordinal) {
    *d = ordinal;
    return record("cuDeviceGet");
}
CUresult cuDeviceTotalMem_v2(size_t* bytes, int) {
    *bytes = size_t(80) << 30;
    return record("cuDeviceTotalMem_v2");
}
CUresult cuDeviceTotalMem(unsigned* bytes, int) {
    *bytes = 1;
    return record("cuDeviceTotalMem");
}
CUresult cuDeviceGetName(char* name, int len, int d) {
    std::snprintf(name, size_t(len), "Fake GPU %d", d);
    return record("cuDeviceGetName");
}
CUresult cuDevicePrimaryCtxRetain(void** ctx, int) {
    *ctx = &opaque;
    return record("cuDevicePrimaryCtxRetain");
}
CUresult cuDevicePrimaryCtxRelease_v2(int) { return record("cuDevicePrimaryCtxRelease_v2"); }
CUresult cuDevicePrimaryCtxRelease(int) { return record("cuDevicePrimaryCtxRelease"); }
CUresult cuCtxSetCurrent(void*) { return record("cuCtxSetCurrent"); }
CUresult cuCtxCreate(void**, unsigned, int) { return record("cuCtxCreate"); }
CUresult cuCtxDestroy(void*) { return record("cuCtxDestroy"); }
CUresult cuModuleLoad(void** m, const char*) {
    *m = &opaque;
    return record("cuModuleLoad");
}
CUresult cuModuleGetGlobal_v2(unsigned long long* p, size_t* b, void*, const char* name) {
    *p = nextAddress;
    nextAddress += 0x10000;
    auto it = globalSizes().find(name);
    *b = it != globalSizes().end() ? it->second : std::string(name) == "dt_" ? 8 : 4608;
    return record("cuModuleGetGlobal_v2");
}
CUresult cuModuleGetGlobal(unsigned* p, unsigned* b, void*, const char*) {
    *p = 1;
    *b = 1;
    return record("cuModuleGetGlobal");
}
CUresult cuModuleGetFunction(void** f, void*, const char*) {
    *f = &opaque;
    return record("cuModuleGetFunction");
}
CUresult cuMemAlloc_v2(unsigned long long* p, size_t bytes) {
    *p = nextAddress;
    nextAddress += (bytes + 0xffff) & ~size_t(0xffff);
    return record("cuMemAlloc_v2");
}
CUresult cuMemAlloc(unsigned* p, unsigned) {
    *p = 1;
    return record("cuMemAlloc");
}
CUresult cuMemFree_v2(unsigned long long) { return record("cuMemFree_v2"); }
CUresult cuMemFree(unsigned) { return record("cuMemFree"); }
// Page-locked host memory: real zeroed memory up to 1 GiB (the solver writes into what it gets),
// a dummy address above, where only the size that arrived matters to the test.
size_t lastHostBytes = 0;
size_t fakeCudaLastHostBytes() { return lastHostBytes; }
CUresult cuMemAllocHost_v2(void** p, size_t bytes) {
    lastHostBytes = bytes;
    *p = bytes < (size_t(1) << 30) ? std::calloc(bytes, 1) : static_cast<void*>(&opaque);
    return record("cuMemAllocHost_v2");
}
CUresult cuMemAllocHost(void** p, unsigned bytes) {
    lastHostBytes = bytes;
    *p = std::calloc(bytes ? bytes : 1, 1);
    return record("cuMemAllocHost");
}
CUresult cuMemFreeHost(void* p) {
    if (p != &opaque) std::free(p);
    return record("cuMemFreeHost");
}
CUresult cuMemcpyHtoD_v2(unsigned long long, const void*, size_t) { return record("cuMemcpyHtoD_v2"); }
CUresult cuMemcpyHtoD(unsigned, const void*, unsigned) { return record("cuMemcpyHtoD"); }
CUresult cuMemcpyDtoH_v2(void*, unsigned long long, size_t) { return record("cuMemcpyDtoH_v2"); }
CUresult cuMemcpyDtoH(void*, unsigned, unsigned) { return record("cuMemcpyDtoH"); }
CUresult cuMemsetD32_v2(unsigned long long, unsigned, size_t) { return record("cuMemsetD32_v2"); }
CUresult cuMemsetD32(unsigned, unsigned, unsigned) { return record("cuMemsetD32"); }
CUresult cuLaunchKernel(void*, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
                        unsigned, void*, void**, void**) {
    return record("cuLaunchKernel");
}
}
