#pragma once
// What the CUDA driver stand-in learns from a PTX module's text: each entry's parameter list
// (size and alignment of every parameter, in order) and launch bounds, and each module-scope
// .global variable's size. Only the declarations are read; instruction bodies are skipped.

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel::standin {

struct PtxParam {
    size_t bytes = 0;
    size_t alignment = 0;
};

struct PtxEntry {
    std::string name;
    std::vector<PtxParam> params;
    /// Largest block (threads, all dimensions together) the entry allows: .maxntid's or
    /// .reqntid's product; 0 when it declares neither.
    unsigned maxThreads = 0;
    /// The exact block .reqntid demands (x, y, z); all 0 when it demands none.
    unsigned requiredBlock[3] = {0, 0, 0};
};

struct PtxGlobal {
    std::string name;
    size_t bytes = 0;
    size_t alignment = 0;
    bool constant = false;  ///< in constant memory (.const)
};

struct PtxModule {
    std::vector<PtxEntry> entries;
    std::vector<PtxGlobal> globals;
    /// Empty when the text parsed; otherwise what was wrong, with its line.
    std::string error;

    const PtxEntry* entry(const std::string& name) const;
    const PtxGlobal* global(const std::string& name) const;
};

/// Reads the declarations of a PTX module. A text without a .version directive, or with an
/// entry or global it cannot read, gives a module whose error says so.
PtxModule parsePtx(const std::string& text);

}  // namespace ostrel::standin
