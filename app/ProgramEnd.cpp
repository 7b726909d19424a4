#include "app/ProgramEnd.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>

#include "core/FatalError.h"
#include "core/MemoryLimit.h"

namespace ostrel {
namespace {

[[noreturn]] void endWithOutOfMemoryLine(const std::string& line) {
    std::cout.flush();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::exit(kExitOutOfMemory);
}

}  // namespace

int runProgram(const std::function<int()>& body) {
    try {
        return body();
    } catch (const OutOfMemoryError& error) {
        endWithOutOfMemoryLine(error.line);
    } catch (const FatalError&) {
        // Reported on standard error (and in the dialog) when it was raised.
        std::abort();
    }
}

void exitOutOfMemory(const std::wstring& what) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        // Reached again while reporting (an allocation of the report failed): end plainly.
        static const char kLine[] = "ERROR: Out of memory\n";
        [[maybe_unused]] const ssize_t n = ::write(2, kLine, sizeof kLine - 1);
        std::_Exit(kExitOutOfMemory);
    }
    endWithOutOfMemoryLine(outOfMemoryLine(what));
}

void exitOnFailedAllocation() {
    std::set_new_handler([] { exitOutOfMemory(L"an allocation failed"); });
}

}  // namespace ostrel
