// Entry point of the interactive optimizer.

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "core/Console.h"
#include "core/FatalError.h"
#include "app/ProgramLifetime.h"
#include "app/RunControl.h"
#include "scene/Scene.h"

int main(int argc, char** argv) {
    using namespace ostrel;
    // The optimization values of the program's life: iteration counter, totals, beta counter
    // and reference energy. Nothing resets them.
    ProgramLifetime lifetime;
    std::vector<std::wstring> args;
    args.reserve(size_t(argc));
    for (int i = 0; i < argc; ++i) args.push_back(fromUtf8(argv[i]));

    const CommandLineSettings settings = parseCommandLine(args);
    if (settings.helpRequested) {
        wideOut() << helpText() << std::flush;
        return 0;
    }

    // Without a window there is no open-file dialog to choose a scene from.
    if (settings.sceneFile.empty()) {
        wideOut() << L"ERROR: No scene file given; start Ostrel with -SCENE <scene file>"
                  << std::endl;
        return 1;
    }

    DeviceOptions device;
    device.forceHost = settings.cpuMode;
    device.hostThreads = settings.cpuMode ? settings.numThreads : 0;
    bindThreadToAffinityMask(settings.affinityMask, &wideOut(), device.hostThreads);
    std::unique_ptr<Scene> scene = std::make_unique<Scene>(device);
    if (!scene->loadScene(settings.sceneFile, &wideOut()))
        reportFatalError(kAppSourceFile, 550, L"Cannot load scene");
    wideOut() << scene->sceneSummary() << std::flush;
    // Loads are the applied forces only, whatever the scene file says about gravity.
    scene->model()->gravity_ = {0, 0, 0};

    // The run control, for the window's frame move to drive. Its run flag is clear: the
    // optimization does not start by itself. It goes before the scene it works on.
    auto runControl = std::make_unique<RunControl>(*scene->model(), *scene->solver(), lifetime);

    runControl.reset();
    scene.reset();
    return 0;
}
