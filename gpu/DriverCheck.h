#pragma once
// The error check of the device code: a failed driver call is fatal, reported with the line of
// the call (__builtin_LINE as a default argument is the caller's line) as a solver error
// ("CUDA Driver API Error: " code and name, source file "cudafem"). The message is only built
// into a string when the call failed.

#include <string>
#include <string_view>

#include "core/FatalError.h"
#include "gpu/DriverTypes.h"

namespace ostrel {

inline void checkDriver(CUresult code, std::wstring_view message, int line = __builtin_LINE()) {
    if (code != CUDA_SUCCESS)
        reportDriverError(kSolverSourceFile, line, int(code), std::wstring(message));
}

}  // namespace ostrel
