#include "app/SaveDialog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ostream>

#include "core/Console.h"
#include "framework/Dialogs.h"

extern char** environ;

namespace ostrel {

namespace {

std::string trimLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

ZenitySaveDialog::ZenitySaveDialog(SaveDialogOptions options)
    : options_(std::move(options)), log_(options_.log ? options_.log : &wideOut()) {}

ZenitySaveDialog::~ZenitySaveDialog() {
    endChild();
}

bool ZenitySaveDialog::usesZenity() const {
    if (options_.force == "console")
        return false;
    if (options_.force == "zenity")
        return true;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool hasDisplay = (display && *display) || (wayland && *wayland);
    return hasDisplay && findProgram(options_.zenity);
}

std::filesystem::path ZenitySaveDialog::withDefaultExtension(
    const std::filesystem::path& name) const {
    if (name.has_extension() || options_.defaultExtension.empty())
        return name;
    std::filesystem::path result = name;
    result += "." + options_.defaultExtension;
    return result;
}

bool ZenitySaveDialog::open() {
    if (stage_ != Stage::Idle)
        return false;
    zenity_ = usesZenity();
    if (zenity_) {
        if (!startChild({"--file-selection", "--save", "--confirm-overwrite",
                         "--title=" + options_.title, "--file-filter=" + options_.filter})) {
            writeLine(log_, L"ERROR: Cannot start " + quoted(fromUtf8(options_.zenity)) +
                                L" for the dialog " + quoted(fromUtf8(options_.title)));
            return false;
        }
    } else {
        consoleBuffer_.clear();
        writeLine(log_, fromUtf8(options_.title) + L" (" + fromUtf8(options_.filter) +
                            L"): type the file name and press Enter (an empty line cancels)");
    }
    stage_ = Stage::ChoosingFile;
    return true;
}

bool ZenitySaveDialog::startChild(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // zenity's toolkit warnings would land between the program's console lines.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options_.zenity.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc =
        posix_spawnp(&pid, options_.zenity.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return false;
    }
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    child_ = pid;
    childOut_ = out[0];
    output_.clear();
    return true;
}

bool ZenitySaveDialog::childFinished(int& exitCode) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(childOut_, buffer, sizeof buffer);
        if (n > 0) {
            output_.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;  // EAGAIN (still running) or end of output
    }
    int status = 0;
    const pid_t r = ::waitpid(child_, &status, WNOHANG);
    if (r == 0)
        return false;
    // The child is gone: read what is left in the pipe.
    for (ssize_t n; (n = ::read(childOut_, buffer, sizeof buffer)) > 0;)
        output_.append(buffer, size_t(n));
    ::close(childOut_);
    childOut_ = -1;
    child_ = -1;
    exitCode = r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

void ZenitySaveDialog::endChild() {
    if (child_ > 0) {
        ::kill(child_, SIGTERM);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
    }
    if (childOut_ >= 0) {
        ::close(childOut_);
        childOut_ = -1;
    }
}

std::optional<std::string> ZenitySaveDialog::consoleLine() {
    char buffer[1024];
    for (;;) {
        pollfd fd{options_.consoleInput, POLLIN, 0};
        if (::poll(&fd, 1, 0) <= 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR)))
            break;
        const ssize_t n = ::read(options_.consoleInput, buffer, sizeof buffer);
        if (n <= 0) {
            // The input has ended: what is there is the last line (an empty one cancels).
            std::string line = consoleBuffer_;
            consoleBuffer_.clear();
            return trimLineEnd(line);
        }
        consoleBuffer_.append(buffer, size_t(n));
        if (consoleBuffer_.find('\n') != std::string::npos)
            break;
    }
    const size_t end = consoleBuffer_.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = trimLineEnd(consoleBuffer_.substr(0, end));
    consoleBuffer_.erase(0, end + 1);
    return line;
}

std::optional<std::filesystem::path> ZenitySaveDialog::chosen(const std::filesystem::path& name) {
    stage_ = Stage::Idle;
    return name;
}

std::optional<std::filesystem::path> ZenitySaveDialog::poll() {
    if (stage_ == Stage::Idle)
        return std::nullopt;
    if (zenity_) {
        int exitCode = 0;
        if (!childFinished(exitCode))
            return std::nullopt;
        const std::string answer = trimLineEnd(output_);
        if (stage_ == Stage::ChoosingFile) {
            if (exitCode != 0 || answer.empty()) {
                stage_ = Stage::Idle;  // cancelled
                return std::nullopt;
            }
            const std::filesystem::path name = answer;
            const std::filesystem::path file = withDefaultExtension(name);
            std::error_code ec;
            // zenity asked about the name as typed; a name that got the extension is asked here.
            if (file == name || !std::filesystem::exists(file, ec))
                return chosen(file);
            pending_ = file;
            if (!startChild(
                    {"--question", "--title=" + options_.title,
                     "--text=" + file.string() + " already exists.\nDo you want to replace it?"})) {
                stage_ = Stage::Idle;
                return std::nullopt;
            }
            stage_ = Stage::ConfirmingReplace;
            return std::nullopt;
        }
        if (exitCode == 0)
            return chosen(pending_);
        stage_ = Stage::Idle;
        return std::nullopt;
    }

    const std::optional<std::string> line = consoleLine();
    if (!line)
        return std::nullopt;
    if (stage_ == Stage::ChoosingFile) {
        if (line->empty()) {
            writeLine(log_, L"Cancelled");
            stage_ = Stage::Idle;
            return std::nullopt;
        }
        const std::filesystem::path file = withDefaultExtension(std::filesystem::path(*line));
        std::error_code ec;
        if (!std::filesystem::exists(file, ec))
            return chosen(file);
        pending_ = file;
        writeLine(log_, quoted(fromUtf8(file.string())) + L" already exists. Replace it? (y/n)");
        stage_ = Stage::ConfirmingReplace;
        return std::nullopt;
    }
    if (*line == "y" || *line == "Y" || *line == "yes" || *line == "Yes")
        return chosen(pending_);
    writeLine(log_, L"Cancelled");
    stage_ = Stage::Idle;
    return std::nullopt;
}

}  // namespace ostrel
