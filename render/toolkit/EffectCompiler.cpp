// ostrel-effectc: the build step that turns an effect source (.fx) into its packed form (.cso).
// It parses the effect, checks what the program asks of it (with --contract: the technique,
// passes and variables of that effect's contract, EffectContract.h) and that every fragment
// shader input is written by its pass's vertex shader, compiles every shader with the GLSL
// reference compiler, and writes the packed file only when all of that passed. Every fault is
// one "ERROR: FILE(LINE): ..." line on standard error; any fault ends it with exit status 1,
// a wrong command line with 2.
//   ostrel-effectc [--contract cutscenerenderer|simpledraw] GLSLANG_VALIDATOR INPUT.fx OUTPUT.cso

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/AtomicFile.h"
#include "render/CutSceneRendererContract.h"
#include "render/toolkit/EffectContract.h"
#include "core/Version.h"
#include "render/toolkit/EffectFile.h"

namespace {

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

/// Runs a command and returns its exit status and output (stdout and stderr).
int run(const std::string& command, std::string& output) {
    std::FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), p)) > 0;) output.append(buffer, n);
    return pclose(p);
}

constexpr const char* kUsage =
    "Usage: ostrel-effectc [--contract cutscenerenderer|simpledraw] GLSLANG_VALIDATOR INPUT.fx "
    "OUTPUT.cso\n";

/// The contract of the program's effect `name`, null when it has none.
const ostrel::gl::EffectContract* contractNamed(const std::string& name) {
    if (name == "cutscenerenderer") return &ostrel::cutSceneRendererContract();
    if (name == "simpledraw") return &ostrel::gl::simpleDrawContract();
    return nullptr;
}

const char* const kHelp =
    "Parses the effect INPUT.fx, checks it against the program's contract for that effect\n"
    "(--contract: its technique, passes and variables) and that every fragment shader input\n"
    "is written by its pass's vertex shader, compiles each of its shaders with\n"
    "GLSLANG_VALIDATOR (the GLSL reference compiler) and, when all of that passed, writes\n"
    "the packed effect OUTPUT.cso that the renderer loads. The build runs it for every effect.\n"
    "\n"
    "  --contract NAME  check the effect against contract NAME\n"
    "  -h, --help       show this help and exit\n"
    "  -V, --version    show the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 the effect cannot be read, parsed or compiled, or OUTPUT.cso\n"
    "cannot be written, 2 bad command line.\n";

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage << kHelp;
            return 0;
        }
        if (a == "-V" || a == "--version") {
            std::cout << ostrel::versionLine("ostrel-effectc");
            return 0;
        }
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    const ostrel::gl::EffectContract* contract = nullptr;
    if (args.size() >= 2 && args[0] == "--contract") {
        contract = contractNamed(args[1]);
        if (!contract) {
            std::cerr << "ERROR: no effect contract \"" << args[1] << "\"\n" << kUsage;
            return 2;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 3) {
        std::cerr << "ERROR: Give the compiler, the effect file and the output file\n"
                  << kUsage << "Try 'ostrel-effectc --help' for more information.\n";
        return 2;
    }
    const std::string validator = args[0], input = args[1], output = args[2];
    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << "ERROR: effect file \"" << input << "\" could not be opened\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    const size_t slash = input.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? input : input.substr(slash + 1);

    ostrel::gl::EffectDescription effect;
    std::string error;
    if (!ostrel::gl::parseEffect(text.str(), name, effect, error)) {
        std::cerr << "ERROR: " << error << "\n";
        return 1;
    }
    std::vector<std::string> faults;
    if (contract) ostrel::gl::checkEffectContract(effect, *contract, name, faults);
    ostrel::gl::checkStageInterfaces(effect, name, faults);
    for (const std::string& fault : faults) std::cerr << "ERROR: " << fault << "\n";
    bool ok = faults.empty();
    for (const auto& shader : effect.shaders) {
        const std::string file = output + "." + std::to_string(getpid()) + "." + shader.name +
                                 (shader.vertex ? ".vert" : ".frag");
        {
            std::ofstream out(file, std::ios::binary);
            out << ostrel::gl::assembleShader(effect, shader);
            if (!out) {
                std::cerr << "ERROR: \"" << file << "\" could not be written\n";
                return 1;
            }
        }
        std::string log;
        const int status = run(shellQuote(validator) + " " + shellQuote(file), log);
        std::remove(file.c_str());
        if (status != 0) {
            std::cerr << "ERROR: " << name << ": " << (shader.vertex ? "vertex" : "fragment")
                      << " shader \"" << shader.name << "\" does not compile (line numbers are "
                      << name << "'s):\n" << log;
            ok = false;
        }
    }
    if (!ok) return 1;
    if (!ostrel::writeFileAtomically(output, ostrel::gl::packEffect(text.str()))) {
        std::cerr << "ERROR: \"" << output << "\" could not be written\n";
        return 1;
    }
    return 0;
}
