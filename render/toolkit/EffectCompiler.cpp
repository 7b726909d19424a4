// ostrel-effectc: the build step that turns an effect source (.fx) into its packed form (.cso).
// It parses the effect, compiles every shader with the GLSL reference compiler and writes the
// packed file only when everything compiled; any error ends it with exit status 1.
//   ostrel-effectc GLSLANG_VALIDATOR INPUT.fx OUTPUT.cso

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "core/AtomicFile.h"
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: ostrel-effectc GLSLANG_VALIDATOR INPUT.fx OUTPUT.cso\n";
        return 2;
    }
    const std::string validator = argv[1], input = argv[2], output = argv[3];
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
    bool ok = true;
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
