#pragma once
// The effect runtime: an effect description (EffectFile.h) compiled into GL programs, with its
// techniques, passes and variables looked up by name. Variables keep their values on the CPU;
// applying a pass uploads the values of every variable its program uses and sets the pass's
// render state, so a value set before apply is the one the next draw sees.
// Vertex-input locations are assigned once for the whole effect (by input name), so an input
// layout made against one pass serves every pass with the same inputs.
// A GL context must be current for create, apply and destruction.

#include <memory>
#include <string>
#include <vector>

#include "geometry/Matrix4.h"
#include "render/toolkit/EffectFile.h"
#include "render/toolkit/Gl.h"

namespace ostrel::gl {

class EffectVariable {
public:
    EffectVariable(const EffectVariableDecl& decl, int textureUnit)
        : decl_(decl), textureUnit_(textureUnit) {}
    const std::string& name() const { return decl_.name; }
    VariableKind kind() const { return decl_.kind; }

    void setMatrix(const ostrel::Matrix4& m);  ///< stored row by row
    void setFloatVector(const float v[4]);
    void setFloatVector(const ostrel::Vec4f& v);
    void setFloat(float v);
    void setResource(GLuint texture);  ///< a 2-D texture name, 0 for none

    const float* values() const { return values_; }
    GLuint texture() const { return texture_; }
    int textureUnit() const { return textureUnit_; }

private:
    EffectVariableDecl decl_;
    int textureUnit_ = -1;
    float values_[16] = {};
    GLuint texture_ = 0;
};

/// One vertex input of a pass's program (its input signature).
struct ShaderInput {
    std::string name;
    GLenum type = 0;  ///< GL_FLOAT_VEC3, GL_INT, GL_FLOAT_MAT4, ...
    GLint location = -1;
    int locations = 1;  ///< 4 for a mat4
    bool integer = false;
};

class EffectPass {
public:
    const std::string& name() const { return decl_.name; }
    /// Binds the program (when the pass has one), uploads the variables it uses and sets the
    /// pass's render state.
    void apply() const;
    /// The program's vertex inputs (empty for a state-only pass).
    const std::vector<ShaderInput>& inputSignature() const { return inputs_; }
    bool hasProgram() const { return bool(program_); }

private:
    friend class CompiledEffect;
    PassDecl decl_;
    GlProgram program_;
    std::vector<std::pair<const EffectVariable*, GLint>> uniforms_;
    std::vector<ShaderInput> inputs_;
};

class EffectTechnique {
public:
    const std::string& name() const { return name_; }
    EffectPass* getPassByName(const std::string& name);

private:
    friend class CompiledEffect;
    std::string name_;
    std::vector<std::unique_ptr<EffectPass>> passes_;
};

class CompiledEffect {
public:
    /// Compiles and links every pass. On failure returns null and sets `error` to the compiler's
    /// or linker's text (with file line numbers where the driver gives them).
    static std::unique_ptr<CompiledEffect> create(const EffectDescription& description,
                                                  const std::string& fileName, std::string& error);
    EffectTechnique* getTechniqueByName(const std::string& name);
    EffectVariable* getVariableByName(const std::string& name);

private:
    /// Gives every pass with a program the inputs of all passes of its vertex shader, sorted by
    /// location, so that passes that share a vertex shader share one input signature.
    void shareInputSignatures();

    std::vector<std::unique_ptr<EffectVariable>> variables_;
    std::vector<std::unique_ptr<EffectTechnique>> techniques_;
};

}  // namespace ostrel::gl
