#include "framework/Dialogs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

extern char** environ;

namespace ostrel {
namespace {

/// One line from standard input after a prompt on standard output; nothing at end of input.
std::optional<std::string> consoleLine(const std::string& prompt) {
    std::cout << prompt << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) {
        std::cout << "\n" << std::flush;
        return std::nullopt;
    }
    return line;
}

}  // namespace

int runProcess(const std::vector<std::string>& argv, std::string* output) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    // The dialog's own diagnostics (desktop-settings warnings and the like) would only clutter
    // the program's console.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return -1;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (output)
            output->append(buffer, size_t(n));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool graphicalDialogsAvailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool display = (x11 && *x11) || (wayland && *wayland);
    return display && findProgram("zenity");
}

bool askYesNo(const std::string& caption, const std::string& text) {
    if (graphicalDialogsAvailable()) {
        const int status = runProcess(
            {"zenity", "--question", "--no-markup", "--no-wrap", "--icon-name=dialog-warning",
             "--title=" + caption, "--text=" + text, "--ok-label=Yes", "--cancel-label=No"},
            nullptr);
        if (status >= 0)
            return status == 0;
    }
    const auto answer = consoleLine(caption + ": " + text + " [y/N] ");
    return answer && !answer->empty() && (answer->front() == 'y' || answer->front() == 'Y');
}

Answer askYesNoCancel(const std::string& caption, const std::string& text) {
    if (graphicalDialogsAvailable()) {
        // No is the extra button, so that closing the dialog, which zenity reports as its
        // cancel button, cancels.
        std::string pressed;
        const int status = runProcess(
            {"zenity", "--question", "--no-markup", "--no-wrap", "--icon-name=dialog-warning",
             "--title=" + caption, "--text=" + text, "--ok-label=Yes", "--cancel-label=Cancel",
             "--extra-button=No"},
            &pressed);
        if (status == 0)
            return Answer::Yes;
        if (status == 1)
            return pressed.rfind("No", 0) == 0 ? Answer::No : Answer::Cancel;
    }
    const auto answer = consoleLine(caption + ": " + text + " [y/n/C] ");
    if (!answer)
        return Answer::No;
    if (!answer->empty() && (answer->front() == 'y' || answer->front() == 'Y'))
        return Answer::Yes;
    if (!answer->empty() && (answer->front() == 'n' || answer->front() == 'N'))
        return Answer::No;
    return Answer::Cancel;
}

std::optional<std::string> openFileDialog(const std::string& title, const std::string& filter) {
    if (graphicalDialogsAvailable()) {
        std::string chosen;
        const int status = runProcess({"zenity", "--file-selection", "--title=" + title,
                                       "--file-filter=" + filter, "--file-filter=*"},
                                      &chosen);
        if (status >= 0) {
            while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r'))
                chosen.pop_back();
            if (status != 0 || chosen.empty())
                return std::nullopt;
            return chosen;
        }
    }
    const auto answer = consoleLine(title + " (" + filter + "): ");
    if (!answer || answer->empty())
        return std::nullopt;
    return answer;
}

void showErrorBox(const std::string& caption, const std::string& text) {
    if (!graphicalDialogsAvailable())
        return;  // the text is already on standard error
    runProcess(
        {"zenity", "--error", "--no-markup", "--no-wrap", "--title=" + caption, "--text=" + text},
        nullptr);
}

bool findProgram(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    if (!path)
        return false;
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace ostrel
