// Every external program that Ostrel's build, tools, tests, scripts and benchmarks run comes from
// a Debian package in scripts/setup's PACKAGES list (or from the base system every Debian
// machine has). The table below names each program's package. The test
//   (a) checks that every package of the table is in the PACKAGES list,
//   (b) scans the sources for the programs they run (shell scripts, Python scripts, C++ calls of
//       shell(), popen(), system() and the dialogs' process spawns, CMake's COMMAND and
//       find_program) and checks that each is in the table, and that each row is still used,
//   (c) where dpkg is available, checks that the program installed here comes from the package.
// A program that slips in without its package (a screenshot through ImageMagick's import, say)
// fails (b) with the files that run it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel {
namespace {

namespace fs = std::filesystem;
const fs::path kSource = OSTREL_SOURCE_DIR;

enum class Origin {
    Setup,    ///< a package of scripts/setup's PACKAGES list
    Base,     ///< part of every Debian system (Essential or Priority: required)
    NotRoot,  ///< only used when scripts/setup is not run as root
    Optional, ///< used when present (looked up with command -v); the script works without it
    Cuda,     ///< the CUDA toolkit or driver, only on a machine with a GPU (not a Debian package)
};

struct ProgramRow {
    const char* program;
    const char* package;  ///< the package that brings it (for Origin::Cuda: what it is)
    Origin origin;
    /// Another package that really holds the file, pulled in by `package` (empty: the same).
    const char* owner = "";
};

// The one table: program -> Debian package.
const ProgramRow kPrograms[] = {
    // Build
    {"cmake", "cmake", Origin::Setup},
    {"ninja", "ninja-build", Origin::Setup},
    {"ctest", "cmake", Origin::Setup},
    {"glslangValidator", "glslang-tools", Origin::Setup},
    {"clang", "clang", Origin::Setup, "clang-14"},
    {"clang++", "clang", Origin::Setup, "clang-14"},
    // Window, dialogs and window tests
    {"zenity", "zenity", Origin::Setup},
    {"xdotool", "xdotool", Origin::Setup},
    {"Xvfb", "xvfb", Origin::Setup},
    {"xvfb-run", "xvfb", Origin::Setup},
    // Scripts and tests
    {"python3", "python3", Origin::Setup, "python3-minimal"},
    {"prlimit", "util-linux", Origin::Setup},
    // The many-process engine's tests
    {"mpirun", "openmpi-bin", Origin::Setup},
    // Setting up
    {"apt-get", "apt", Origin::Base},
    {"dpkg", "dpkg", Origin::Base},
    {"dpkg-query", "dpkg", Origin::Base},
    {"sudo", "sudo", Origin::NotRoot},
    // The base system
    {"bash", "bash", Origin::Base},
    {"awk", "mawk", Origin::Base},
    {"cat", "coreutils", Origin::Base},
    {"cp", "coreutils", Origin::Base},
    {"date", "coreutils", Origin::Base},
    {"dirname", "coreutils", Origin::Base},
    {"basename", "coreutils", Origin::Base},
    {"env", "coreutils", Origin::Base},
    {"head", "coreutils", Origin::Base},
    {"id", "coreutils", Origin::Base},
    {"ls", "coreutils", Origin::Base},
    {"mkdir", "coreutils", Origin::Base},
    {"mktemp", "coreutils", Origin::Base},
    {"mv", "coreutils", Origin::Base},
    {"nproc", "coreutils", Origin::Base},
    {"rm", "coreutils", Origin::Base},
    {"seq", "coreutils", Origin::Base},
    {"sleep", "coreutils", Origin::Base},
    {"tail", "coreutils", Origin::Base},
    {"timeout", "coreutils", Origin::Base},
    {"tr", "coreutils", Origin::Base},
    {"wc", "coreutils", Origin::Base},
    {"find", "findutils", Origin::Base},
    {"cmp", "diffutils", Origin::Base},
    {"diff", "diffutils", Origin::Base},
    {"grep", "grep", Origin::Base},
    {"sed", "sed", Origin::Base},
    {"chmod", "coreutils", Origin::Base},
    {"cut", "coreutils", Origin::Base},
    {"du", "coreutils", Origin::Base},
    {"sort", "coreutils", Origin::Base},
    {"stat", "coreutils", Origin::Base},
    {"getconf", "libc-bin", Origin::Base},
    {"ldd", "libc-bin", Origin::Base},
    // Used when there: the GPU bundle's commit and its compiler cache
    {"git", "git", Origin::Optional},
    {"ccache", "ccache", Origin::Optional},
    // The GPU check
    {"nvcc", "the CUDA toolkit", Origin::Cuda},
    {"ptxas", "the CUDA toolkit", Origin::Cuda},
    {"nvidia-smi", "the NVIDIA driver", Origin::Cuda},
};

// ---- reading the sources ----

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The programs a shell command text runs, added to `found`. Heredoc bodies, comments,
/// variables, paths (the project's own scripts and programs), the script's functions, the
/// shell's builtins and keywords are passed over; `command -v A B` looks A and B up, and the
/// programs that run another one (timeout, env, xvfb-run, sudo) are followed to it.
class ShellScanner {
public:
    explicit ShellScanner(std::set<std::string> functions) : functions_(std::move(functions)) {}

    void scanScript(const std::string& text, std::set<std::string>& found) {
        std::istringstream in(text);
        std::string logical, line;
        std::string heredocEnd;
        std::vector<Token> tokens;
        const std::regex heredoc("(^|[^<])<<-?[ \t]*['\"]?([A-Za-z_][A-Za-z0-9_]*)['\"]?");
        while (std::getline(in, line)) {
            if (!heredocEnd.empty()) {
                const size_t first = line.find_first_not_of(" \t");
                if (first != std::string::npos && line.substr(first) == heredocEnd)
                    heredocEnd.clear();
                continue;
            }
            // A quoted word that goes on over the next lines (an awk or Python program).
            if (endsInsideQuote(logical + line)) {
                logical += line + "\n";
                continue;
            }
            std::smatch m;
            if (std::regex_search(line, m, heredoc)) heredocEnd = m[2];
            if (!line.empty() && line.back() == '\\') {
                logical += line.substr(0, line.size() - 1) + " ";
                continue;
            }
            tokenize(logical + line, tokens, found);
            tokens.push_back({true, "newline"});
            logical.clear();
        }
        tokenize(logical, tokens, found);
        walk(tokens, found);
    }

    /// One command line (or several joined by operators).
    void scanCommand(const std::string& text, std::set<std::string>& found) {
        std::vector<Token> tokens;
        tokenize(text, tokens, found);
        walk(tokens, found);
    }

private:
    struct Token {
        bool op;
        std::string text;
    };

    /// Whether a quote opened in `s` is still open at its end (comments count for nothing).
    static bool endsInsideQuote(const std::string& s) {
        char quote = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            const char c = s[i];
            if (quote) {
                if (c == quote) quote = 0;
                else if (c == '\\' && quote == '"') ++i;
            } else if (c == '\\') {
                ++i;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '#' && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '\t' ||
                                    s[i - 1] == '\n')) {
                while (i < s.size() && s[i] != '\n') ++i;
            }
        }
        return quote != 0;
    }

    /// Index just past the parenthesis that closes the one opened before `i`.
    static size_t closingParen(const std::string& s, size_t i) {
        int depth = 1;
        char quote = 0;
        for (; i < s.size(); ++i) {
            const char c = s[i];
            if (quote) {
                if (c == quote) quote = 0;
                else if (c == '\\' && quote == '"') ++i;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '\\') {
                ++i;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                return i + 1;
            }
        }
        return s.size();
    }

    void tokenize(const std::string& s, std::vector<Token>& tokens, std::set<std::string>& found) {
        std::string word;
        bool inWord = false;
        auto endWord = [&] {
            if (inWord) tokens.push_back({false, word});
            word.clear();
            inWord = false;
        };
        size_t i = 0;
        char quote = 0;
        while (i < s.size()) {
            const char c = s[i];
            // Command substitutions run commands of their own, also inside double quotes.
            if (quote != '\'' && c == '$' && i + 1 < s.size() && s[i + 1] == '(') {
                const bool arithmetic = i + 2 < s.size() && s[i + 2] == '(';
                const size_t end = closingParen(s, i + 2);
                if (!arithmetic) scanCommand(s.substr(i + 2, end - 1 - (i + 2)), found);
                word += "$()";
                inWord = true;
                i = end;
                continue;
            }
            if (quote != '\'' && c == '$' && i + 1 < s.size() && s[i + 1] == '{') {
                const size_t end = s.find('}', i + 2);
                word += "${}";
                inWord = true;
                i = end == std::string::npos ? s.size() : end + 1;
                continue;
            }
            if (quote != '\'' && c == '`') {
                const size_t end = s.find('`', i + 1);
                scanCommand(s.substr(i + 1, end == std::string::npos ? std::string::npos
                                                                       : end - i - 1),
                            found);
                word += "$()";
                inWord = true;
                i = end == std::string::npos ? s.size() : end + 1;
                continue;
            }
            if (quote) {
                if (c == quote) quote = 0;
                else if (c == '\\' && quote == '"' && i + 1 < s.size()) word += s[++i];
                else word += c;
                ++i;
                continue;
            }
            if (c == '\'' || c == '"') {
                quote = c;
                inWord = true;
                word += c == '"' ? "\"" : "'";  // a quoted word is no plain name
                ++i;
                continue;
            }
            if (c == '#' && !inWord) break;  // a comment
            if (c == ' ' || c == '\t') {
                endWord();
                ++i;
                continue;
            }
            if (c == '\\' && i + 1 < s.size()) {
                word += s[i + 1];
                inWord = true;
                i += 2;
                continue;
            }
            // Redirections: "2>&1", "> file", "5<> <(:)", "<<< text"; their target is no command.
            const bool digitsSoFar =
                inWord && std::all_of(word.begin(), word.end(), [](char d) { return std::isdigit(d); });
            if ((c == '>' || c == '<') && (!inWord || digitsSoFar)) {
                word.clear();
                inWord = false;
                size_t j = i;
                while (j < s.size() && (s[j] == '>' || s[j] == '<' || s[j] == '&')) ++j;
                if (s[j - 1] == '<' && j < s.size() && s[j] == '(') {  // process substitution
                    const size_t end = closingParen(s, j + 1);
                    scanCommand(s.substr(j + 1, end - 1 - (j + 1)), found);
                    tokens.push_back({false, "$()"});
                    i = end;
                    continue;
                }
                // "2>&1" names its target itself; "> file" has it in the next word.
                const bool duplicate = s[j - 1] == '&' && j < s.size() &&
                                       std::isdigit(static_cast<unsigned char>(s[j]));
                while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
                tokens.push_back({true, duplicate ? "redirected" : "redirect"});
                i = j;
                continue;
            }
            if (c == '(' && i + 1 < s.size() && s[i + 1] == '(' && !inWord) {  // (( arithmetic ))
                const size_t end = s.find("))", i + 2);
                tokens.push_back({true, "(("});
                i = end == std::string::npos ? s.size() : end + 2;
                continue;
            }
            if (c == '|' || c == '&' || c == ';' || c == '(' || c == ')') {
                endWord();
                std::string op(1, c);
                if (i + 1 < s.size() && (c == '|' || c == '&' || c == ';') && s[i + 1] == c)
                    op += c;
                tokens.push_back({true, op});
                i += op.size();
                continue;
            }
            word += c;
            inWord = true;
            ++i;
        }
        endWord();
    }

    bool isPlainName(const std::string& w) const {
        static const std::regex name("[A-Za-z][A-Za-z0-9_.+-]*");
        return std::regex_match(w, name);
    }

    void walk(const std::vector<Token>& tokens, std::set<std::string>& found) {
        static const std::set<std::string> kKeywords = {"if", "then", "else", "elif", "do",
                                                        "while", "until", "!", "time", "{",
                                                        "}", "exec", "fi", "done", "esac"};
        static const std::set<std::string> kBuiltins = {
            "cd", "echo", "printf", "exit", "return", "set", "unset", "export", "local", "read",
            "shift", "trap", "wait", "kill", "eval", "source", ".", "test", "[", "[[", "true",
            "false", ":", "break", "continue", "declare", "readonly", "type", "hash",
            "getopts", "let", "ulimit", "umask", "pushd", "popd", "alias", "mapfile", "pwd"};
        bool expect = true;       // the next word stands where a command stands
        bool pattern = false;     // inside a case statement's pattern
        bool caseHead = false;    // between "case" and "in"
        bool skipToOp = false;    // the words of a for loop's head, of [[ ]] and [ ]
        std::string closing;      // "]]" or "]" while skipping a test
        int wrapper = 0;          // 1: after timeout (its duration follows), 2: after env etc.
        for (size_t k = 0; k < tokens.size(); ++k) {
            const Token& t = tokens[k];
            if (t.op) {
                if (t.text == "redirect" || t.text == "redirected") {
                    if (t.text == "redirect") ++k;  // its target
                    continue;
                }
                if (t.text == ")" && pattern) {
                    pattern = false;
                    expect = true;
                    continue;
                }
                if (pattern || caseHead) continue;  // "a | b)" and line ends in a case head
                if (t.text == ";;") pattern = true;
                if (!closing.empty()) {
                    if (t.text == "&&" || t.text == "||") continue;  // inside [[ ]]
                }
                skipToOp = false;
                if (t.text != "((" && t.text != ")") expect = true;
                if (t.text == "((") expect = false;
                continue;
            }
            const std::string& w = t.text;
            if (!closing.empty()) {
                if (w == closing) closing.clear();
                continue;
            }
            if (caseHead) {
                if (w == "in") caseHead = false, pattern = true;
                continue;
            }
            if (pattern) {
                if (w == "esac") pattern = false;
                continue;
            }
            if (skipToOp) continue;
            if (!expect) continue;
            if (w == "case") {
                caseHead = true;
                continue;
            }
            if (w == "for" || w == "select") {
                skipToOp = true;
                continue;
            }
            if (w == "[[" || w == "[") {
                closing = w == "[[" ? "]]" : "]";
                expect = false;
                continue;
            }
            if (kKeywords.count(w)) continue;
            const size_t eq = w.find('=');
            if (eq != std::string::npos && eq > 0 &&
                isPlainName(w.substr(0, w[eq - 1] == '+' ? eq - 1 : eq))) {
                // A program kept in a variable (SUDO="sudo") runs where the variable stands;
                // CC and CXX name the compilers a build uses.
                const std::string name = w.substr(0, eq), value = unquoted(w.substr(eq + 1));
                if (isPlainName(value)) {
                    if (name == "CC" || name == "CXX") found.insert(value);
                    variables_[name] = value;
                }
                // An assignment before the command; NAME=( ... ) is an array of words.
                if (eq + 1 == w.size() && k + 1 < tokens.size() && tokens[k + 1].op &&
                    tokens[k + 1].text == "(") {
                    k += 2;
                    while (k < tokens.size() && !(tokens[k].op && tokens[k].text == ")")) ++k;
                }
                continue;
            }
            if (wrapper == 1 && std::isdigit(static_cast<unsigned char>(w[0]))) {
                wrapper = 2;
                continue;
            }
            if (wrapper && w[0] == '-') {
                // xvfb-run's options with a value: -s "...", -n N, -e FILE, -f FILE
                if ((w == "-s" || w == "-n" || w == "-e" || w == "-f" || w == "-u") &&
                    k + 1 < tokens.size())
                    ++k;
                continue;
            }
            wrapper = 0;
            const std::string& command = programInVariable(w);
            // A function definition: name ( )
            if (k + 2 < tokens.size() && tokens[k + 1].op && tokens[k + 1].text == "(" &&
                tokens[k + 2].op && tokens[k + 2].text == ")") {
                k += 2;
                continue;
            }
            expect = false;
            if (w == "command") {
                // command -v A B ...: each name is looked up, so each is needed.
                size_t j = k + 1;
                bool lookup = false;
                for (; j < tokens.size() && !tokens[j].op && tokens[j].text[0] == '-'; ++j)
                    lookup = lookup || tokens[j].text == "-v";
                for (; lookup && j < tokens.size() && !tokens[j].op; ++j)
                    if (isPlainName(tokens[j].text)) found.insert(tokens[j].text);
                if (!lookup) expect = true;
                continue;
            }
            if (kBuiltins.count(command) || functions_.count(command) || !isPlainName(command))
                continue;
            found.insert(command);
            // cmake -G Ninja builds through ninja.
            if (command == "cmake")
                for (size_t j = k + 1; j + 1 < tokens.size() && !tokens[j].op; ++j)
                    if (tokens[j].text == "-G" && !tokens[j + 1].op &&
                        unquoted(tokens[j + 1].text).rfind("Ninja", 0) == 0)
                        found.insert("ninja");
            if (command == "timeout") wrapper = 1, expect = true;
            if (command == "env" || command == "xvfb-run" || command == "sudo" ||
                command == "nice")
                wrapper = 2, expect = true;
        }
    }

    static std::string unquoted(const std::string& w) {
        if (w.size() >= 1 && (w[0] == '"' || w[0] == '\'')) return w.substr(1);
        return w;
    }

    /// The program a word "$NAME" (or "${}" form) stands for when NAME was set to a program
    /// name before; otherwise the word itself.
    const std::string& programInVariable(const std::string& w) const {
        static const std::regex variable("\"?\\$([A-Za-z_][A-Za-z0-9_]*)");
        std::smatch m;
        if (std::regex_match(w, m, variable)) {
            const auto it = variables_.find(m[1]);
            if (it != variables_.end()) return it->second;
        }
        return w;
    }

    std::set<std::string> functions_;
    std::map<std::string, std::string> variables_;
};

/// The functions a shell script defines.
std::set<std::string> shellFunctions(const std::string& text) {
    std::set<std::string> names;
    const std::regex definition("(^|\\n)[ \\t]*(function[ \\t]+)?([A-Za-z_][A-Za-z0-9_-]*)[ \\t]*"
                                "\\([ \\t]*\\)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), definition);
         it != std::sregex_iterator(); ++it)
        names.insert((*it)[3]);
    return names;
}

enum class Kind { None, Shell, Python, Cpp, CMake };

Kind kindOf(const fs::path& file, const std::string& text) {
    const std::string name = file.filename().string(), ext = file.extension().string();
    if (name == "CMakeLists.txt" || ext == ".cmake") return Kind::CMake;
    if (ext == ".cpp" || ext == ".h" || ext == ".cu") return Kind::Cpp;
    if (ext == ".py") return Kind::Python;
    if (ext == ".sh") return Kind::Shell;
    if (text.rfind("#!", 0) == 0) {
        const std::string first = text.substr(0, text.find('\n'));
        if (first.find("python") != std::string::npos) return Kind::Python;
        if (first.find("sh") != std::string::npos) return Kind::Shell;
    }
    return Kind::None;
}

/// Program name of an absolute path to a system program ("/usr/bin/env": env).
std::string programOfPath(const std::string& path) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
        if (path.rfind(dir, 0) == 0) return path.substr(std::string(dir).size());
    return path;
}

/// Program -> the source files that run it.
std::map<std::string, std::set<std::string>> scanSources() {
    std::map<std::string, std::set<std::string>> uses;
    std::set<std::string> projectPrograms;
    std::vector<std::pair<fs::path, std::string>> files;
    const std::set<std::string> skipped = {".git", "build", "examples", "docs"};
    for (auto it = fs::recursive_directory_iterator(kSource); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() &&
            (skipped.count(name) || name.rfind("build", 0) == 0 || name.rfind("out", 0) == 0)) {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file()) continue;
        const std::string text = readText(it->path());
        if (kindOf(it->path(), text) == Kind::None) continue;
        files.emplace_back(it->path(), text);
        // The project's own programs run by the build and the tests.
        if (kindOf(it->path(), text) == Kind::CMake) {
            const std::regex executable("add_executable\\(\\s*([^\\s)]+)");
            for (auto m = std::sregex_iterator(text.begin(), text.end(), executable);
                 m != std::sregex_iterator(); ++m)
                projectPrograms.insert((*m)[1]);
        }
    }
    // The functions of the shell files that scripts source (no "#!" line) are known to every
    // script: a call of one runs no program.
    std::set<std::string> sourcedFunctions;
    for (const auto& [path, text] : files)
        if (kindOf(path, text) == Kind::Shell && text.rfind("#!", 0) != 0)
            sourcedFunctions.merge(shellFunctions(text));
    for (const auto& [path, text] : files) {
        std::set<std::string> found;
        switch (kindOf(path, text)) {
            case Kind::Shell: {
                std::set<std::string> known = shellFunctions(text);
                known.insert(sourcedFunctions.begin(), sourcedFunctions.end());
                ShellScanner(known).scanScript(text, found);
                break;
            }
            case Kind::Python: {
                const std::regex call("(subprocess\\.\\w+|os\\.system|os\\.popen)\\(\\s*\\[?\\s*"
                                      "\"([^\"]*)\"");
                for (auto m = std::sregex_iterator(text.begin(), text.end(), call);
                     m != std::sregex_iterator(); ++m) {
                    const std::string command = (*m)[2];
                    if ((*m)[1] == "subprocess.run" || std::string((*m)[1]).rfind("subprocess", 0) == 0)
                        found.insert(programOfPath(command.substr(0, command.find(' '))));
                    else
                        ShellScanner({}).scanCommand(command, found);
                }
                break;
            }
            case Kind::Cpp: {
                // Command texts given to a shell, and programs started by name.
                const std::regex shellText(
                    "(\\bshell|\\bpopen|\\bsystem|\\bcommand\\s*=)\\s*\\(?\\s*(std::string\\()?\"("
                    "(?:[^\"\\\\]|\\\\.)*)\"");
                for (auto m = std::sregex_iterator(text.begin(), text.end(), shellText);
                     m != std::sregex_iterator(); ++m)
                    ShellScanner({}).scanCommand((*m)[3], found);
                const std::regex started("(runProcess\\(\\{|findProgram\\(|Child [a-z]+\\(|"
                                         "Child\\()\\s*\"([^\"]+)\"");
                for (auto m = std::sregex_iterator(text.begin(), text.end(), started);
                     m != std::sregex_iterator(); ++m)
                    found.insert(programOfPath((*m)[2]));
                break;
            }
            case Kind::CMake: {
                const std::regex command("(COMMAND|find_program\\(\\s*\\w+)\\s+(NAMES\\s+)?"
                                         "([A-Za-z][A-Za-z0-9_.+-]*)");
                for (auto m = std::sregex_iterator(text.begin(), text.end(), command);
                     m != std::sregex_iterator(); ++m)
                    found.insert((*m)[3]);
                break;
            }
            case Kind::None: break;
        }
        for (const std::string& program : found)
            if (!projectPrograms.count(program))
                uses[program].insert(fs::relative(path, kSource).string());
    }
    return uses;
}

/// The PACKAGES list of scripts/setup.
std::set<std::string> setupPackages() {
    const std::string text = readText(kSource / "scripts" / "setup");
    const size_t start = text.find("PACKAGES=(");
    const size_t end = text.find(')', start);
    std::set<std::string> packages;
    if (start == std::string::npos || end == std::string::npos) return packages;
    std::istringstream in(text.substr(start + 10, end - start - 10));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        for (std::string word; words >> word;) packages.insert(word);
    }
    return packages;
}

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(ExternalPrograms, EveryPackageOfTheTableIsInTheSetupList) {
    const std::set<std::string> packages = setupPackages();
    ASSERT_GT(packages.size(), 10u) << "no PACKAGES list in scripts/setup";
    for (const ProgramRow& row : kPrograms) {
        if (row.origin != Origin::Setup) continue;
        EXPECT_TRUE(packages.count(row.package))
                << row.program << ": package " << row.package << " is not in scripts/setup";
    }
}

TEST(ExternalPrograms, EveryProgramTheSourcesRunIsInTheTable) {
    const std::map<std::string, std::set<std::string>> uses = scanSources();
    std::set<std::string> listed;
    for (const ProgramRow& row : kPrograms) listed.insert(row.program);
    for (const auto& [program, files] : uses) {
        std::string where;
        for (const std::string& f : files) where += (where.empty() ? "" : ", ") + f;
        EXPECT_TRUE(listed.count(program))
            << program << " is run by " << where
            << " but has no package in the table (and none in scripts/setup)";
    }
    // A row that nothing uses any more is stale.
    for (const ProgramRow& row : kPrograms)
        EXPECT_TRUE(uses.count(row.program)) << row.program << " is in the table, but no source runs it";
    // The scanner itself finds what it must: the window tests' programs.
    EXPECT_TRUE(uses.count("xdotool") && uses.at("xdotool").count("tests/app/test_editing_window.cpp"));
    EXPECT_TRUE(uses.count("zenity") && uses.at("zenity").count("framework/Dialogs.cpp"));
}

// The scanner on the forms the scripts use, and on what must not count as a program.
TEST(ExternalPrograms, ScannerFindsCommandsAndPassesOverTheRest) {
    struct Case {
        const char* text;
        std::set<std::string> programs;
    };
    const Case cases[] = {
        {"import -window $id png:x.png", {"import"}},
        {"a=1 b=2 convert x.png y.png | tail -1 && sort z", {"convert", "tail", "sort"}},
        {"x=$(identify -format %w a.png)", {"identify"}},
        {"echo \"$(cat \"$f\" | wc -l) lines\"", {"cat", "wc"}},
        {"timeout 60 xdotool search --sync", {"timeout", "xdotool"}},
        {"cmake -S . -B b -G Ninja -DX=1", {"cmake", "ninja"}},
        {"xvfb-run -a -s \"-screen 0 1x1x24\" glxinfo", {"xvfb-run", "glxinfo"}},
        {"command -v xdotool zenity > /dev/null", {"xdotool", "zenity"}},
        {"\"$OSTREL\" -x 2>&1 | grep -q y; scripts/make-mesh box", {"grep"}},
        {"[[ -n \"$X\" ]] && kill $P || rm -f a", {"rm"}},
        {"while ! pgrep -x Xvfb; do sleep 1; done", {"pgrep", "sleep"}},
        {"case \"$1\" in -h | --help) sed -n 1p \"$0\" ;; start) ;; esac", {"sed"}},
        {"exec 5<> <(:)", {}},
        {"read -r w h <<<\"$(png_check a 0 0 1 1)\"", {"png_check"}},
        {"# convert in a comment", {}},
        {"for x in a b; do tr a b; done", {"tr"}},
        {"((SECONDS < deadline)) || fail \"no window\"", {}},
    };
    for (const Case& c : cases) {
        std::set<std::string> found;
        ShellScanner({"fail"}).scanCommand(c.text, found);
        EXPECT_EQ(found, c.programs) << c.text;
    }
    std::set<std::string> found;
    ShellScanner({}).scanScript("cat > f <<'EOF'\nv 0 0 0\nf 1 2 3\nEOF\npython3 - <<'PY'\n"
                                "import struct\nPY\nsed \\\n  -n 1p x\n"
                                "awk '\n  BEGIN { worst = 0 }\n  { print $1 }' f\n"
                                "python3 -c 'import sys\nsys.exit(0)' || tail -1 x\n",
                                found);
    EXPECT_EQ(found, (std::set<std::string>{"awk", "cat", "python3", "sed", "tail"}));
}

// ---- (c) the installed programs against their packages ----

/// The standard output of a shell command, or nothing when it failed.
std::optional<std::string> shell(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return text;
}

/// The package that dpkg says holds `file` (tried as given and in its /bin <-> /usr/bin twin,
/// as the merged /usr keeps one of the two names in dpkg's lists).
std::optional<std::string> owner(const fs::path& file) {
    std::vector<std::string> names = {file.string()};
    const std::string s = file.string();
    if (s.rfind("/usr/bin/", 0) == 0) names.push_back("/bin/" + s.substr(9));
    if (s.rfind("/bin/", 0) == 0) names.push_back("/usr/bin/" + s.substr(5));
    if (s.rfind("/usr/sbin/", 0) == 0) names.push_back("/sbin/" + s.substr(10));
    for (const std::string& name : names)
        if (const auto text = shell("dpkg -S '" + name + "' 2>/dev/null"))
            return text->substr(0, text->find(':'));
    return std::nullopt;
}

/// Where PATH finds `program`, or nothing.
std::optional<fs::path> onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / program;
        if (::access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate))
            return candidate;
    }
    return std::nullopt;
}

TEST(ExternalPrograms, InstalledProgramsComeFromTheirPackages) {
    if (!shell("dpkg-query --version > /dev/null 2>&1")) GTEST_SKIP() << "no dpkg here";
    for (const ProgramRow& row : kPrograms) {
        if (row.origin == Origin::Cuda) continue;
        const std::optional<fs::path> found = onPath(row.program);
        if (!found) continue;  // not installed here: nothing to compare
        // The copy on PATH, the file it links to, and the distribution's copy when the PATH
        // finds one installed by hand first (a Python environment, /usr/local).
        std::vector<fs::path> candidates = {*found, fs::canonical(*found)};
        for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
            candidates.push_back(fs::path(dir) / row.program);
        std::optional<std::string> package;
        for (const fs::path& c : candidates) {
            std::error_code ec;
            if (!fs::exists(c, ec)) continue;
            package = owner(c);
            if (!package) package = owner(fs::canonical(c, ec));
            if (package) break;
        }
        if (!package) {
            // Only a local copy: the table still names the package CI installs.
            std::cout << row.program << ": " << found->string() << " belongs to no package\n";
            continue;
        }
        const std::string expected = *row.owner ? row.owner : row.package;
        // Versioned packages (clang-14 for clang) are accepted by their stem.
        EXPECT_TRUE(*package == row.package || *package == expected ||
                    lower(*package).rfind(lower(row.package) + "-", 0) == 0)
            << row.program << " (" << found->string() << ") comes from " << *package << ", not "
            << row.package;
    }
}

}  // namespace
}  // namespace ostrel
