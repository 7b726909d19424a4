#include "core/Version.h"

#ifndef OSTREL_VERSION
#define OSTREL_VERSION "unknown"
#endif

namespace ostrel {

const char* ostrelVersion() {
    return OSTREL_VERSION;
}

std::string versionLine(const std::string& program) {
    return program + " " + ostrelVersion() + "\n";
}

}  // namespace ostrel
