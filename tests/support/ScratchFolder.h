#pragma once
// A scratch folder for tests that write files, and small readers for what they wrote.
//
// ScratchFolder makes a fresh, uniquely named folder under the system's temporary folder
// (mkdtemp, so parallel test processes never share one) and removes it with everything in it
// when it goes out of scope. Before removing, it gives the owner full rights on the folder and
// on everything below it, so a test that made a file or folder read-only still cleans up.

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace ostrel::testing {

class ScratchFolder {
public:
    /// Makes "<temp>/ostrel-<name>-XXXXXX"; throws std::system_error when that fails.
    explicit ScratchFolder(const std::string& name) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("ostrel-" + name + "-XXXXXX")).string();
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        path_ = pattern;
    }
    ~ScratchFolder() {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        // Each folder is opened up when the walk reaches it, before the walk descends into it.
        for (auto it = fs::recursive_directory_iterator(
                 path_, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code ignored;
            if (!it->is_symlink(ignored))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }
    /// The lines of the file `name` in this folder, without their line ends.
    std::vector<std::string> lines(const std::filesystem::path& name) const;

private:
    std::filesystem::path path_;
};

/// The whole file as bytes; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The lines of a text file without their line ends; empty when it cannot be read.
inline std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

inline std::vector<std::string> ScratchFolder::lines(const std::filesystem::path& name) const {
    return readLines(path_ / name);
}

}  // namespace ostrel::testing
