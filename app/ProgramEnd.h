#pragma once
// How a program ends on the errors that the layers below raise instead of ending the process
// themselves, and on a failed allocation. Only programs (app/, tools/) use this.
//
// runProgram runs a program's body and turns the raised errors into the ends the programs have
// always had: OutOfMemoryError (core/MemoryLimit.h) writes its "ERROR: Out of memory: ..." line
// to standard error after flushing standard output and ends with status 1; FatalError
// (core/FatalError.h), reported when it was raised, ends the process with abort().
//
// exitOnFailedAllocation installs a new-handler that ends the process through exitOutOfMemory:
// a new-handler cannot hand an error of its own to the program, so this is the one place where
// the process ends below main.

#include <functional>
#include <string>

namespace ostrel {

/// Exit status of a run that ran out of memory.
inline constexpr int kExitOutOfMemory = 1;

/// Runs `body` and returns its status; see the header comment for the errors it ends on.
int runProgram(const std::function<int()>& body);

/// Writes outOfMemoryLine(what) to standard error (after flushing standard output) and ends the
/// process with status 1. Reached again while reporting (an allocation of the report failed),
/// it writes "ERROR: Out of memory" alone and ends at once.
[[noreturn]] void exitOutOfMemory(const std::wstring& what);

/// Makes a failed allocation anywhere in the process end it through exitOutOfMemory ("an
/// allocation failed") instead of an uncaught std::bad_alloc and abort(). For the command-line
/// tools.
void exitOnFailedAllocation();

}  // namespace ostrel
