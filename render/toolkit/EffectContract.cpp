#include "render/toolkit/EffectContract.h"

#include <regex>
#include <sstream>

namespace ostrel::gl {

namespace {

/// `text` with its comments blanked out; line breaks stay, so line numbers do not move.
std::string withoutComments(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out.compare(i, 2, "//") == 0) {
            while (i < out.size() && out[i] != '\n') out[i++] = ' ';
        } else if (out.compare(i, 2, "/*") == 0) {
            const size_t end = out.find("*/", i + 2);
            const size_t stop = end == std::string::npos ? out.size() : end + 2;
            for (; i < stop; ++i)
                if (out[i] != '\n') out[i] = ' ';
            --i;
        }
    }
    return out;
}

/// The sources a stage is compiled from, each with the file line of its first line.
std::vector<std::pair<const std::string*, int>> stageSources(const EffectDescription& effect,
                                                             const ShaderSource& shader) {
    std::vector<std::pair<const std::string*, int>> sources{
        {&effect.commonSource, effect.commonFirstLine}};
    if (!shader.vertex)
        sources.emplace_back(&effect.fragmentCommonSource, effect.fragmentCommonFirstLine);
    sources.emplace_back(&shader.text, shader.firstLine);
    return sources;
}

bool assigns(const EffectDescription& effect, const ShaderSource& shader,
             const std::string& name) {
    const std::regex assignment("(^|[^\\w.])" + name +
                                "\\s*(\\.\\s*\\w+|\\[[^\\]]*\\])*\\s*[-+*/]?=(?!=)");
    for (const auto& [text, firstLine] : stageSources(effect, shader))
        if (std::regex_search(withoutComments(*text), assignment)) return true;
    return false;
}

std::string at(const std::string& fileName, int line) {
    return fileName + "(" + std::to_string(line) + "): ";
}

}  // namespace

const char* variableKindName(VariableKind kind) {
    switch (kind) {
        case VariableKind::Matrix: return "matrix";
        case VariableKind::Vector: return "vector";
        case VariableKind::Scalar: return "scalar";
        case VariableKind::Texture: return "texture";
    }
    return "variable";
}

std::vector<StageVariable> stageVariables(const EffectDescription& effect,
                                          const ShaderSource& shader, bool out) {
    // A global declaration starts its line: [layout(...)] [qualifiers] in|out TYPE NAME[, NAME];
    static const std::regex declaration(
        "^\\s*(layout\\s*\\([^)]*\\)\\s*)?((flat|smooth|noperspective|centroid)\\s+)*"
        "(in|out)\\s+(\\w+)\\s+(\\w+(\\s*\\[[^\\]]*\\])?(\\s*,\\s*\\w+(\\s*\\[[^\\]]*\\])?)*)"
        "\\s*;");
    static const std::regex flat("(^|\\s)flat\\s");
    std::vector<StageVariable> found;
    for (const auto& [text, firstLine] : stageSources(effect, shader)) {
        std::istringstream lines(withoutComments(*text));
        int line = firstLine;
        for (std::string s; std::getline(lines, s); ++line) {
            std::smatch m;
            if (!std::regex_search(s, m, declaration) || (m[4] == "out") != out) continue;
            const bool isFlat = std::regex_search(s.substr(0, size_t(m.position(4))), flat);
            std::istringstream names(m[6].str());
            for (std::string name; std::getline(names, name, ',');) {
                const size_t b = name.find_first_not_of(" \t");
                const size_t e = name.find_first_of(" \t[", b);
                found.push_back({name.substr(b, e == std::string::npos ? e : e - b), m[5], isFlat,
                                 line});
            }
        }
    }
    return found;
}

bool checkEffectContract(const EffectDescription& effect, const EffectContract& contract,
                         const std::string& fileName, std::vector<std::string>& errors) {
    const size_t before = errors.size();
    const int firstVariableLine = effect.variables.empty() ? 1 : effect.variables.front().line;
    for (const auto& [name, kind] : contract.variables) {
        const EffectVariableDecl* declared = nullptr;
        for (const auto& v : effect.variables)
            if (v.name == name) declared = &v;
        if (!declared)
            errors.push_back(at(fileName, firstVariableLine) + variableKindName(kind) +
                             " variable \"" + name + "\" is not declared");
        else if (declared->kind != kind)
            errors.push_back(at(fileName, declared->line) + "variable \"" + name + "\" is a " +
                             variableKindName(declared->kind) + ", not a " +
                             variableKindName(kind));
    }
    const TechniqueDecl* technique = nullptr;
    for (const auto& t : effect.techniques)
        if (t.name == contract.technique) technique = &t;
    if (!technique) {
        const int line = effect.techniques.empty() ? 1 : effect.techniques.front().line;
        errors.push_back(at(fileName, line) + "technique \"" + contract.technique +
                         "\" is not declared");
        return false;
    }
    for (const std::string& pass : contract.passes) {
        bool found = false;
        for (const auto& p : technique->passes) found = found || p.name == pass;
        if (!found)
            errors.push_back(at(fileName, technique->line) + "technique \"" + technique->name +
                             "\" has no pass \"" + pass + "\"");
    }
    return errors.size() == before;
}

bool checkStageInterfaces(const EffectDescription& effect, const std::string& fileName,
                          std::vector<std::string>& errors) {
    const size_t before = errors.size();
    for (const auto& technique : effect.techniques) {
        for (const auto& pass : technique.passes) {
            const ShaderSource* vs = effect.findShader(pass.vertexShader, true);
            const ShaderSource* fs = effect.findShader(pass.fragmentShader, false);
            if (!vs || !fs) continue;
            const std::vector<StageVariable> outputs = stageVariables(effect, *vs, true);
            for (const StageVariable& in : stageVariables(effect, *fs, false)) {
                const std::string what = "pass \"" + pass.name + "\": input \"" + in.name +
                                         "\" of fragment shader \"" + fs->name + "\" ";
                const StageVariable* out = nullptr;
                for (const auto& o : outputs)
                    if (o.name == in.name) out = &o;
                const std::string vertex = "vertex shader \"" + vs->name + "\"";
                if (!out)
                    errors.push_back(at(fileName, in.line) + what + "is not an output of " +
                                     vertex);
                else if (out->type != in.type)
                    errors.push_back(at(fileName, in.line) + what + "is a " + in.type + " but " +
                                     vertex + " writes a " + out->type + " (line " +
                                     std::to_string(out->line) + ")");
                else if (out->flat != in.flat)
                    errors.push_back(at(fileName, in.line) + what + (in.flat ? "is" : "is not") +
                                     " flat but the output of " + vertex + (out->flat ? " is" : " is not") +
                                     " (line " + std::to_string(out->line) + ")");
                else if (!assigns(effect, *vs, in.name))
                    errors.push_back(at(fileName, in.line) + what + "is never written by " +
                                     vertex + " (declared on line " + std::to_string(out->line) +
                                     ")");
            }
        }
    }
    return errors.size() == before;
}

const EffectContract& simpleDrawContract() {
    static const EffectContract contract{
        "SimpleDraw",
        {"EnableDepth", "DisableDepth", "Render", "RenderUseCustomRasterizerState",
         "SetDefaultRasterizerState"},
        {{"g_mProjection", VariableKind::Matrix}, {"g_mWorldView", VariableKind::Matrix}}};
    return contract;
}

}  // namespace ostrel::gl
