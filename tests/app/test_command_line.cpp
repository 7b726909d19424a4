#include <gtest/gtest.h>
#include <omp.h>
#include <pthread.h>
#include <sched.h>

#include "app/CommandLine.h"
#include "core/Console.h"

namespace ostrel {
namespace {

struct CommandLineCase {
    const char* name;
    std::vector<std::wstring> args;  // without the program path
    std::wstring scene;
    bool profile;
    int steps, skip;
    bool cpu;
    int threads, mask;
    bool help;
};

class CommandLineTable : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTable, ParsesIntoSettings) {
    const CommandLineCase& c = GetParam();
    std::vector<std::wstring> args = {L"/usr/bin/ostrel"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CommandLineSettings s = parseCommandLine(args);
    EXPECT_EQ(s.sceneFile, c.scene);
    EXPECT_EQ(s.profileMode, c.profile);
    EXPECT_EQ(s.numTimeSteps, c.steps);
    EXPECT_EQ(s.numTimeStepsToSkip, c.skip);
    EXPECT_EQ(s.cpuMode, c.cpu);
    EXPECT_EQ(s.numThreads, c.threads);
    EXPECT_EQ(s.affinityMask, c.mask);
    EXPECT_EQ(s.helpRequested, c.help);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineTable,
    ::testing::Values(
        CommandLineCase{"none", {}, L"", false, 100, 0, false, 1, 0, false},
        CommandLineCase{"lower_case_scene", {L"-scene", L"My Scene.TXT"}, L"My Scene.TXT", false,
                        100, 0, false, 1, 0, false},
        CommandLineCase{"scene_last", {L"-SCENE"}, L"", false, 100, 0, false, 1, 0, false},
        CommandLineCase{"scene_then_help", {L"-SCENE", L"-HELP"}, L"-HELP", false, 100, 0, false,
                        1, 0, false},
        CommandLineCase{"profile_one_number", {L"-PROFILE", L"50"}, L"", true, 50, 0, false, 1, 0,
                        false},
        CommandLineCase{"profile_two_numbers", {L"-Profile", L"50", L"7", L"-SCENE", L"a"}, L"a",
                        true, 50, 7, false, 1, 0, false},
        CommandLineCase{"profile_word_is_examined",
                        {L"-PROFILE", L"-SCENE", L"s.txt"}, L"s.txt", true, 100, 0, false, 1, 0,
                        false},
        CommandLineCase{"profile_then_non_number", {L"-PROFILE", L"10", L"x"}, L"", true, 10, 0,
                        false, 1, 0, false},
        CommandLineCase{"cpu_with_threads", {L"-cpu", L"4"}, L"", false, 100, 0, true, 4, 0, false},
        CommandLineCase{"cpu_without_number", {L"-CPU", L"-AFFINITY", L"6"}, L"", false, 100, 0,
                        true, 1, 6, false},
        CommandLineCase{"cpu_at_end", {L"-CPU"}, L"", false, 100, 0, true, 1, 0, false},
        CommandLineCase{"affinity_bad_number", {L"-AFFINITY", L"abc"}, L"", false, 100, 0, false,
                        1, 0, false},
        CommandLineCase{"number_with_trailing_text", {L"-AFFINITY", L"12mask"}, L"", false, 100, 0,
                        false, 1, 12, false},
        CommandLineCase{"help_after_options", {L"-profile", L"50", L"-help", L"-SCENE", L"x"}, L"",
                        true, 50, 0, false, 1, 0, true},
        CommandLineCase{"unknown_words_ignored", {L"foo", L"-width:800", L"-SCENE", L"f"}, L"f",
                        false, 100, 0, false, 1, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, HelpAndVersionInTheFormOfEveryProgram) {
    const struct {
        std::vector<std::wstring> args;
        bool help, version;
        std::wstring scene;
    } cases[] = {
        {{L"ostrel", L"--help"}, true, false, L""},
        {{L"ostrel", L"--version"}, false, true, L""},
        {{L"ostrel", L"--VERSION", L"-HELP"}, false, true, L""},
        {{L"ostrel", L"-SCENE", L"--version"}, false, false, L"--version"},
        {{L"ostrel", L"-SCENE", L"s.txt", L"--help"}, true, false, L"s.txt"},
    };
    for (const auto& c : cases) {
        const CommandLineSettings s = parseCommandLine(c.args);
        EXPECT_EQ(s.helpRequested, c.help) << toUtf8(c.args.back());
        EXPECT_EQ(s.versionRequested, c.version) << toUtf8(c.args.back());
        EXPECT_EQ(s.sceneFile, c.scene);
    }
}

TEST(CommandLine, HelpTextIsExactlyThreeLines) {
    EXPECT_EQ(helpText(),
              L"\nParameters: -SCENE (<scene file name>) -PROFILE (<#time steps>) (<#time steps "
              L"to skip>) -CPU (<#threads>) -AFFINITY (<affinity mask>) -HELP\n\n");
}

TEST(CommandLine, AffinityUsesLowestSetBit) {
    EXPECT_EQ(affinityProcessor(0), -1);
    EXPECT_EQ(affinityProcessor(1), 0);
    EXPECT_EQ(affinityProcessor(6), 1);
    EXPECT_EQ(affinityProcessor(12), 2);
    EXPECT_EQ(affinityProcessor(int(0x80000000u)), 31);
}

TEST(CommandLine, ZeroMaskBindsNothing) { EXPECT_TRUE(bindThreadToAffinityMask(0, nullptr)); }

TEST(CommandLine, AffinityBindsTheMainThreadButNotTheWorkers) {
    cpu_set_t process;
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof process, &process), 0);
    if (CPU_COUNT(&process) < 2) GTEST_SKIP() << "needs two processors";
    int first = 0;
    while (!CPU_ISSET(first, &process)) ++first;
    // This process has run no parallel region yet: its workers are created by what follows.
    ASSERT_TRUE(bindThreadToAffinityMask(1 << first, nullptr, 3));
    int counts[3] = {0, 0, 0};
#pragma omp parallel num_threads(3)
    {
        cpu_set_t own;
        if (pthread_getaffinity_np(pthread_self(), sizeof own, &own) == 0)
            counts[omp_get_thread_num()] = CPU_COUNT(&own);
    }
    EXPECT_EQ(counts[0], 1) << "the main thread is bound";
    EXPECT_EQ(counts[1], CPU_COUNT(&process)) << "a worker keeps the process's mask";
    EXPECT_EQ(counts[2], CPU_COUNT(&process));
    pthread_setaffinity_np(pthread_self(), sizeof process, &process);
}

}  // namespace
}  // namespace ostrel
