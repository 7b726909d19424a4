#include "core/FatalError.h"

#include <cstdio>
#include <iostream>

#include "core/Console.h"

namespace ostrel {
namespace {

struct ResultName {
    int code;
    const char* name;
};

constexpr ResultName kResultNames[] = {
    {0, "CUDA_SUCCESS"},
    {1, "CUDA_ERROR_INVALID_VALUE"},
    {2, "CUDA_ERROR_OUT_OF_MEMORY"},
    {3, "CUDA_ERROR_NOT_INITIALIZED"},
    {4, "CUDA_ERROR_DEINITIALIZED"},
    {5, "CUDA_ERROR_PROFILER_DISABLED"},
    {6, "CUDA_ERROR_PROFILER_NOT_INITIALIZED"},
    {7, "CUDA_ERROR_PROFILER_ALREADY_STARTED"},
    {8, "CUDA_ERROR_PROFILER_ALREADY_STOPPED"},
    {100, "CUDA_ERROR_NO_DEVICE"},
    {101, "CUDA_ERROR_INVALID_DEVICE"},
    {200, "CUDA_ERROR_INVALID_IMAGE"},
    {201, "CUDA_ERROR_INVALID_CONTEXT"},
    {202, "CUDA_ERROR_CONTEXT_ALREADY_CURRENT"},
    {205, "CUDA_ERROR_MAP_FAILED"},
    {206, "CUDA_ERROR_UNMAP_FAILED"},
    {207, "CUDA_ERROR_ARRAY_IS_MAPPED"},
    {208, "CUDA_ERROR_ALREADY_MAPPED"},
    {209, "CUDA_ERROR_NO_BINARY_FOR_GPU"},
    {210, "CUDA_ERROR_ALREADY_ACQUIRED"},
    {211, "CUDA_ERROR_NOT_MAPPED"},
    {212, "CUDA_ERROR_NOT_MAPPED_AS_ARRAY"},
    {213, "CUDA_ERROR_NOT_MAPPED_AS_POINTER"},
    {214, "CUDA_ERROR_ECC_UNCORRECTABLE"},
    {215, "CUDA_ERROR_UNSUPPORTED_LIMIT"},
    {216, "CUDA_ERROR_CONTEXT_ALREADY_IN_USE"},
    {217, "CUDA_ERROR_PEER_ACCESS_UNSUPPORTED"},
    {218, "CUDA_ERROR_INVALID_PTX"},
    {219, "CUDA_ERROR_INVALID_GRAPHICS_CONTEXT"},
    {300, "CUDA_ERROR_INVALID_SOURCE"},
    {301, "CUDA_ERROR_FILE_NOT_FOUND"},
    {302, "CUDA_ERROR_SHARED_OBJECT_SYMBOL_NOT_FOUND"},
    {303, "CUDA_ERROR_SHARED_OBJECT_INIT_FAILED"},
    {304, "CUDA_ERROR_OPERATING_SYSTEM"},
    {400, "CUDA_ERROR_INVALID_HANDLE"},
    {500, "CUDA_ERROR_NOT_FOUND"},
    {600, "CUDA_ERROR_NOT_READY"},
    {700, "CUDA_ERROR_ILLEGAL_ADDRESS"},
    {701, "CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES"},
    {702, "CUDA_ERROR_LAUNCH_TIMEOUT"},
    {703, "CUDA_ERROR_LAUNCH_INCOMPATIBLE_TEXTURING"},
    {704, "CUDA_ERROR_PEER_ACCESS_ALREADY_ENABLED"},
    {705, "CUDA_ERROR_PEER_ACCESS_NOT_ENABLED"},
    {708, "CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE"},
    {709, "CUDA_ERROR_CONTEXT_IS_DESTROYED"},
    {710, "CUDA_ERROR_ASSERT"},
    {711, "CUDA_ERROR_TOO_MANY_PEERS"},
    {712, "CUDA_ERROR_HOST_MEMORY_ALREADY_REGISTERED"},
    {713, "CUDA_ERROR_HOST_MEMORY_NOT_REGISTERED"},
    {714, "CUDA_ERROR_HARDWARE_STACK_ERROR"},
    {715, "CUDA_ERROR_ILLEGAL_INSTRUCTION"},
    {716, "CUDA_ERROR_MISALIGNED_ADDRESS"},
    {717, "CUDA_ERROR_INVALID_ADDRESS_SPACE"},
    {718, "CUDA_ERROR_INVALID_PC"},
    {719, "CUDA_ERROR_LAUNCH_FAILED"},
    {800, "CUDA_ERROR_NOT_PERMITTED"},
    {801, "CUDA_ERROR_NOT_SUPPORTED"},
    {999, "CUDA_ERROR_UNKNOWN"},
};

// Process-wide: installed once by the window framework, read only when the process is ending.
FatalErrorDialog g_fatalErrorDialog = nullptr;
DriverResultNamer g_driverResultNamer = nullptr;

}  // namespace

std::wstring composeFatalErrorText(const char* sourceFile, int line, const std::wstring& message) {
    std::wstring text = L"A fatal error has occured\n";
    text += message;
    text += L"\n";
    text += L"Source file \"";
    text += fromUtf8(sourceFile ? sourceFile : "");
    text += L"\", line ";
    text += std::to_wstring(line);
    text += L"\n";
    text += L"The program will terminate";
    return text;
}

std::wstring composeDriverErrorMessage(const std::wstring& message, int code) {
    std::wstring text = message;
    text += L"\n";
    text += L"CUDA Driver API Error: ";
    text += std::to_wstring(code);
    text += L" (";
    text += fromUtf8(driverResultName(code));
    text += L")";
    return text;
}

const char* driverResultName(int code) {
    for (const ResultName& entry : kResultNames)
        if (entry.code == code) return entry.name;
    const char* name = g_driverResultNamer ? g_driverResultNamer(code) : nullptr;
    return name ? name : "";
}

void setDriverResultNamer(DriverResultNamer namer) { g_driverResultNamer = namer; }

void reportFatalError(const char* sourceFile, int line, const std::wstring& message, bool show) {
    const std::wstring caption = L"FATAL ERROR";
    const std::wstring text = composeFatalErrorText(sourceFile, line, message);
    if (show) {
        // Whatever the console holds goes out first, so the report is the last thing printed.
        std::cout.flush();
        std::fprintf(stderr, "%s\n%s\n", toUtf8(caption).c_str(), toUtf8(text).c_str());
        std::fflush(stderr);
        if (g_fatalErrorDialog) g_fatalErrorDialog(caption, text);
    }
    throw FatalError(text);
}

void reportDriverError(const char* sourceFile, int line, int code, const std::wstring& message,
                       bool show) {
    if (code == 0) return;
    reportFatalError(sourceFile, line, composeDriverErrorMessage(message, code), show);
}

void setFatalErrorDialog(FatalErrorDialog dialog) { g_fatalErrorDialog = dialog; }

}  // namespace ostrel
