#pragma once
// The program's command line: -SCENE, -PROFILE, -CPU, -AFFINITY and -HELP, and the --help and
// --version that every Ostrel program answers.

#include <string>
#include <vector>

namespace ostrel {

/// Settings filled by the command line. Only the scene file, the affinity mask and (on this
/// platform) the CPU mode with its thread count influence the run.
struct CommandLineSettings {
    std::wstring sceneFile;     ///< -SCENE (file name), unchanged letter case
    bool profileMode = false;   ///< -PROFILE
    int numTimeSteps = 100;     ///< first argument of -PROFILE
    int numTimeStepsToSkip = 0; ///< second argument of -PROFILE
    bool cpuMode = false;       ///< -CPU: run the solver on the host device
    int numThreads = 1;         ///< argument of -CPU
    int affinityMask = 0;       ///< -AFFINITY: bind the main thread to its lowest set bit
    bool helpRequested = false;     ///< -HELP (or --help) was met; parsing stopped there
    bool versionRequested = false;  ///< --version was met; parsing stopped there
    /// consumed[i]: argument i was taken as one of these options or their arguments (the
    /// window framework reports every other argument as an unrecognized flag).
    std::vector<bool> consumed;
};

/// Walks `args` (args[0] is the program's path). Option names match case-insensitively; an
/// argument matched as an option is examined once, so a consumed argument (the scene name
/// "-HELP" in `-SCENE -HELP`) is never taken as an option. Numbers that do not parse leave
/// the setting at its default and are not consumed. Stops at -HELP, --help and --version.
CommandLineSettings parseCommandLine(const std::vector<std::wstring>& args);

/// The help text: an empty line, the parameter line, another empty line.
const std::wstring& helpText();

/// Index of the lowest set bit of `mask`, or -1 for mask 0.
int affinityProcessor(int mask);

/// Binds the calling thread to the processor of the lowest set bit of `mask`. Mask 0 binds
/// nothing and succeeds. Prints a warning on `log` and returns false when binding fails.
/// Binds the calling (main) thread only: the OpenMP worker pool, at least `workerThreads`
/// strong (and at least OpenMP's default), is started first and keeps the process's mask.
bool bindThreadToAffinityMask(int mask, std::wostream* log, int workerThreads = 0);

}  // namespace ostrel
