#include "scene/KeyValueFile.h"

#include <cstdio>
#include <fstream>

#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/InputFile.h"
#include "core/NumberText.h"

namespace ostrel {
namespace {

/// Blanks, tabs, carriage returns and other control characters are not graphic.
bool isGraphic(wchar_t c) { return !(c <= 0x20 || (c >= 0x7F && c <= 0xA0)); }

std::wstring trimmed(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && !isGraphic(text[begin])) ++begin;
    while (end > begin && !isGraphic(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

/// Single-byte text: each byte becomes one character (and back).
std::wstring widenBytes(const std::string& bytes) {
    std::wstring text(bytes.size(), L'\0');
    for (size_t i = 0; i < bytes.size(); ++i) text[i] = wchar_t(static_cast<unsigned char>(bytes[i]));
    return text;
}
std::string narrowBytes(const std::wstring& text) {
    std::string bytes(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = char(text[i] & 0xFF);
    return bytes;
}

void parseError(std::wostream* log, bool asError, const std::wstring& key) {
    writeLine(log, std::wstring(asError ? L"ERROR" : L"WARNING") + L": Could not parse entry " +
                 quoted(key));
}

bool scanValue(NumberScanner& in, double& value) { return in.read(value); }
bool scanValue(NumberScanner& in, float& value) { return in.read(value); }
bool scanValue(NumberScanner& in, int& value) { return in.read(value); }
/// The whole number 0 or 1.
bool scanValue(NumberScanner& in, bool& value) {
    long long whole;
    if (!in.read(whole) || (whole != 0 && whole != 1)) return false;
    value = whole == 1;
    return true;
}

/// Reads `count` values of T from the start of `text` (core/NumberText's NumberScanner); writes
/// `out` only on success.
template <typename T>
bool readNumbers(const std::wstring& text, T* out, int count) {
    NumberScanner in(scannableText(text));
    T parsed[16];
    for (int i = 0; i < count; ++i)
        if (!scanValue(in, parsed[i])) return false;
    for (int i = 0; i < count; ++i) out[i] = parsed[i];
    return true;
}

}  // namespace

std::wstring upperCaseKey(const std::wstring& key) { return upperCase(key); }

bool KeyValueFile::read(const std::wstring& fileName, std::wostream* log) {
    loaded_ = false;
    entries_.clear();
    index_.clear();

    if (!checkInputFile(fileName, log)) return false;
    std::ifstream file(toUtf8(fileName), std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        writeLine(log, L"ERROR: Cannot open file " + quoted(fileName));
        return false;
    }
    std::string bytes;
    int lineNumber = 0;
    while (std::getline(file, bytes)) {
        ++lineNumber;
        const std::wstring line = widenBytes(bytes);
        const size_t colon = line.find(L':');
        const std::wstring keyPart = colon == std::wstring::npos ? line : line.substr(0, colon);
        const std::vector<std::wstring> keyWords = blankSeparatedWords(keyPart);
        if (keyWords.empty()) continue;
        if (keyWords[0].compare(0, 2, L"//") == 0) continue;
        // A key part of several words, or a lone word with no colon and so no value.
        if (keyWords.size() > 1 || colon == std::wstring::npos) {
            writeLine(log, L"ERROR: Invalid key syntax in line " + std::to_wstring(lineNumber) +
                         L" of file " + quoted(fileName));
            return false;
        }
        const std::wstring key = upperCaseKey(keyWords[0]);
        const std::wstring value = trimmed(line.substr(colon + 1));
        auto found = index_.find(key);
        if (found != index_.end()) {
            entries_[found->second].second = value;
            writeLine(log, L"WARNING: Key " + quoted(key) + L" in line " + std::to_wstring(lineNumber) +
                         L" of file " + quoted(fileName) +
                         L" has already been specified. The old value has been overwritten.");
        } else {
            index_.emplace(key, entries_.size());
            entries_.emplace_back(key, value);
        }
    }
    if (!file.eof()) {
        writeLine(log, L"ERROR: Cannot read line " + std::to_wstring(lineNumber + 1) + L" of file " +
                     quoted(fileName));
        return false;
    }
    loaded_ = true;
    return true;
}

bool KeyValueFile::write(const std::wstring& fileName, std::wostream* log) const {
    std::string text;
    for (const Entry& entry : entries_)
        text += narrowBytes(entry.first) + ": " + narrowBytes(entry.second) + '\n';
    const AtomicWriteResult result = writeFileAtomically(toUtf8(fileName), text);
    if (!result)
        writeLine(log, L"ERROR: Cannot write file " + quoted(fileName) +
                           fromUtf8(result.reasonSuffix()));
    return bool(result);
}

long KeyValueFile::find(const std::wstring& key) const {
    auto found = index_.find(upperCaseKey(key));
    return found == index_.end() ? -1 : long(found->second);
}

const std::wstring* KeyValueFile::lookUp(const std::wstring& key, std::wostream* log,
                                         bool report) const {
    const long at = find(key);
    if (at < 0) {
        if (report) writeLine(log, L"ERROR: Entry " + quoted(key) + L" not found");
        return nullptr;
    }
    return &entries_[size_t(at)].second;
}

bool KeyValueFile::getString(const std::wstring& key, std::wstring& value, std::wostream* log,
                             bool optional) const {
    const std::wstring* found = lookUp(key, log, !optional);
    if (!found) return false;
    value = *found;
    return true;
}

bool KeyValueFile::setString(const std::wstring& key, const std::wstring& value) {
    const long at = find(key);
    if (at >= 0) {
        entries_[size_t(at)].second = value;
        return true;
    }
    const std::wstring upper = upperCaseKey(key);
    index_.emplace(upper, entries_.size());
    entries_.emplace_back(upper, value);
    return false;
}

bool KeyValueFile::remove(const std::wstring& key) {
    const long at = find(key);
    if (at < 0) return false;
    entries_.erase(entries_.begin() + at);
    index_.clear();
    for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
    return true;
}

bool KeyValueFile::getInt(const std::wstring& key, int& value, std::wostream* log) const {
    const std::wstring* text = lookUp(key, log, true);
    if (!text) return false;
    if (readNumbers(*text, &value, 1)) return true;
    parseError(log, true, key);
    return false;
}

bool KeyValueFile::getFloat(const std::wstring& key, float& value, std::wostream* log) const {
    const std::wstring* text = lookUp(key, log, false);
    if (!text) return false;
    if (readNumbers(*text, &value, 1)) return true;
    parseError(log, false, key);
    return false;
}

bool KeyValueFile::getFloat3(const std::wstring& key, Vec3f& value, std::wostream* log) const {
    const std::wstring* text = lookUp(key, log, false);
    if (!text) return false;
    float v[3];
    if (readNumbers(*text, v, 3)) {
        value = {v[0], v[1], v[2]};
        return true;
    }
    parseError(log, false, key);
    return false;
}

bool KeyValueFile::getMatrix4x4(const std::wstring& key, float (&value)[16],
                                std::wostream* log) const {
    const std::wstring* text = lookUp(key, log, false);
    if (!text) return false;
    if (readNumbers(*text, value, 16)) return true;
    parseError(log, false, key);
    return false;
}

bool KeyValueFile::getDouble(const std::wstring& key, double& value, std::wostream* log,
                             bool optional) const {
    const std::wstring* text = lookUp(key, log, !optional);
    if (!text) return false;
    if (readNumbers(*text, &value, 1)) return true;
    parseError(log, !optional, key);
    return false;
}

bool KeyValueFile::getDouble3(const std::wstring& key, Vec3d& value, std::wostream* log,
                              bool optional) const {
    const std::wstring* text = lookUp(key, log, !optional);
    if (!text) return false;
    double v[3];
    if (readNumbers(*text, v, 3)) {
        value = {v[0], v[1], v[2]};
        return true;
    }
    parseError(log, !optional, key);
    return false;
}

bool KeyValueFile::getBool(const std::wstring& key, bool& value, std::wostream* log) const {
    const std::wstring* text = lookUp(key, log, false);
    if (!text) return false;
    if (readNumbers(*text, &value, 1)) return true;
    parseError(log, false, key);
    return false;
}

}  // namespace ostrel
