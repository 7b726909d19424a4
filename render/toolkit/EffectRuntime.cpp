#include "render/toolkit/EffectRuntime.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace ostrel::gl {

void EffectVariable::setMatrix(const ostrel::Matrix4& m) {
    std::memcpy(values_, m.m.data(), sizeof(values_));
}
void EffectVariable::setFloatVector(const float v[4]) { std::memcpy(values_, v, 4 * sizeof(float)); }
void EffectVariable::setFloatVector(const ostrel::Vec4f& v) {
    const float a[4] = {v.x, v.y, v.z, v.w};
    setFloatVector(a);
}
void EffectVariable::setFloat(float v) { values_[0] = v; }
void EffectVariable::setResource(GLuint texture) { texture_ = texture; }

namespace {

void applyState(const PassState& s) {
    if (s.fill) glPolygonMode(GL_FRONT_AND_BACK, *s.fill == FillMode::WireFrame ? GL_LINE : GL_FILL);
    if (s.cull) {
        if (*s.cull == CullMode::None) {
            glDisable(GL_CULL_FACE);
        } else {
            glEnable(GL_CULL_FACE);
            glFrontFace(GL_CCW);
            glCullFace(*s.cull == CullMode::Back ? GL_BACK : GL_FRONT);
        }
    }
    if (s.depthTest) (*s.depthTest ? glEnable : glDisable)(GL_DEPTH_TEST);
    if (s.depthWrite) glDepthMask(*s.depthWrite ? GL_TRUE : GL_FALSE);
    if (s.depthFunc)
        glDepthFunc(*s.depthFunc == DepthFunc::Less        ? GL_LESS
                    : *s.depthFunc == DepthFunc::LessEqual ? GL_LEQUAL
                                                           : GL_ALWAYS);
    if (s.blend) {
        if (*s.blend == BlendMode::Off) {
            glDisable(GL_BLEND);
        } else {
            glEnable(GL_BLEND);
            glBlendFunc(*s.blend == BlendMode::Alpha ? GL_SRC_ALPHA : GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        }
    }
    if (s.polygonOffset) {
        const auto [factor, units] = *s.polygonOffset;
        if (factor == 0 && units == 0) {
            glDisable(GL_POLYGON_OFFSET_FILL);
        } else {
            glEnable(GL_POLYGON_OFFSET_FILL);
            glPolygonOffset(factor, units);
        }
    }
}

bool isIntegerType(GLenum t) {
    return t == GL_INT || t == GL_INT_VEC2 || t == GL_INT_VEC3 || t == GL_INT_VEC4 ||
           t == GL_UNSIGNED_INT || t == GL_UNSIGNED_INT_VEC2 || t == GL_UNSIGNED_INT_VEC3 ||
           t == GL_UNSIGNED_INT_VEC4;
}
int locationCount(GLenum t) {
    if (t == GL_FLOAT_MAT4 || t == GL_FLOAT_MAT3x4 || t == GL_FLOAT_MAT2x4) return 4;
    if (t == GL_FLOAT_MAT3 || t == GL_FLOAT_MAT4x3 || t == GL_FLOAT_MAT2x3) return 3;
    if (t == GL_FLOAT_MAT2 || t == GL_FLOAT_MAT4x2 || t == GL_FLOAT_MAT3x2) return 2;
    return 1;
}

std::string infoLog(GLuint object, bool program) {
    GLint length = 0;
    (program ? glGetProgramiv : glGetShaderiv)(object, GL_INFO_LOG_LENGTH, &length);
    std::string log(size_t(length > 0 ? length : 1), '\0');
    (program ? glGetProgramInfoLog : glGetShaderInfoLog)(object, GLsizei(log.size()), nullptr,
                                                           log.data());
    log.resize(std::strlen(log.c_str()));
    while (!log.empty() && (log.back() == '\n' || log.back() == ' ')) log.pop_back();
    return log;
}

GlShader compile(const EffectDescription& d, const ShaderSource& s, const std::string& fileName,
                 std::string& error) {
    const std::string source = assembleShader(d, s);
    GlShader shader(glCreateShader(s.vertex ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER));
    const char* text = source.c_str();
    glShaderSource(shader.get(), 1, &text, nullptr);
    glCompileShader(shader.get());
    GLint ok = 0;
    glGetShaderiv(shader.get(), GL_COMPILE_STATUS, &ok);
    if (!ok) {
        error = fileName + ": " + (s.vertex ? "vertex" : "fragment") + " shader \"" + s.name +
                "\": " + infoLog(shader.get(), false);
        return {};
    }
    return shader;
}

bool link(GLuint program, const std::string& what, std::string& error) {
    glLinkProgram(program);
    GLint ok = 0;
    glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (!ok) error = what + ": " + infoLog(program, true);
    return ok != 0;
}

/// The first location and the location count of every vertex input name of the effect.
using LocationMap = std::map<std::string, std::pair<GLint, int>>;

/// Gives each active vertex input of the linked program `prog` the location of its name in
/// `locationOf` (a new name gets the next free ones, from `nextLocation`), binds it and appends
/// it to `inputs`; false with the error when a name comes with another location count. The
/// program must be linked again for the bindings to take effect.
bool bindInputs(GLuint prog, const std::string& what, LocationMap& locationOf,
                GLint& nextLocation, std::vector<ShaderInput>& inputs, std::string& error) {
    GLint count = 0;
    glGetProgramiv(prog, GL_ACTIVE_ATTRIBUTES, &count);
    for (GLint i = 0; i < count; ++i) {
        char name[256] = {};
        GLint size = 0;
        GLenum type = 0;
        glGetActiveAttrib(prog, GLuint(i), sizeof(name), nullptr, &size, &type, name);
        if (std::strncmp(name, "gl_", 3) == 0) continue;
        ShaderInput in{name, type, -1, locationCount(type) * size, isIntegerType(type)};
        auto it = locationOf.find(in.name);
        if (it == locationOf.end())
            it = locationOf.emplace(in.name, std::pair{nextLocation, in.locations}).first,
            nextLocation += in.locations;
        else if (it->second.second != in.locations) {
            error = what + ": vertex input \"" + in.name + "\" has different types";
            return false;
        }
        in.location = it->second.first;
        glBindAttribLocation(prog, GLuint(in.location), name);
        inputs.push_back(in);
    }
    return true;
}

/// False with the error when the effect's `locations` vertex input locations exceed what the
/// driver offers.
bool inputLocationsFit(GLint locations, const std::string& fileName, std::string& error) {
    GLint maxAttribs = 16;
    glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &maxAttribs);
    if (locations > maxAttribs) {
        error = fileName + ": the effect's vertex inputs need " + std::to_string(locations) +
                " locations, the driver offers " + std::to_string(maxAttribs);
        return false;
    }
    return true;
}

}  // namespace

void EffectPass::apply() const {
    if (program_) {
        glUseProgram(program_.get());
        for (const auto& [v, loc] : uniforms_) {
            switch (v->kind()) {
                case VariableKind::Matrix: glUniformMatrix4fv(loc, 1, GL_TRUE, v->values()); break;
                case VariableKind::Vector: glUniform4fv(loc, 1, v->values()); break;
                case VariableKind::Scalar: glUniform1f(loc, v->values()[0]); break;
                case VariableKind::Texture:
                    glActiveTexture(GLenum(GL_TEXTURE0 + v->textureUnit()));
                    glBindTexture(GL_TEXTURE_2D, v->texture());
                    glUniform1i(loc, v->textureUnit());
                    glActiveTexture(GL_TEXTURE0);
                    break;
            }
        }
    }
    applyState(decl_.state);
}

EffectPass* EffectTechnique::getPassByName(const std::string& name) {
    for (auto& p : passes_)
        if (p->name() == name) return p.get();
    return nullptr;
}

EffectTechnique* CompiledEffect::getTechniqueByName(const std::string& name) {
    for (auto& t : techniques_)
        if (t->name() == name) return t.get();
    return nullptr;
}

EffectVariable* CompiledEffect::getVariableByName(const std::string& name) {
    for (auto& v : variables_)
        if (v->name() == name) return v.get();
    return nullptr;
}

std::unique_ptr<CompiledEffect> CompiledEffect::create(const EffectDescription& d,
                                                       const std::string& fileName,
                                                       std::string& error) {
    auto effect = std::unique_ptr<CompiledEffect>(new CompiledEffect);
    int units = 0;
    for (const auto& v : d.variables)
        effect->variables_.push_back(std::make_unique<EffectVariable>(
            v, v.kind == VariableKind::Texture ? units++ : -1));

    std::map<std::string, GlShader> shaders;  // "v:NAME" / "f:NAME"
    for (const auto& s : d.shaders) {
        GlShader sh = compile(d, s, fileName, error);
        if (!sh) return nullptr;
        shaders[(s.vertex ? "v:" : "f:") + s.name] = std::move(sh);
    }

    // First link: learn every program's inputs; then give each input name one location for the
    // whole effect and link again with those locations.
    LocationMap locationOf;
    GLint nextLocation = 0;
    for (const auto& t : d.techniques) {
        auto technique = std::make_unique<EffectTechnique>();
        technique->name_ = t.name;
        for (const auto& p : t.passes) {
            auto pass = std::make_unique<EffectPass>();
            pass->decl_ = p;
            if (!p.vertexShader.empty()) {
                const std::string what = fileName + ": pass \"" + p.name + "\"";
                pass->program_.reset(glCreateProgram());
                const GLuint prog = pass->program_.get();
                glAttachShader(prog, shaders["v:" + p.vertexShader].get());
                glAttachShader(prog, shaders["f:" + p.fragmentShader].get());
                if (!link(prog, what, error) ||
                    !bindInputs(prog, what, locationOf, nextLocation, pass->inputs_, error) ||
                    !link(prog, what, error))
                    return nullptr;
                for (const auto& v : effect->variables_) {
                    const GLint loc = glGetUniformLocation(prog, v->name().c_str());
                    if (loc >= 0) pass->uniforms_.emplace_back(v.get(), loc);
                }
            }
            technique->passes_.push_back(std::move(pass));
        }
        effect->techniques_.push_back(std::move(technique));
    }
    effect->shareInputSignatures();
    if (!inputLocationsFit(nextLocation, fileName, error)) return nullptr;
    return effect;
}

void CompiledEffect::shareInputSignatures() {
    // A pass's input signature is that of its vertex shader: an input that one fragment shader
    // leaves unused (so the linker drops it) still belongs to every pass with that vertex shader.
    std::map<std::string, std::vector<ShaderInput>> signatures;
    for (const auto& t : techniques_)
        for (const auto& p : t->passes_)
            for (const auto& in : p->inputs_) {
                auto& list = signatures[p->decl_.vertexShader];
                if (std::none_of(list.begin(), list.end(),
                                 [&](const ShaderInput& x) { return x.name == in.name; }))
                    list.push_back(in);
            }
    for (auto& t : techniques_)
        for (auto& p : t->passes_)
            if (p->program_) {
                p->inputs_ = signatures[p->decl_.vertexShader];
                std::sort(p->inputs_.begin(), p->inputs_.end(),
                          [](const ShaderInput& a, const ShaderInput& b) { return a.location < b.location; });
            }
}

}  // namespace ostrel::gl
