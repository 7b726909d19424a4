#include "render/toolkit/EffectFile.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <set>
#include <sstream>

#include "core/NumberText.h"

namespace ostrel::gl {

namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool onOff(const std::string& w, bool& value) {
    if (w == "on") value = true;
    else if (w == "off") value = false;
    else return false;
    return true;
}

/// One word as a float: a real number (core/NumberText.h) within the range of float.
bool parseFloat(const std::string& w, float& value) {
    double v = 0;
    if (!readReal(w, v) || std::fabs(v) > double(std::numeric_limits<float>::max())) return false;
    value = float(v);
    return true;
}

/// Reads one state line of a pass; returns an empty string or the error text.
std::string parseState(const std::vector<std::string>& w, PassDecl& pass) {
    const std::string& key = w[0];
    if (key == "offset") {
        if (w.size() == 2 && w[1] == "off") {
            pass.state.polygonOffset = std::pair<float, float>(0.0f, 0.0f);
            return {};
        }
        float f = 0, u = 0;
        if (w.size() != 3 || !parseFloat(w[1], f) || !parseFloat(w[2], u))
            return "\"offset\" takes two numbers or \"off\"";
        pass.state.polygonOffset = std::pair<float, float>(f, u);
        return {};
    }
    if (w.size() != 2) return "\"" + key + "\" takes one value";
    const std::string& v = w[1];
    const std::string bad = "unknown value \"" + v + "\" for \"" + key + "\"";
    if (key == "vertex") {
        pass.vertexShader = v;
    } else if (key == "fragment") {
        pass.fragmentShader = v;
    } else if (key == "fill") {
        if (v == "solid") pass.state.fill = FillMode::Solid;
        else if (v == "wireframe") pass.state.fill = FillMode::WireFrame;
        else return bad;
    } else if (key == "cull") {
        if (v == "none") pass.state.cull = CullMode::None;
        else if (v == "back") pass.state.cull = CullMode::Back;
        else if (v == "front") pass.state.cull = CullMode::Front;
        else return bad;
    } else if (key == "depth" || key == "depthwrite") {
        bool b = false;
        if (!onOff(v, b)) return bad;
        (key == "depth" ? pass.state.depthTest : pass.state.depthWrite) = b;
    } else if (key == "depthfunc") {
        if (v == "less") pass.state.depthFunc = DepthFunc::Less;
        else if (v == "lessequal") pass.state.depthFunc = DepthFunc::LessEqual;
        else if (v == "always") pass.state.depthFunc = DepthFunc::Always;
        else return bad;
    } else if (key == "blend") {
        if (v == "off") pass.state.blend = BlendMode::Off;
        else if (v == "alpha") pass.state.blend = BlendMode::Alpha;
        else if (v == "premultiplied") pass.state.blend = BlendMode::Premultiplied;
        else return bad;
    } else {
        return "unknown pass setting \"" + key + "\"";
    }
    return {};
}

bool validName(const std::string& s) {
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}

}  // namespace

const ShaderSource* EffectDescription::findShader(const std::string& name, bool vertex) const {
    for (const auto& s : shaders)
        if (s.name == name && s.vertex == vertex) return &s;
    return nullptr;
}

namespace {

/// What parseEffect has read so far: the description and the open block, technique and pass.
/// The pointers point into `out`'s vectors, which grow only while nothing of them is open
/// that a later push would move.
struct EffectReader {
    EffectDescription& out;
    ShaderSource* block = nullptr;  // open glsl block
    std::string* common = nullptr;  // open common block
    int blockLine = 0;
    TechniqueDecl* technique = nullptr;
    PassDecl* pass = nullptr;
    std::set<std::string> variableNames{};
    bool commonSeen = false, fragmentCommonSeen = false;
};

/// Reads a "variable KIND NAME [SAMPLER]" line (words `w`, at `lineNo`); the error text or "".
std::string declareVariable(const std::vector<std::string>& w, int lineNo, EffectReader& r) {
    if (r.technique) return "variables must come before the techniques";
    if (w.size() < 3) return "\"variable\" takes a kind and a name";
    EffectVariableDecl v;
    v.name = w[2];
    v.line = lineNo;
    if (!validName(v.name)) return "invalid variable name \"" + v.name + "\"";
    const std::string& kind = w[1];
    size_t expected = 3;
    if (kind == "matrix") v.kind = VariableKind::Matrix;
    else if (kind == "vector") v.kind = VariableKind::Vector;
    else if (kind == "scalar") v.kind = VariableKind::Scalar;
    else if (kind == "texture") {
        v.kind = VariableKind::Texture;
        expected = 4;
        if (w.size() == 4) v.samplerType = w[3];
        if (w.size() == 4 && v.samplerType.rfind("sampler", 0) != 0)
            return "\"" + v.samplerType + "\" is not a sampler type";
    } else {
        return "unknown variable kind \"" + kind + "\"";
    }
    if (w.size() != expected)
        return expected == 4 ? "a texture variable takes a name and a sampler type"
                             : "\"variable\" takes a kind and a name";
    if (!r.variableNames.insert(v.name).second)
        return "variable \"" + v.name + "\" declared twice";
    r.out.variables.push_back(v);
    return {};
}

/// Opens the block of a "glsl common", "glsl common fragment" or "glsl vertex|fragment NAME"
/// line (words `w`, at `lineNo`); the error text or "".
std::string openGlslBlock(const std::vector<std::string>& w, int lineNo, EffectReader& r) {
    EffectDescription& out = r.out;
    if (w.size() == 2 && w[1] == "common") {
        if (r.commonSeen) return "a second \"glsl common\" block";
        r.commonSeen = true;
        r.common = &out.commonSource;
        out.commonFirstLine = lineNo + 1;
        r.blockLine = lineNo;
        return {};
    }
    if (w.size() == 3 && w[1] == "common" && w[2] == "fragment") {
        if (r.fragmentCommonSeen) return "a second \"glsl common fragment\" block";
        r.fragmentCommonSeen = true;
        r.common = &out.fragmentCommonSource;
        out.fragmentCommonFirstLine = lineNo + 1;
        r.blockLine = lineNo;
        return {};
    }
    if (w.size() != 3 || (w[1] != "vertex" && w[1] != "fragment"))
        return "expected \"glsl common\", \"glsl common fragment\", \"glsl vertex NAME\" or \"glsl fragment NAME\"";
    const bool vertex = w[1] == "vertex";
    if (!validName(w[2])) return "invalid shader name \"" + w[2] + "\"";
    if (out.findShader(w[2], vertex)) return w[1] + " shader \"" + w[2] + "\" declared twice";
    out.shaders.push_back({w[2], vertex, {}, lineNo + 1});
    r.block = &out.shaders.back();
    r.blockLine = lineNo;
    return {};
}

/// Starts the technique of a "technique NAME" line (words `w`, at `lineNo`); the error text or "".
std::string declareTechnique(const std::vector<std::string>& w, int lineNo, EffectReader& r) {
    if (w.size() != 2 || !validName(w[1])) return "\"technique\" takes a name";
    for (const auto& t : r.out.techniques)
        if (t.name == w[1]) return "technique \"" + w[1] + "\" declared twice";
    r.out.techniques.push_back({w[1], {}, lineNo});
    r.technique = &r.out.techniques.back();
    r.pass = nullptr;
    return {};
}

/// Starts the pass of a "pass NAME" line (words `w`, at `lineNo`); the error text or "".
std::string declarePass(const std::vector<std::string>& w, int lineNo, EffectReader& r) {
    if (!r.technique) return "\"pass\" outside a technique";
    if (w.size() != 2 || !validName(w[1])) return "\"pass\" takes a name";
    for (const auto& p : r.technique->passes)
        if (p.name == w[1]) return "pass \"" + w[1] + "\" declared twice";
    r.technique->passes.push_back({});
    r.pass = &r.technique->passes.back();
    r.pass->name = w[1];
    r.pass->line = lineNo;
    return {};
}

/// Checks the whole effect after its last line `lastLine`: a technique, a pass in each, and
/// both shaders of every pass declared. "" or the error text and its line `at`.
std::string checkTechniques(const EffectDescription& out, int lastLine, int& at) {
    at = lastLine;
    if (out.techniques.empty()) return "the effect declares no technique";
    for (const auto& t : out.techniques) {
        if (t.passes.empty()) return "technique \"" + t.name + "\" has no pass";
        for (const auto& p : t.passes) {
            std::string e;
            if (p.vertexShader.empty() != p.fragmentShader.empty())
                e = "pass \"" + p.name + "\" needs both a vertex and a fragment shader";
            else if (!p.vertexShader.empty() && !out.findShader(p.vertexShader, true))
                e = "vertex shader \"" + p.vertexShader + "\" not declared";
            else if (!p.fragmentShader.empty() && !out.findShader(p.fragmentShader, false))
                e = "fragment shader \"" + p.fragmentShader + "\" not declared";
            if (!e.empty()) {
                at = p.line;
                return e;
            }
        }
    }
    return {};
}

}  // namespace

bool parseEffect(const std::string& text, const std::string& fileName, EffectDescription& out,
                 std::string& error) {
    out = {};
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    const auto fail = [&](int at, const std::string& message) {
        error = fileName + "(" + std::to_string(at) + "): " + message;
        return false;
    };
    EffectReader r{out};
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto w = words(line);
        if (r.block || r.common) {
            if (w.size() == 1 && w[0] == "end") {
                r.block = nullptr;
                r.common = nullptr;
                continue;
            }
            (r.common ? *r.common : r.block->text) += line + "\n";
            continue;
        }
        if (w.empty() || w[0].rfind("//", 0) == 0) continue;
        const std::string& key = w[0];
        std::string e;
        if (key == "variable") e = declareVariable(w, lineNo, r);
        else if (key == "glsl") e = openGlslBlock(w, lineNo, r);
        else if (key == "technique") e = declareTechnique(w, lineNo, r);
        else if (key == "pass") e = declarePass(w, lineNo, r);
        else if (!r.pass) e = "unexpected \"" + key + "\"";
        else e = parseState(w, *r.pass);
        if (!e.empty()) return fail(lineNo, e);
    }
    if (r.block || r.common) return fail(r.blockLine, "glsl block without \"end\"");
    int at = lineNo;
    if (const std::string e = checkTechniques(out, lineNo, at); !e.empty()) return fail(at, e);
    error.clear();
    return true;
}

std::string assembleShader(const EffectDescription& effect, const ShaderSource& shader,
                           int* prefixLines) {
    std::string s = "#version 330 core\n";
    int lines = 1;
    for (const auto& v : effect.variables) {
        switch (v.kind) {
            case VariableKind::Matrix: s += "uniform mat4 " + v.name + ";\n"; break;
            case VariableKind::Vector: s += "uniform vec4 " + v.name + ";\n"; break;
            case VariableKind::Scalar: s += "uniform float " + v.name + ";\n"; break;
            case VariableKind::Texture: s += "uniform " + v.samplerType + " " + v.name + ";\n"; break;
        }
        ++lines;
    }
    s += "#line " + std::to_string(effect.commonFirstLine) + "\n" + effect.commonSource;
    if (!shader.vertex)
        s += "#line " + std::to_string(effect.fragmentCommonFirstLine) + "\n" +
             effect.fragmentCommonSource;
    s += "#line " + std::to_string(shader.firstLine) + "\n";
    if (prefixLines) *prefixLines = lines;
    return s + shader.text;
}

namespace {
constexpr const char* kPackMagic = "OSTREL-EFFECT 1\n";

std::uint32_t fnv1a(const std::string& s) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}
}  // namespace

std::string packEffect(const std::string& text) {
    return std::string(kPackMagic) + std::to_string(text.size()) + " " +
           std::to_string(fnv1a(text)) + "\n" + text;
}

bool unpackEffect(const std::string& packed, std::string& text) {
    const std::string magic = kPackMagic;
    if (packed.compare(0, magic.size(), magic) != 0) return false;
    const size_t eol = packed.find('\n', magic.size());
    if (eol == std::string::npos) return false;
    std::istringstream head(packed.substr(magic.size(), eol - magic.size()));
    unsigned long long size = 0;
    std::uint32_t sum = 0;
    if (!(head >> size >> sum)) return false;
    if (packed.size() - eol - 1 != size) return false;
    text = packed.substr(eol + 1);
    return fnv1a(text) == sum;
}

}  // namespace ostrel::gl
