// Every script of the project (scripts/, bench/, .ci/ and the tests' own) prints its usage on
// --help and -h and does nothing else: it runs from a copy in a scratch tree, with stubs in
// front of the PATH for the programs that build, install or start displays; a stub that runs,
// a file that appears or a message on standard error fails the case.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunTestSupport.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::Child;
using testing::ScratchFolder;

const fs::path kSource = OSTREL_SOURCE_DIR;

/// Every file under the script folders whose first line is a "#!" line, relative to the source.
std::vector<fs::path> projectScripts() {
    std::vector<fs::path> scripts;
    for (const char* folder : {"scripts", "bench", ".ci", "tests"})
        for (const auto& entry : fs::recursive_directory_iterator(kSource / folder)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            char head[2] = {};
            if (in.read(head, 2) && head[0] == '#' && head[1] == '!')
                scripts.push_back(fs::relative(entry.path(), kSource));
        }
    std::sort(scripts.begin(), scripts.end());
    return scripts;
}

std::set<fs::path> filesBelow(const fs::path& folder) {
    std::set<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files.insert(fs::relative(entry.path(), folder));
    return files;
}

/// The interpreter that the script's "#!" line names ("#!/usr/bin/env python3": python3).
std::string interpreter(const fs::path& script) {
    std::ifstream in(script);
    std::string line;
    std::getline(in, line);
    std::istringstream words(line.substr(2));
    std::string program, argument;
    words >> program >> argument;
    return program == "/usr/bin/env" ? argument : program;
}

TEST(Scripts, EveryScriptPrintsItsUsageOnHelpAndActsOnNothing) {
    const std::vector<fs::path> scripts = projectScripts();
    for (const char* expected : {"scripts/setup", "scripts/test", "scripts/make-examples",
                                 "scripts/fuzz", "scripts/make-screenshot", "bench/gpu-check.sh"})
        EXPECT_NE(std::find(scripts.begin(), scripts.end(), fs::path(expected)), scripts.end())
            << expected;
    // The programs through which a script would build, install, fetch or open a display.
    const char* const stubs[] = {"cmake",   "ctest", "ninja",    "make",  "apt-get", "sudo",
                                 "dpkg",    "Xvfb",  "xvfb-run", "nvcc",  "clang",   "clang++",
                                 "xdotool", "zenity", "git",     "curl",  "wget"};
    for (const fs::path& script : scripts) {
        for (const char* flag : {"--help", "-h"}) {
            ScratchFolder tree("script-help");
            const fs::path bin = tree / ".stubs";
            fs::create_directories(bin);
            for (const char* stub : stubs) {
                std::ofstream(bin / stub) << "#!/bin/sh\necho \"$0 $*\" >> '" << (tree / ".ran").string()
                                          << "'\nexit 1\n";
                fs::permissions(bin / stub, fs::perms::owner_all);
            }
            fs::create_directories((tree / script).parent_path());
            fs::copy_file(kSource / script, tree / script);
            const std::set<fs::path> before = filesBelow(tree.path());
            std::vector<std::string> command = {
                "PATH=" + bin.string() + ":/usr/local/bin:/usr/bin:/bin",
                "OSTREL_BUILD_DIR=" + (tree / "build").string()};
            command.push_back(interpreter(kSource / script));
            command.push_back((tree / script).string());
            command.push_back(flag);
            Child child("/usr/bin/env", command, tree.path());
            const std::string name = script.string() + " " + flag;
            EXPECT_EQ(child.finish(), 0) << name << "\n" << child.out() << child.err();
            std::string out = child.out();
            std::transform(out.begin(), out.end(), out.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            EXPECT_NE(out.find("usage: "), std::string::npos) << name << "\n" << child.out();
            EXPECT_EQ(child.err(), "") << name;
            EXPECT_FALSE(fs::exists(tree / ".ran"))
                << name << " ran " << testing::readFile(tree / ".ran");
            EXPECT_EQ(filesBelow(tree.path()), before) << name << " wrote files";
        }
    }
}

}  // namespace
}  // namespace ostrel
