// Every program linked with ostrel_core runs OpenMP with the passive wait policy unless its
// environment chooses one: what libgomp took (its verbose display) and what the program's own
// environment then holds, for each way the policy can be given.

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

namespace {

// Runs the probe with the given environment assignments (OMP_WAIT_POLICY and GOMP_SPINCOUNT
// removed first); its standard output and error together.
std::string runProbe(const std::string& assignments) {
    const std::string command = "env -u OMP_WAIT_POLICY -u GOMP_SPINCOUNT -u OSTREL_OMP_WAIT_ADDED " +
                                assignments + " '" OSTREL_OMP_WAIT_PROBE "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

struct PolicyCase {
    const char* name;
    const char* assignments;  // the user's environment
    const char* spinCount;    // libgomp's GOMP_SPINCOUNT as it displays it
    const char* environment;  // OMP_WAIT_POLICY the program's environment holds afterwards
    bool added;
};
void PrintTo(const PolicyCase& c, std::ostream* os) { *os << c.name; }

class OpenMpWait : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(OpenMpWait, TheUsersChoiceElsePassive) {
    const PolicyCase& c = GetParam();
    const std::string out = runProbe(c.assignments);
    EXPECT_NE(out.find(std::string("GOMP_SPINCOUNT = '") + c.spinCount + "'"), std::string::npos)
        << out;
    EXPECT_NE(out.find(std::string("environment: ") + c.environment + "\n"), std::string::npos)
        << out;
    // The mark of the re-execution never reaches the programs this one starts.
    EXPECT_NE(out.find("mark: (none)\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("added: ") + (c.added ? "1" : "0")), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Environments, OpenMpWait,
    ::testing::Values(PolicyCase{"unset", "", "0", "(none)", true},
                      PolicyCase{"active", "OMP_WAIT_POLICY=active", "30000000000", "active", false},
                      PolicyCase{"passive", "OMP_WAIT_POLICY=passive", "0", "passive", false},
                      PolicyCase{"spin_count", "GOMP_SPINCOUNT=1234", "1234", "(none)", false},
                      // Set but empty is the user's choice too: libgomp's default applies.
                      PolicyCase{"empty", "OMP_WAIT_POLICY=", "300000", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
