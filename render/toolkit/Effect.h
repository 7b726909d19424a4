#pragma once
// gl::Effect: loads an effect file that sits next to the executable, looks up its
// techniques, passes and variables by name with one uniform error report, and makes input
// layouts (vertex-attribute bindings) checked against a pass's vertex inputs. Load tells
// whether the effect is ready, its source file is missing or it failed otherwise; the lookups
// and CreateInputLayout return false after their report.
//
// Errors go to standard error as the caption, a line feed, the text and a line feed; while
// error boxes are shown (Load turns them on) they also go to the error-box hook, which the
// window framework installs when it has a display and message boxes are not switched off.
// The "device" is the GL context current on the calling thread.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "render/toolkit/EffectContract.h"
#include "render/toolkit/EffectRuntime.h"
#include "render/toolkit/Gl.h"

namespace ostrel::gl {

/// What Effect::load found: the effect is ready; its source file does not exist; or another
/// failure (an unreadable or damaged file, a parse or compile error, a missing name).
enum class LoadStatus { Ok, FileNotFound, Failed };

/// Vertex element formats used by the effects.
enum class Format { R32G32B32_FLOAT, R32G32B32A32_FLOAT, R32_FLOAT, R32_SINT, R32_UINT, R8_SINT };
/// Byte size of one element of `format`.
unsigned formatSize(Format format);

/// An element offset that follows the previous element of the same slot.
inline constexpr unsigned kAppendAligned = 0xffffffffu;

struct InputElementDesc {
    const char* semanticName;
    unsigned semanticIndex;
    Format format;
    unsigned inputSlot;
    unsigned alignedByteOffset;  ///< or kAppendAligned
    bool perInstance;
    unsigned instanceDataStepRate;  ///< 0 for per-vertex data
};

/// A vertex buffer bound to one input slot.
struct VertexBufferBinding {
    GLuint buffer = 0;
    unsigned stride = 0;
    unsigned offset = 0;
};

/// An input layout: which slot, offset and format feeds each vertex input location of a pass.
class InputLayout {
public:
    struct Attribute {
        GLuint location;
        GLint components;
        GLenum type;
        bool integer;
        unsigned slot;
        unsigned offset;
        unsigned divisor;
    };
    explicit InputLayout(std::vector<Attribute> attributes);
    /// Binds this layout's vertex-array object and points every attribute at the buffer of its
    /// slot in `slots` (index = slot). The element buffer is bound by the caller afterwards.
    void bind(std::span<const VertexBufferBinding> slots) const;
    const std::vector<Attribute>& attributes() const { return attributes_; }

private:
    std::vector<Attribute> attributes_;
    GlVertexArray vao_;
};

/// Resolves the elements against a pass's inputs without a GL context. Every shader input must
/// be fed by an element whose name (semantic, or semantic + index for a plain input with index
/// above 0; a mat4 input takes indices 0..3) matches and whose format class (integer or float)
/// agrees. Returns false and a reason otherwise.
bool resolveInputLayout(const std::vector<ShaderInput>& inputs, const InputElementDesc* elements,
                        unsigned count, std::vector<InputLayout::Attribute>& out, std::string& why);

/// The dialog that shows an effect error (caption, text); null shows none.
using ErrorBoxHook = void (*)(const std::wstring& caption, const std::wstring& text);

/// Directory of the running executable with its trailing '/'.
std::wstring executableDirectory();

/// Upper-cased extension of `fileName`: the text after the last '.' when that dot comes after
/// the last '/' or '\'; otherwise empty.
std::wstring fileExtension(const std::wstring& fileName);

class Effect {
public:
    /// The path is the executable's directory followed by `fileName`; nothing is loaded.
    explicit Effect(const std::wstring& fileName);
    virtual ~Effect();
    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;

    /// ".fx": parse and compile the source; ".cso": read the packed effect and create it; any
    /// other extension: "Unknown file extension". Then bindVariables(). Turns error boxes on.
    LoadStatus load();
    /// Looks up what the derived effect needs; called by Load after the effect was created.
    /// False at the first name that is missing (already reported).
    virtual bool bindVariables() { return true; }

    /// Each lookup reports a missing name and returns false.
    bool getTechnique(const std::string& name, EffectTechnique*& out);
    bool getPass(EffectTechnique* technique, const std::string& name, EffectPass*& out);
    bool getScalar(const std::string& name, EffectVariable*& out);
    bool getVector(const std::string& name, EffectVariable*& out);
    bool getMatrix(const std::string& name, EffectVariable*& out);
    bool getShaderResource(const std::string& name, EffectVariable*& out);
    /// Looks up the contract's variables (each by its kind), then its technique, then its passes,
    /// into the targets given in the same order (as many as the contract names); false at the
    /// first missing name, already reported.
    bool bindContract(const EffectContract& contract, std::span<EffectVariable** const> variables,
                      EffectTechnique*& technique, std::span<EffectPass** const> passes);

    /// Makes a layout for `pass` (kept in this effect's list until Release); on success counts
    /// it in `counter` when given. False (with a line on standard error) when the elements do
    /// not feed the pass's inputs.
    bool createInputLayout(EffectPass* pass, const InputElementDesc* elements, unsigned count,
                           InputLayout** layout, int* counter = nullptr);
    /// Releases every layout and the effect.
    void release();

    const std::wstring& path() const { return path_; }
    bool loaded() const { return bool(effect_); }
    void setShowErrorBoxes(bool show) { showErrorBoxes_ = show; }
    /// The dialog of this effect's errors (none by default).
    void setErrorBoxHook(ErrorBoxHook hook) { errorBox_ = hook; }

protected:
    /// Reports one failure: caption "Effect Error (" (load) or "Effect Compile Error ("
    /// (lookup), the file name without directory and ")".
    void reportError(bool lookup, const std::wstring& text) const;

private:
    bool getVariable(const std::string& name, VariableKind kind, const char* what,
                     EffectVariable*& out);
    bool createFromText(const std::string& text, bool packed);

    std::unique_ptr<CompiledEffect> effect_;
    std::wstring path_;
    bool showErrorBoxes_ = false;
    ErrorBoxHook errorBox_ = nullptr;
    std::vector<std::unique_ptr<InputLayout>> inputLayouts_;
};

}  // namespace ostrel::gl
