// For test_open_mp_wait: prints the OMP_WAIT_POLICY of its own environment and whether it
// added the policy itself, then libgomp's verbose display of what it took (on standard error,
// GOMP_SPINCOUNT among it: 0 for the passive policy).

#include <omp.h>

#include <cstdio>
#include <cstdlib>

#include "core/OpenMpWaitPolicy.h"

int main() {
    const char* policy = std::getenv("OMP_WAIT_POLICY");
    const char* mark = std::getenv("OSTREL_OMP_WAIT_ADDED");
    std::printf("environment: %s\nmark: %s\nadded: %d\n", policy ? policy : "(none)",
                mark ? mark : "(none)", int(ostrel::passiveWaitAdded()));
    std::fflush(stdout);
    omp_display_env(1);
    return 0;
}
