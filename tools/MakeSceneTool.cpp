// ostrel-make-scene --mesh MESH.obj --voxel SIZE [options] -o SCENE.txt
//
// Writes a scene file from a mesh, a voxel size and selections of vertex grid points for the
// fixations and loads; see makeSceneUsage() (--help) for the options. Results on standard
// output, errors and warnings on standard error. Exit status 0 written, 1 failed, 2 usage
// error.

#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "core/MemoryLimit.h"
#include "core/Version.h"
#include "tools/SceneMaker.h"

int main(int argc, char** argv) {
    using namespace ostrel;
    // What was selected and written on standard output; errors and warnings (the scene
    // loader's too) on standard error.
    routeConsoleByKind();
    std::wostream& out = wideOut();
    std::vector<std::string> args(argv + 1, argv + argc);
    MakeSceneOptions options;
    std::string error;
    switch (parseMakeSceneArguments(args, options, error)) {
        case ParseOutcome::Help:
            out << fromUtf8(makeSceneUsage()) << std::flush;
            return 0;
        case ParseOutcome::Version:
            out << fromUtf8(versionLine("ostrel-make-scene")) << std::flush;
            return 0;
        case ParseOutcome::UsageError:
            std::cerr << "ERROR: " << error << "\n"
                      << "Try 'ostrel-make-scene --help' for more information.\n";
            return 2;
        case ParseOutcome::Run:
            break;
    }
    exitOnFailedAllocation();
    return runProgram([&] { return makeScene(options, out); });
}
