#pragma once
// The version every program reports for --version.

#include <string>

namespace ostrel {

/// The project's version, for example "0.1.0".
const char* ostrelVersion();

/// "<program> <version>" and a line end: what --version prints on standard output.
std::string versionLine(const std::string& program);

}  // namespace ostrel
