// Entry point of the interactive optimizer.

#include <ostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Console.h"

int main(int argc, char** argv) {
    using namespace ostrel;
    std::vector<std::wstring> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) args.push_back(fromUtf8(argv[i]));

    const CommandLineSettings settings = parseCommandLine(args);
    if (settings.helpRequested) {
        wideOut() << helpText() << std::flush;
        return 0;
    }
    bindThreadToAffinityMask(settings.affinityMask, &wideOut());

    if (settings.sceneFile.empty()) {
        wideOut() << L"ERROR: No scene file given; start with -SCENE <scene file>" << std::endl;
        return 1;
    }
    wideOut() << L"ERROR: Scene loading is not available in this build" << std::endl;
    return 1;
}
