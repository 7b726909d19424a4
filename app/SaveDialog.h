#pragma once
// The save-file dialog of the interactive program, without blocking the window: open() starts
// it, poll() (once per frame) delivers the chosen file once the user has confirmed it.
//
// ZenitySaveDialog runs zenity's file selection ("--save") with the title and filter; a name
// without an extension gets the default extension, and when that name exists the user is asked
// (zenity's question) before it is replaced. Without a display or without zenity it falls back to
// the console: it prints a prompt on the wide log and reads one line from standard input (read
// only when data is there, so frames go on), asking "Replace it? (y/n)" for an existing file; an
// empty line cancels, and so does the end of the input. Child processes are ended and reaped
// when the dialog is destroyed. Main thread only.

#include <sys/types.h>

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class SaveFileDialog {
  public:
    virtual ~SaveFileDialog() = default;
    /// Starts the dialog; false (and nothing started) while one is open.
    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    /// The confirmed file, once; nothing while the dialog is open, after a cancel or when idle.
    virtual std::optional<std::filesystem::path> poll() = 0;
};

struct SaveDialogOptions {
    std::string title = "Save mesh to file";
    std::string filter = "*.obj";
    std::string defaultExtension = "obj";
    /// The zenity program: a name searched in PATH, or a path.
    std::string zenity = "zenity";
    /// Empty = decide by the DISPLAY variable and whether zenity is found; "console" = always
    /// the console; "zenity" = always zenity.
    std::string force;
    int consoleInput = 0;          ///< file descriptor of the console answers
    std::wostream* log = nullptr;  ///< prompts and messages; null = the console's wide output
};

class ZenitySaveDialog : public SaveFileDialog {
  public:
    explicit ZenitySaveDialog(SaveDialogOptions options = {});
    ~ZenitySaveDialog() override;
    ZenitySaveDialog(const ZenitySaveDialog&) = delete;
    ZenitySaveDialog& operator=(const ZenitySaveDialog&) = delete;

    bool open() override;
    bool isOpen() const override { return stage_ != Stage::Idle; }
    std::optional<std::filesystem::path> poll() override;

    /// True when zenity and a display are there (the dialog then uses zenity).
    bool usesZenity() const;
    /// `name` with the default extension appended when it has none.
    std::filesystem::path withDefaultExtension(const std::filesystem::path& name) const;

  private:
    enum class Stage { Idle, ChoosingFile, ConfirmingReplace };

    /// Starts zenity with `args`; false when it cannot be started.
    bool startChild(const std::vector<std::string>& args);
    /// Collects the child's output; true with its exit code once it has ended.
    bool childFinished(int& exitCode);
    void endChild();
    /// The next line typed on the console, once complete.
    std::optional<std::string> consoleLine();
    std::optional<std::filesystem::path> chosen(const std::filesystem::path& name);

    SaveDialogOptions options_;
    std::wostream* log_;
    bool zenity_ = false;  ///< this opening uses zenity (else the console)
    Stage stage_ = Stage::Idle;
    pid_t child_ = -1;
    int childOut_ = -1;
    std::string output_;
    std::string consoleBuffer_;
    std::filesystem::path pending_;  ///< the name waiting for the replace answer
};

}  // namespace ostrel
