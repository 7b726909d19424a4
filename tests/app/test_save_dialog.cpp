// The save dialog without a display: the console fallback fed through a pipe, and the zenity
// road with small shell scripts standing in for zenity.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "app/SaveDialog.h"
#include "core/Console.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

using testing::ScratchFolder;
namespace fs = std::filesystem;

/// A pipe whose read end is the dialog's console input.
struct Pipe {
    Pipe() {
        if (::pipe(fds) != 0)
            std::abort();
    }
    ~Pipe() {
        ::close(fds[0]);
        if (fds[1] >= 0)
            ::close(fds[1]);
    }
    void type(const std::string& text) {
        ASSERT_EQ(::write(fds[1], text.data(), text.size()), ssize_t(text.size()));
    }
    void closeInput() {
        ::close(fds[1]);
        fds[1] = -1;
    }
    int fds[2];
};

/// Polls until the dialog closes (at most 10 s); the file it delivered, if any.
std::optional<fs::path> waitForAnswer(SaveFileDialog& dialog) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (dialog.isOpen() && std::chrono::steady_clock::now() < end) {
        if (auto file = dialog.poll())
            return file;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

class ConsoleDialog : public ::testing::Test {
  protected:
    Pipe pipe_;
    std::wostringstream log_;
    ZenitySaveDialog dialog_{SaveDialogOptions{"Save mesh to file", "*.obj", "obj", "zenity",
                                               "console", pipe_.fds[0], &log_}};
    ScratchFolder folder_{"save-dialog"};
    std::string log() const { return toUtf8(log_.str()); }
};

TEST_F(ConsoleDialog, TypedNameGetsTheDefaultExtension) {
    ASSERT_TRUE(dialog_.open());
    EXPECT_FALSE(dialog_.open());  // one at a time
    EXPECT_EQ(
        log(),
        "Save mesh to file (*.obj): type the file name and press Enter (an empty line cancels)\n");
    EXPECT_FALSE(dialog_.poll());  // nothing typed yet: the frame goes on
    pipe_.type((folder_ / "sha").string());
    EXPECT_FALSE(dialog_.poll());
    EXPECT_TRUE(dialog_.isOpen());
    pipe_.type("pe\n");
    EXPECT_EQ(dialog_.poll(), folder_ / "shape.obj");
    EXPECT_FALSE(dialog_.isOpen());
    EXPECT_FALSE(dialog_.poll());
}

TEST_F(ConsoleDialog, NameWithExtensionIsKept) {
    ASSERT_TRUE(dialog_.open());
    pipe_.type((folder_ / "a.mesh").string() + "\r\n");
    EXPECT_EQ(dialog_.poll(), folder_ / "a.mesh");
}

TEST_F(ConsoleDialog, EmptyLineCancels) {
    ASSERT_TRUE(dialog_.open());
    pipe_.type("\n");
    EXPECT_FALSE(dialog_.poll());
    EXPECT_FALSE(dialog_.isOpen());
    EXPECT_NE(log().find("Cancelled\n"), std::string::npos);
}

TEST_F(ConsoleDialog, ExistingFileIsReplacedOnlyWhenTheUserAgrees) {
    std::ofstream(folder_ / "old.obj") << "v 0 0 0\n";
    for (const char* answer : {"n\n", "y\n"}) {
        log_.str(L"");
        ASSERT_TRUE(dialog_.open());
        pipe_.type((folder_ / "old").string() + "\n");
        EXPECT_FALSE(dialog_.poll());
        EXPECT_EQ(log(),
                  "Save mesh to file (*.obj): type the file name and press Enter (an empty line "
                  "cancels)\n\"" +
                      (folder_ / "old.obj").string() + "\" already exists. Replace it? (y/n)\n");
        pipe_.type(answer);
        const std::optional<fs::path> file = dialog_.poll();
        EXPECT_FALSE(dialog_.isOpen());
        if (answer[0] == 'y')
            EXPECT_EQ(file, folder_ / "old.obj");
        else
            EXPECT_FALSE(file);
    }
}

TEST_F(ConsoleDialog, EndOfInputCancels) {
    ASSERT_TRUE(dialog_.open());
    pipe_.closeInput();
    EXPECT_FALSE(dialog_.poll());
    EXPECT_FALSE(dialog_.isOpen());
}

/// A stand-in for zenity: records its arguments, then runs `body`.
fs::path fakeZenity(const ScratchFolder& folder, const std::string& body) {
    const fs::path script = folder / "zenity";
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\" >> '"
                          << (folder / "args").string() << "'; done\n"
                          << body << "\n";
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

class ZenityDialog : public ::testing::Test {
  protected:
    ZenitySaveDialog make(const std::string& body) {
        SaveDialogOptions options;
        options.zenity = fakeZenity(folder_, body).string();
        options.force = "zenity";
        options.log = &log_;
        return ZenitySaveDialog(options);
    }
    std::vector<std::string> args() const { return folder_.lines("args"); }
    ScratchFolder folder_{"zenity"};
    std::wostringstream log_;
};

TEST_F(ZenityDialog, ChosenFileWithItsArguments) {
    ZenitySaveDialog dialog = make("echo '" + (folder_ / "out").string() + "'");
    ASSERT_TRUE(dialog.open());
    EXPECT_EQ(waitForAnswer(dialog), folder_ / "out.obj");
    EXPECT_EQ(args(),
              (std::vector<std::string>{"--file-selection", "--save", "--confirm-overwrite",
                                        "--title=Save mesh to file", "--file-filter=*.obj"}));
    EXPECT_EQ(toUtf8(log_.str()), "");
}

TEST_F(ZenityDialog, CancelDeliversNothing) {
    ZenitySaveDialog dialog = make("exit 1");
    ASSERT_TRUE(dialog.open());
    EXPECT_FALSE(waitForAnswer(dialog));
    EXPECT_FALSE(dialog.isOpen());
}

TEST_F(ZenityDialog, AppendedExtensionOfAnExistingFileIsAskedAbout) {
    std::ofstream(folder_ / "old.obj") << "v 0 0 0\n";
    for (int answer : {1, 0}) {
        fs::remove(folder_ / "args");
        ZenitySaveDialog dialog =
            make("if [ \"$1\" = --question ]; then exit " + std::to_string(answer) +
                 "; fi\necho '" + (folder_ / "old").string() + "'");
        ASSERT_TRUE(dialog.open());
        const std::optional<fs::path> file = waitForAnswer(dialog);
        if (answer == 0)
            EXPECT_EQ(file, folder_ / "old.obj");
        else
            EXPECT_FALSE(file);
        const std::vector<std::string> a = args();
        ASSERT_GE(a.size(), 8u);
        EXPECT_EQ(a[5], "--question");
        EXPECT_EQ(a[6], "--title=Save mesh to file");
        EXPECT_EQ(a[7], "--text=" + (folder_ / "old.obj").string() + " already exists.");
    }
}

TEST_F(ZenityDialog, MissingProgramIsReported) {
    SaveDialogOptions options;
    options.zenity = (folder_ / "no-such-zenity").string();
    options.force = "zenity";
    options.log = &log_;
    ZenitySaveDialog dialog(options);
    EXPECT_FALSE(dialog.open());
    EXPECT_FALSE(dialog.isOpen());
    EXPECT_EQ(toUtf8(log_.str()), "ERROR: Cannot start \"" + options.zenity +
                                      "\" for the dialog \"Save mesh to file\"\n");
}

TEST_F(ZenityDialog, ClosingTheProgramEndsAnOpenDialog) {
    const auto start = std::chrono::steady_clock::now();
    {
        ZenitySaveDialog dialog = make("exec sleep 30");
        ASSERT_TRUE(dialog.open());
        EXPECT_FALSE(dialog.poll());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(SaveDialogChoice, ConsoleWithoutDisplayOrWithoutZenity) {
    const char* saved = std::getenv("DISPLAY");
    const std::string display = saved ? saved : "";
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_FALSE(ZenitySaveDialog().usesZenity());
    ::setenv("DISPLAY", ":99", 1);
    SaveDialogOptions missing;
    missing.zenity = "no-such-zenity-program";
    EXPECT_FALSE(ZenitySaveDialog(missing).usesZenity());
    SaveDialogOptions present;
    present.zenity = "/bin/sh";
    EXPECT_TRUE(ZenitySaveDialog(present).usesZenity());
    if (saved)
        ::setenv("DISPLAY", display.c_str(), 1);
    else
        ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace ostrel
