#include "core/OpenMpWaitPolicy.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace ostrel {

namespace {

// Marks the process that the re-execution started, so that it does not start another and
// removes the added policy again.
constexpr char kMarkName[] = "OSTREL_OMP_WAIT_ADDED";

bool g_added = false;

// Whether `environment` (a null-terminated NAME=VALUE list) defines `name`. The C library's
// getenv cannot be used this early: its environment pointer is set after this runs.
bool defines(char** environment, const char* name) {
    const size_t n = std::strlen(name);
    for (char** e = environment; e && *e; ++e)
        if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') return true;
    return false;
}

// Runs before every library's initialiser (an executable's pre-initialisation array), so
// libgomp has not read its environment yet.
void reexecuteWithPassiveWait(int, char** argv, char** environment) {
    if (defines(environment, kMarkName)) {
        g_added = true;
        return;
    }
    if (!argv || !argv[0] || defines(environment, "OMP_WAIT_POLICY") ||
        defines(environment, "GOMP_SPINCOUNT"))
        return;
    size_t count = 0;
    while (environment && environment[count]) ++count;
    char** extended = static_cast<char**>(std::malloc((count + 3) * sizeof(char*)));
    if (!extended) return;
    if (count) std::memcpy(extended, environment, count * sizeof(char*));
    static char policy[] = "OMP_WAIT_POLICY=passive";
    static char mark[] = "OSTREL_OMP_WAIT_ADDED=1";
    extended[count] = policy;
    extended[count + 1] = mark;
    extended[count + 2] = nullptr;
    execve("/proc/self/exe", argv, extended);
    std::free(extended);  // not re-executed: run on with the default policy
}

__attribute__((section(".preinit_array"), used)) void (*const g_preInit)(int, char**, char**) =
    &reexecuteWithPassiveWait;

// An ordinary initialiser of the executable runs after those of its libraries: libgomp has
// read the policy by now.
__attribute__((constructor)) void removeAddedVariables() {
    if (!g_added) return;
    unsetenv("OMP_WAIT_POLICY");
    unsetenv(kMarkName);
}

}  // namespace

bool passiveWaitAdded() { return g_added; }

}  // namespace ostrel

// Referenced by the linker option of ostrel_core, so that every executable linking the
// library contains this file (a static library's member is linked only when referenced).
extern "C" {
extern const int ostrelOpenMpWaitPolicy;
const int ostrelOpenMpWaitPolicy = 1;
}
