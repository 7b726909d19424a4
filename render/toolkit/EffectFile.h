#pragma once
// The effect file format: a text file that declares an effect's variables, its GLSL shader
// sources and its techniques with their passes (a shader program and the render state the pass
// sets). Parsing needs no GPU; the effect runtime compiles what the description names.
//
//   // comment                           (a line whose first non-blank text is //)
//   variable matrix g_mProjection        (kinds: matrix = mat4, vector = vec4, scalar = float,
//   variable texture g_txShadowMap sampler2DShadow      texture = the sampler type given)
//   glsl common | glsl common fragment | glsl vertex NAME | glsl fragment NAME
//   ... GLSL lines, copied verbatim ...
//   end
//   technique NAME
//   pass NAME
//     vertex NAME   fragment NAME        (both or neither: a pass may only set state)
//     fill solid|wireframe   cull none|back|front   depth on|off   depthwrite on|off
//     depthfunc less|lessequal|always    blend off|alpha|premultiplied   offset FACTOR UNITS|off
//
// "glsl common" is put in front of every shader, "glsl common fragment" in front of fragment
// shaders only (after the common block).
// A pass sets only the state it names; the rest stays as the previous pass left it. The runtime
// prepends "#version 330 core", a uniform declaration for every variable and the common source to
// each shader. Vertex inputs are named after their semantic (POSITION, NORMAL, a semantic index
// above 0 appended as a digit; a mat4 input covers semantic indices 0 to 3).
// Packed (.cso) form: the magic line, the byte length and an FNV-1a checksum of the text, then
// the text itself, written by the build step after every shader of the effect compiled.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::gl {

enum class VariableKind { Matrix, Vector, Scalar, Texture };

struct EffectVariableDecl {
    std::string name;
    VariableKind kind = VariableKind::Scalar;
    std::string samplerType;  ///< GLSL sampler type of a texture variable
    int line = 0;             ///< line of the declaration
};

struct ShaderSource {
    std::string name;
    bool vertex = true;  ///< vertex or fragment stage
    std::string text;
    int firstLine = 0;  ///< line of the file where the text starts (for error messages)
};

enum class FillMode { Solid, WireFrame };
enum class CullMode { None, Back, Front };
enum class DepthFunc { Less, LessEqual, Always };
enum class BlendMode { Off, Alpha, Premultiplied };

/// The render state a pass sets; an empty optional leaves that state as it is.
struct PassState {
    std::optional<FillMode> fill;
    std::optional<CullMode> cull;
    std::optional<bool> depthTest;
    std::optional<bool> depthWrite;
    std::optional<DepthFunc> depthFunc;
    std::optional<BlendMode> blend;
    std::optional<std::pair<float, float>> polygonOffset;  ///< factor, units; (0, 0) = off
};

struct PassDecl {
    std::string name;
    std::string vertexShader, fragmentShader;  ///< both empty for a state-only pass
    PassState state;
    int line = 0;
};

struct TechniqueDecl {
    std::string name;
    std::vector<PassDecl> passes;
    int line = 0;
};

struct EffectDescription {
    std::vector<EffectVariableDecl> variables;
    std::string commonSource;
    int commonFirstLine = 0;
    std::string fragmentCommonSource;
    int fragmentCommonFirstLine = 0;
    std::vector<ShaderSource> shaders;
    std::vector<TechniqueDecl> techniques;

    const ShaderSource* findShader(const std::string& name, bool vertex) const;
};

/// Parses effect text. On failure returns false and sets `error` to "NAME(LINE): message", NAME
/// being `fileName`. Checks that every name is unique in its scope and every pass's shaders exist.
bool parseEffect(const std::string& text, const std::string& fileName, EffectDescription& out,
                 std::string& error);

/// The full GLSL source of one stage as the runtime compiles it, and the number of lines put in
/// front of the shader's own text (to turn compiler line numbers back into file lines).
std::string assembleShader(const EffectDescription& effect, const ShaderSource& shader,
                           int* prefixLines = nullptr);

/// Packed form of effect text and its inverse; unpack returns false on a damaged file.
std::string packEffect(const std::string& text);
bool unpackEffect(const std::string& packed, std::string& text);

}  // namespace ostrel::gl
