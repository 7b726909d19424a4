#pragma once
// The folder of the running executable (from /proc/self/exe), where the kernel module and the
// effect files sit beside the programs.

#include <string>

namespace ostrel {

/// The executable's folder with its trailing '/', UTF-8 encoded; empty when it cannot be read.
std::string executableDirectory();

}  // namespace ostrel
