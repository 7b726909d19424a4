#pragma once
// What a program asks of an effect, and the checks the build step runs on an effect file so that
// a wrong effect fails the build instead of the start-up. GL-free.
//
// EffectContract: the technique, its passes and the variables (name and kind) that the program
// looks up, in its lookup order (Effect::bindContract follows it).
//
// checkEffectContract: the technique exists, has every pass, and every variable is declared with
// its kind. checkStageInterfaces: in every pass with shaders, each input of the fragment shader
// (a global "in" declaration, flat or not) is an output of the pass's vertex shader with the same
// type and the same flat qualifier, and the vertex shader assigns it. Both add one message per
// fault, "NAME(LINE): text", NAME being the effect's file name and LINE the line of the effect
// file where the fault is (the input's declaration; for a missing name the technique's or the
// first variable's declaration), and return whether there was none.

#include <string>
#include <utility>
#include <vector>

#include "render/toolkit/EffectFile.h"

namespace ostrel::gl {

struct EffectContract {
    std::string technique;
    std::vector<std::string> passes;
    std::vector<std::pair<std::string, VariableKind>> variables;
};

bool checkEffectContract(const EffectDescription& effect, const EffectContract& contract,
                         const std::string& fileName, std::vector<std::string>& errors);

bool checkStageInterfaces(const EffectDescription& effect, const std::string& fileName,
                          std::vector<std::string>& errors);

/// One stage's interface variable: a global "in" or "out" declaration of a shader.
struct StageVariable {
    std::string name, type;
    bool flat = false;
    int line = 0;  ///< line of the effect file
};

/// The global inputs (`out` false) or outputs (`out` true) that a shader declares, in its
/// common sources and its own text; layout qualifiers are skipped.
std::vector<StageVariable> stageVariables(const EffectDescription& effect,
                                          const ShaderSource& shader, bool out);

/// The contract of the line drawer's effect "simpledraw" (SimpleDrawEffect).
const EffectContract& simpleDrawContract();

/// "matrix", "vector", "scalar" or "texture".
const char* variableKindName(VariableKind kind);

}  // namespace ostrel::gl
