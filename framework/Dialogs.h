#pragma once
// Message boxes and file dialogs through zenity (a separate process, so the dialog code holds
// no toolkit state). Without a display or without zenity each dialog falls back to the console:
// the question or prompt goes to standard output and the answer is read as one line from
// standard input (end of input = No / cancel).
//
// The dialogs block the calling thread until the user answers; they are used before the window
// exists (start-up) and when the process is ending (fatal error).

#include <optional>
#include <string>
#include <vector>

namespace ostrel {

/// Runs `argv` (argv[0] looked up on PATH) with its standard error discarded, collects its
/// standard output, and returns its exit status, or -1 when it could not be started or did not
/// exit normally.
int runProcess(const std::vector<std::string>& argv, std::string* output);

/// True when `program` names an executable file, directly (a path with a slash) or through
/// PATH (an empty PATH entry is the working directory).
bool findProgram(const std::string& program);

/// True when a display is named (DISPLAY or WAYLAND_DISPLAY) and zenity is on PATH.
bool graphicalDialogsAvailable();

/// Yes/No question with a warning icon. True for Yes.
bool askYesNo(const std::string& caption, const std::string& text);

enum class Answer { Yes, No, Cancel };

/// Yes/No/Cancel question with a warning icon. Closing the dialog (or Escape) is Cancel; on the
/// console "y" is Yes, "n" is No, anything else Cancel, and the end of input No.
Answer askYesNoCancel(const std::string& caption, const std::string& text);

/// Open-file dialog for an existing file matching `filter` (e.g. "*.txt"). The chosen path
/// (UTF-8), or nothing when cancelled.
std::optional<std::string> openFileDialog(const std::string& title, const std::string& filter);

/// Error message box (OK button only).
void showErrorBox(const std::string& caption, const std::string& text);

}  // namespace ostrel
