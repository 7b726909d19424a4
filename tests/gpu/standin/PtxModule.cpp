#include "PtxModule.h"

#include <cctype>
#include <cstdlib>
#include <map>

namespace ostrel::standin {

namespace {

// Bytes of a PTX fundamental type (.u32, .f64, .b8, ...); 0 for anything else.
size_t typeBytes(const std::string& type) {
    static const std::map<std::string, size_t> sizes = {
        {".b8", 1},  {".u8", 1},  {".s8", 1},  {".pred", 1}, {".b16", 2}, {".u16", 2},
        {".s16", 2}, {".f16", 2}, {".bf16", 2}, {".b32", 4}, {".u32", 4}, {".s32", 4},
        {".f32", 4}, {".f16x2", 4}, {".bf16x2", 4}, {".b64", 8}, {".u64", 8}, {".s64", 8},
        {".f64", 8}, {".b128", 16}};
    auto it = sizes.find(type);
    return it == sizes.end() ? 0 : it->second;
}

// The text's tokens at brace depth 0 with their lines: names and directives, numbers,
// and the punctuation ( ) [ ] , ; = as tokens of their own. Comments and bodies are dropped;
// a body's place is kept as the token "{}".
struct Token {
    std::string text;
    int line;
};

std::vector<Token> tokenize(const std::string& s) {
    std::vector<Token> tokens;
    int line = 1, depth = 0;
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            i += 2;
            while (i + 1 < s.size() && !(s[i] == '*' && s[i + 1] == '/')) line += s[i++] == '\n';
            i += 2;
        } else if (c == '"') {  // strings (in .file directives) may hold braces
            ++i;
            while (i < s.size() && s[i] != '"') line += s[i++] == '\n';
            ++i;
        } else if (c == '{') {
            if (depth++ == 0) tokens.push_back({"{}", line});
            ++i;
        } else if (c == '}') {
            --depth;
            ++i;
        } else if (depth > 0 || std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (std::string("()[],;=").find(c) != std::string::npos) {
            tokens.push_back({std::string(1, c), line});
            ++i;
        } else {
            size_t j = i;
            while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j])) &&
                   std::string("()[],;={}\"/").find(s[j]) == std::string::npos)
                ++j;
            if (j == i) j = i + 1;
            tokens.push_back({s.substr(i, j - i), line});
            i = j;
        }
    }
    return tokens;
}

bool isNumber(const std::string& t) {
    return !t.empty() && std::isdigit(static_cast<unsigned char>(t[0]));
}

// A variable declaration from `i`: state-space and qualifier directives, alignment, type,
// name, array dimensions; stops at `,` `)` `;` or `=`. Returns false when it is not one.
struct Variable {
    std::string name;
    size_t bytes = 0, alignment = 0;
};
bool readVariable(const std::vector<Token>& t, size_t& i, Variable& v) {
    size_t element = 0, align = 0;
    while (i < t.size() && !t[i].text.empty() && t[i].text[0] == '.') {
        const std::string& d = t[i].text;
        if (d == ".align") {
            if (i + 1 >= t.size() || !isNumber(t[i + 1].text)) return false;
            // A pointer's own .align (".ptr .global .align 8") is what it points at, not its own.
            if (element == 0) align = std::strtoul(t[i + 1].text.c_str(), nullptr, 10);
            i += 2;
            continue;
        }
        if (size_t b = typeBytes(d)) element = b;
        ++i;
    }
    if (element == 0 || i >= t.size()) return false;
    v.name = t[i++].text;
    size_t count = 1;
    while (i + 2 < t.size() && t[i].text == "[") {
        if (t[i + 1].text == "]") {  // sized by its initializer: not needed here
            count = 0;
            i += 2;
            continue;
        }
        if (!isNumber(t[i + 1].text) || t[i + 2].text != "]") return false;
        count *= std::strtoull(t[i + 1].text.c_str(), nullptr, 10);
        i += 3;
    }
    v.bytes = element * count;
    v.alignment = align ? align : element;
    return true;
}

// The numbers of a launch-bound directive (.maxntid 128, 1, 1).
std::vector<unsigned> readNumbers(const std::vector<Token>& t, size_t& i) {
    std::vector<unsigned> n;
    while (i < t.size() && isNumber(t[i].text)) {
        n.push_back(unsigned(std::strtoul(t[i].text.c_str(), nullptr, 0)));
        ++i;
        if (i < t.size() && t[i].text == ",") ++i;
    }
    return n;
}

}  // namespace

const PtxEntry* PtxModule::entry(const std::string& name) const {
    for (const PtxEntry& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

const PtxGlobal* PtxModule::global(const std::string& name) const {
    for (const PtxGlobal& g : globals)
        if (g.name == name) return &g;
    return nullptr;
}

PtxModule parsePtx(const std::string& text) {
    PtxModule m;
    const std::vector<Token> t = tokenize(text);
    auto fail = [&](int line, const std::string& what) {
        m.error = "line " + std::to_string(line) + ": " + what;
        return m;
    };
    bool version = false;
    for (size_t i = 0; i < t.size();) {
        const std::string& w = t[i].text;
        if (w == ".version") {
            version = true;
            ++i;
        } else if (w == ".entry") {
            if (i + 2 >= t.size() || t[i + 2].text != "(")
                return fail(t[i].line, "an entry without a parameter list");
            PtxEntry e;
            e.name = t[i + 1].text;
            const int line = t[i].line;
            i += 3;
            while (i < t.size() && t[i].text != ")") {
                if (t[i].text != ".param") return fail(t[i].line, "a parameter of " + e.name);
                ++i;
                Variable v;
                if (!readVariable(t, i, v)) return fail(t[i - 1].line, "a parameter of " + e.name);
                e.params.push_back({v.bytes, v.alignment});
                if (i < t.size() && t[i].text == ",") ++i;
            }
            if (i >= t.size()) return fail(line, "the parameter list of " + e.name + " is not closed");
            ++i;
            // Performance directives up to the body (or the ';' of a declaration).
            while (i < t.size() && t[i].text != "{}" && t[i].text != ";") {
                const std::string d = t[i++].text;
                std::vector<unsigned> n = readNumbers(t, i);
                unsigned product = 1;
                for (unsigned x : n) product *= x;
                if (d == ".maxntid" && !n.empty()) e.maxThreads = product;
                if (d == ".reqntid" && !n.empty()) {
                    e.maxThreads = product;
                    for (size_t k = 0; k < 3; ++k) e.requiredBlock[k] = k < n.size() ? n[k] : 1;
                }
            }
            if (!m.entry(e.name)) m.entries.push_back(e);
        } else if (w == ".global" || w == ".const") {
            Variable v;
            size_t j = i;
            if (!readVariable(t, j, v)) return fail(t[i].line, "a " + w + " variable");
            m.globals.push_back({v.name, v.bytes, v.alignment, w == ".const"});
            i = j;
        } else if (w == ".func") {
            // A device function's declaration: its return and parameter lists hold .param
            // declarations that are not an entry's; skip to its body or ';'.
            while (i < t.size() && t[i].text != "{}" && t[i].text != ";") ++i;
        } else {
            ++i;
        }
    }
    if (!version) m.error = "no .version directive: not a PTX module";
    return m;
}

}  // namespace ostrel::standin
