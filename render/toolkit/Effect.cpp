#include "render/toolkit/Effect.h"

#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cwctype>
#include <iostream>

#include "core/Console.h"
#include "core/ExecutablePath.h"

namespace ostrel::gl {

namespace {

std::wstring fileNameOnly(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

/// Reads a whole file as bytes; false when it cannot be opened or read completely.
bool readWhole(const std::wstring& path, std::string& bytes) {
    std::FILE* f = std::fopen(ostrel::toUtf8(path).c_str(), "rb");
    if (!f) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(size_t(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }
    std::fclose(f);
    return ok;
}

bool fileExists(const std::wstring& path) {
    return access(ostrel::toUtf8(path).c_str(), F_OK) == 0;
}

struct FormatInfo {
    GLint components;
    GLenum type;
    bool integer;
};
FormatInfo formatInfo(Format f) {
    switch (f) {
        case Format::R32G32B32_FLOAT: return {3, GL_FLOAT, false};
        case Format::R32G32B32A32_FLOAT: return {4, GL_FLOAT, false};
        case Format::R32_FLOAT: return {1, GL_FLOAT, false};
        case Format::R32_SINT: return {1, GL_INT, true};
        case Format::R32_UINT: return {1, GL_UNSIGNED_INT, true};
        case Format::R8_SINT: return {1, GL_BYTE, true};
    }
    return {1, GL_FLOAT, false};
}

}  // namespace

unsigned formatSize(Format f) {
    switch (f) {
        case Format::R32G32B32_FLOAT: return 12;
        case Format::R32G32B32A32_FLOAT: return 16;
        case Format::R8_SINT: return 1;
        default: return 4;
    }
}

std::wstring executableDirectory() { return ostrel::fromUtf8(ostrel::executableDirectory()); }

std::wstring fileExtension(const std::wstring& fileName) {
    const size_t dot = fileName.rfind(L'.');
    const size_t slash = fileName.find_last_of(L"/\\");
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return L"";
    std::wstring ext = fileName.substr(dot + 1);
    for (auto& c : ext) c = wchar_t(std::towupper(wint_t(c)));
    return ext;
}

InputLayout::InputLayout(std::vector<Attribute> attributes)
    : attributes_(std::move(attributes)), vao_(makeVertexArray()) {}

void InputLayout::bind(std::span<const VertexBufferBinding> slots) const {
    glBindVertexArray(vao_.get());
    for (const auto& a : attributes_) {
        const VertexBufferBinding b = a.slot < slots.size() ? slots[a.slot] : VertexBufferBinding{};
        glBindBuffer(GL_ARRAY_BUFFER, b.buffer);
        const auto* offset = reinterpret_cast<const void*>(uintptr_t(b.offset + a.offset));
        if (a.integer)
            glVertexAttribIPointer(a.location, a.components, a.type, GLsizei(b.stride), offset);
        else
            glVertexAttribPointer(a.location, a.components, a.type, GL_FALSE, GLsizei(b.stride),
                                  offset);
        glVertexAttribDivisor(a.location, a.divisor);
        glEnableVertexAttribArray(a.location);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

bool resolveInputLayout(const std::vector<ShaderInput>& inputs, const InputElementDesc* elements,
                        unsigned count, std::vector<InputLayout::Attribute>& out,
                        std::string& why) {
    out.clear();
    std::vector<unsigned> slotEnd(16, 0);
    std::vector<bool> fed(inputs.size(), false);
    for (unsigned e = 0; e < count; ++e) {
        const InputElementDesc& el = elements[e];
        if (!el.semanticName || el.inputSlot >= slotEnd.size()) {
            why = "element " + std::to_string(e) + " has no semantic or an input slot above 15";
            return false;
        }
        const unsigned offset = el.alignedByteOffset == kAppendAligned
                                    ? slotEnd[el.inputSlot]
                                    : el.alignedByteOffset;
        slotEnd[el.inputSlot] = offset + formatSize(el.format);
        const FormatInfo f = formatInfo(el.format);
        const std::string semantic = el.semanticName;
        for (size_t i = 0; i < inputs.size(); ++i) {
            const ShaderInput& in = inputs[i];
            GLint location = -1;
            if (in.locations > 1) {
                if (in.name == semantic && el.semanticIndex < unsigned(in.locations))
                    location = in.location + GLint(el.semanticIndex);
            } else if (in.name == (el.semanticIndex == 0 ? semantic
                                                         : semantic + std::to_string(el.semanticIndex))) {
                location = in.location;
            }
            if (location < 0) continue;
            if (in.integer != f.integer) {
                why = "input \"" + in.name + "\" is " + (in.integer ? "integer" : "float") +
                      " but element " + semantic + std::to_string(el.semanticIndex) + " is not";
                return false;
            }
            fed[i] = true;
            out.push_back({GLuint(location), f.components, f.type, f.integer, el.inputSlot, offset,
                           el.perInstance ? (el.instanceDataStepRate ? el.instanceDataStepRate : 1) : 0});
        }
    }
    // A mat4 input needs all four of its rows; every input needs an element.
    for (size_t i = 0; i < inputs.size(); ++i) {
        int rows = 0;
        for (const auto& a : out)
            if (a.location >= GLuint(inputs[i].location) &&
                a.location < GLuint(inputs[i].location + inputs[i].locations))
                ++rows;
        if (!fed[i] || rows < inputs[i].locations) {
            why = "the pass's input \"" + inputs[i].name + "\" is not fed by the layout";
            return false;
        }
    }
    return true;
}

Effect::Effect(const std::wstring& fileName) : path_(executableDirectory() + fileName) {}

Effect::~Effect() = default;

void Effect::reportError(bool lookup, const std::wstring& text) const {
    const std::wstring caption =
        std::wstring(lookup ? L"Effect Compile Error (" : L"Effect Error (") + fileNameOnly(path_) + L")";
    std::cerr << ostrel::toUtf8(caption) << "\n" << ostrel::toUtf8(text) << "\n" << std::flush;
    if (showErrorBoxes_ && errorBox_) errorBox_(caption, text);
}

LoadStatus Effect::load() {
    showErrorBoxes_ = true;
    effect_.reset();
    const std::wstring ext = fileExtension(path_);
    std::string bytes;
    bool created = false;
    if (ext == L"FX") {
        if (!fileExists(path_)) {
            reportError(false, L"Effect file \"" + path_ + L"\" not found");
            return LoadStatus::FileNotFound;
        }
        if (!readWhole(path_, bytes)) {
            reportError(false, L"Effect file \"" + path_ + L"\" could not be loaded");
            return LoadStatus::Failed;
        }
        created = createFromText(bytes, false);
    } else if (ext == L"CSO") {
        if (!readWhole(path_, bytes)) {
            reportError(false, L"Effect file \"" + path_ + L"\" could not be loaded");
            return LoadStatus::Failed;
        }
        created = createFromText(bytes, true);
    } else {
        reportError(false, L"Unknown file extension");
        return LoadStatus::Failed;
    }
    if (!created || !bindVariables()) return LoadStatus::Failed;
    return LoadStatus::Ok;
}

bool Effect::createFromText(const std::string& bytes, bool packed) {
    const std::string name = ostrel::toUtf8(fileNameOnly(path_));
    std::string text = bytes, error;
    EffectDescription description;
    if (packed) {
        // The build step checked this effect; damaged data or a driver that rejects it means
        // the effect cannot be created.
        if (!unpackEffect(bytes, text) || !parseEffect(text, name, description, error)) {
            reportError(false, L"Effect could not be created");
            return false;
        }
        effect_ = CompiledEffect::create(description, name, error);
        if (!effect_) {
            std::cerr << error << "\n";
            reportError(false, L"Effect could not be created");
            return false;
        }
        return true;
    }
    if (!parseEffect(text, name, description, error)) {
        reportError(false, ostrel::fromUtf8(error));
        return false;
    }
    effect_ = CompiledEffect::create(description, name, error);
    if (!effect_) {
        reportError(false, ostrel::fromUtf8(error));
        return false;
    }
    return true;
}

bool Effect::getTechnique(const std::string& name, EffectTechnique*& out) {
    out = effect_ ? effect_->getTechniqueByName(name) : nullptr;
    if (out) return true;
    reportError(true, L"Technique \"" + ostrel::fromUtf8(name) + L"\" not found");
    return false;
}

bool Effect::getPass(EffectTechnique* technique, const std::string& name, EffectPass*& out) {
    out = technique ? technique->getPassByName(name) : nullptr;
    if (out) return true;
    reportError(true, L"Pass \"" + ostrel::fromUtf8(name) + L"\" not found");
    return false;
}

bool Effect::getVariable(const std::string& name, VariableKind kind, const char* what,
                         EffectVariable*& out) {
    out = effect_ ? effect_->getVariableByName(name) : nullptr;
    if (out && out->kind() != kind) out = nullptr;
    if (out) return true;
    reportError(true, ostrel::fromUtf8(what) + L" variable \"" + ostrel::fromUtf8(name) +
                          L"\" not found");
    return false;
}

bool Effect::getScalar(const std::string& name, EffectVariable*& out) {
    return getVariable(name, VariableKind::Scalar, "Scalar", out);
}
bool Effect::getVector(const std::string& name, EffectVariable*& out) {
    return getVariable(name, VariableKind::Vector, "Vector", out);
}
bool Effect::getMatrix(const std::string& name, EffectVariable*& out) {
    return getVariable(name, VariableKind::Matrix, "Matrix", out);
}
bool Effect::getShaderResource(const std::string& name, EffectVariable*& out) {
    return getVariable(name, VariableKind::Texture, "Shader resource", out);
}

bool Effect::bindContract(const EffectContract& contract,
                          std::span<EffectVariable** const> variables, EffectTechnique*& technique,
                          std::span<EffectPass** const> passes) {
    assert(variables.size() == contract.variables.size() &&
           passes.size() == contract.passes.size());
    for (size_t i = 0; i < variables.size(); ++i) {
        const auto& [name, kind] = contract.variables[i];
        const char* what = kind == VariableKind::Matrix   ? "Matrix"
                           : kind == VariableKind::Vector ? "Vector"
                           : kind == VariableKind::Scalar ? "Scalar"
                                                          : "Shader resource";
        if (!getVariable(name, kind, what, *variables[i])) return false;
    }
    if (!getTechnique(contract.technique, technique)) return false;
    for (size_t i = 0; i < passes.size(); ++i)
        if (!getPass(technique, contract.passes[i], *passes[i])) return false;
    return true;
}

bool Effect::createInputLayout(EffectPass* pass, const InputElementDesc* elements,
                               unsigned count, InputLayout** layout, int* counter) {
    if (!pass || !layout) return false;
    std::vector<InputLayout::Attribute> attributes;
    std::string why;
    if (!resolveInputLayout(pass->inputSignature(), elements, count, attributes, why)) {
        std::cerr << ostrel::toUtf8(fileNameOnly(path_)) << ": input layout for pass \""
                  << pass->name() << "\": " << why << "\n";
        return false;
    }
    inputLayouts_.push_back(std::make_unique<InputLayout>(std::move(attributes)));
    *layout = inputLayouts_.back().get();
    if (counter) ++*counter;
    return true;
}

void Effect::release() {
    inputLayouts_.clear();
    effect_.reset();
}

}  // namespace ostrel::gl
