#pragma once
// Line-oriented "KEY: value" configuration files (the scene file format).
//
// Keys are upper-cased (towupper per character) on reading, insertion and every look-up, so
// look-ups are case-insensitive. Entries keep the order in which each key first appeared; a
// later value for the same key replaces the old one in place. Files are single-byte text: each
// byte is one character. Lines starting with "//" are comments; blank lines are ignored.
// Every diagnostic is one line on the caller's optional wide message stream.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "geometry/Vec3.h"

namespace ostrel {

class KeyValueFile {
public:
    using Entry = std::pair<std::wstring, std::wstring>;

    /// Replaces the contents with the file's entries. Clears entries and the loaded flag first,
    /// whatever the outcome; a failed read keeps the entries before the failing line.
    bool read(const std::wstring& fileName, std::wostream* log);

    /// Writes "KEY: value" lines in entry order. The file is replaced atomically: it is written
    /// to a temporary file beside it and renamed, so a failed write leaves the old file intact.
    bool write(const std::wstring& fileName, std::wostream* log) const;

    /// true if the key exists (value copied to `value`). A missing key prints the missing-entry
    /// error unless `optional` is set.
    bool getString(const std::wstring& key, std::wstring& value, std::wostream* log,
                   bool optional = false) const;

    /// Appends a new entry (returns false) or replaces the value of an existing one (true).
    bool setString(const std::wstring& key, const std::wstring& value);

    /// Removes the entry; true if it existed. Silent.
    bool remove(const std::wstring& key);

    // Typed getters: true if the key exists and every number parsed. The numbers are read from
    // the start of the value as core/NumberText's NumberScanner reads them: blanks before each
    // are skipped, text after the last number is ignored (a unit word does no harm), and a whole
    // number stops at a decimal point (3.7 reads as 3). The target is written only on success,
    // so callers preset their defaults.
    bool getInt(const std::wstring& key, int& value, std::wostream* log) const;
    bool getFloat(const std::wstring& key, float& value, std::wostream* log) const;
    bool getFloat3(const std::wstring& key, Vec3f& value, std::wostream* log) const;
    /// Sixteen reals, row by row.
    bool getMatrix4x4(const std::wstring& key, float (&value)[16], std::wostream* log) const;
    bool getDouble(const std::wstring& key, double& value, std::wostream* log,
                   bool optional = false) const;
    bool getDouble3(const std::wstring& key, Vec3d& value, std::wostream* log,
                    bool optional = false) const;
    /// The integer 0 or 1; words such as "true" do not parse.
    bool getBool(const std::wstring& key, bool& value, std::wostream* log) const;

    bool isLoaded() const { return loaded_; }
    const std::vector<Entry>& entries() const { return entries_; }

private:
    /// Index into entries_ of the key (any letter case), or -1.
    long find(const std::wstring& key) const;
    /// Looks up the value for a typed getter; prints the missing-entry error when `report`.
    const std::wstring* lookUp(const std::wstring& key, std::wostream* log, bool report) const;

    bool loaded_ = false;
    std::vector<Entry> entries_;
    std::map<std::wstring, size_t> index_;
};

/// The key in the stored (upper-case) form.
std::wstring upperCaseKey(const std::wstring& key);

}  // namespace ostrel
