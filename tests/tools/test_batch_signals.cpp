// ostrel-batch at the edges of a run: stop requests before the first step and while the final
// files are written, temporaries that a killed run left, an output folder that takes no data,
// and output names that would split the summary's lines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "support/RunTestSupport.h"
#include "tools/HistoryPlot.h"
#include "tools/VtkImage.h"

namespace ostrel {
namespace {

using testing::Child;
using testing::ScratchFolder;

const std::string kBatch = OSTREL_BATCH_EXE;

/// The scene of the nx cantilever with a key nobody reads: its warning is printed after the
/// signal handlers are in place and before the model is loaded.
std::filesystem::path sceneWithUnknownKey(const ScratchFolder& folder, int nx) {
    const auto scene = testing::writeCantileverScene(folder.path(), nx);
    std::ofstream(scene, std::ios::app) << "UNREAD_KEY: 1\n";
    return scene;
}

/// Standard error without the progress lines ("Iteration k/N ...") and the warning of the
/// unknown key.
std::string stopLines(const std::string& err) {
    std::istringstream in(err);
    std::string line, rest;
    while (std::getline(in, line))
        if (line.rfind("Iteration ", 0) != 0 && line.rfind("WARNING: ", 0) != 0)
            rest += line + "\n";
    return rest;
}

// One signal while the model is loaded lets the load finish and starts no step; a second ends
// the process at once. Both exit with 130 and write nothing.
TEST(BatchSignals, BeforeTheFirstStep) {
    ScratchFolder folder("batch-signal-setup");
    // A model of a million voxels: its load takes about a second after the warning.
    const auto scene = sceneWithUnknownKey(folder, 256);
    const auto out = folder / "out";
    for (int signals : {1, 2}) {
        Child child(kBatch, {scene.string(), "--output", out.string(), "--quiet", "--device",
                             "host", "--threads", "1"});
        ASSERT_TRUE(child.waitForError("WARNING: ")) << child.err();
        child.signal(SIGINT);
        if (signals == 2) {
            ASSERT_TRUE(child.waitForError("press Ctrl-C again to stop now\n")) << child.err();
            child.signal(SIGTERM);
        }
        ASSERT_EQ(child.finishWithin(120), 130) << child.err();
        EXPECT_EQ(stopLines(child.err()),
                  signals == 1 ? "stopping before the first step; press Ctrl-C again to stop now\n"
                                 "Interrupted before the first step; nothing written\n"
                               : "stopping before the first step; press Ctrl-C again to stop now\n"
                                 "Stopped at once before the first step; nothing written\n");
        EXPECT_EQ(child.out(), "");
        EXPECT_FALSE(std::filesystem::exists(out / "OptimizedShape_0.obj"));
    }
}

// The plot's temporary file is made a FIFO of one page beforehand: the plot of 100 steps is
// larger, so the run waits inside the plot's write, after the final shape, until the test reads
// the FIFO, and the signals surely come while the final files are written. One signal lets them
// be finished, and the summary says the run was interrupted (exit 130); a second ends the
// process at once, even while it waits.
TEST(BatchSignals, WhileTheFinalFilesAreWritten) {
    ScratchFolder folder("batch-signal-final");
    const auto scene = testing::writeCantileverScene(folder.path(), 8);
    const auto out = folder / "out";
    for (int signals : {1, 2}) {
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        Child child(kBatch, {scene.string(), "--output", out.string(), "--quiet", "--device",
                             "host", "--threads", "1", "--iterations", "100"});
        const std::string temporary =
            (out / ("history.svg.tmp" + std::to_string(child.pid()) + "~")).string();
        ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);
        const int fd = ::open(temporary.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::fcntl(fd, F_SETPIPE_SZ, 4096), 4096);
        // A full pipe: the plot's write waits.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        int queued = 0;
        while ((::ioctl(fd, FIONREAD, &queued) != 0 || queued < 4096) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(queued, 4096);
        child.signal(SIGINT);
        ASSERT_TRUE(child.waitForError("press Ctrl-C again to stop now\n")) << child.err();
        if (signals == 2) {
            child.signal(SIGINT);
            ASSERT_EQ(child.finishWithin(60), 130) << child.err();
            ::close(fd);
            EXPECT_EQ(stopLines(child.err()),
                      "finishing the final files; press Ctrl-C again to stop now\n"
                      "Stopped at once while the final files were written; the files under "
                      "their final names are complete\n");
            EXPECT_EQ(child.out(), "");
            EXPECT_FALSE(std::filesystem::exists(out / "history.svg"));
            TriangleMesh shape;
            EXPECT_TRUE(shape.readObj((out / "OptimizedShape_final.obj").wstring(), nullptr));
            continue;
        }
        // Reading the FIFO to its end lets the plot's write go on.
        ASSERT_EQ(::fcntl(fd, F_SETFL, 0), 0);
        std::string svg;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) svg.append(buffer, size_t(n));
        ::close(fd);
        ASSERT_EQ(child.finishWithin(60), 130) << child.err();
        EXPECT_EQ(stopLines(child.err()),
                  "finishing the final files; press Ctrl-C again to stop now\n");
        EXPECT_EQ(child.out().rfind("Interrupted: the final files were finished\n", 0), 0u)
            << child.out();
        EXPECT_NE(child.out().find("\nHistory plot: \"" + (out / "history.svg").string() + "\"\n"),
                  std::string::npos)
            << child.out();
        EXPECT_GT(svg.size(), 4096u);
        EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    }
}

// Temporaries that a writer killed mid-write left ("<target>.tmp<pid>~" of a process that is
// gone) are removed at the start of a run; a live writer's, and files of other names, stay.
TEST(BatchSignals, StaleTemporariesAreRemovedAtTheStart) {
    ScratchFolder folder("batch-stale");
    const auto scene = testing::writeCantileverScene(folder.path(), 8);
    const auto out = folder / "out";
    std::filesystem::create_directories(out);
    // A process id that has just ended.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = "OptimizedShape_final.vti.tmp" + std::to_string(gone) + "~";
    const std::string live = "history.svg.tmp" + std::to_string(::getpid()) + "~";
    for (const std::string& name :
         {stale, live, std::string("notes.tmp~"), std::string("notes.tmpx1~"),
          std::string("notes.tmp12")})
        std::ofstream(out / name) << "partial";
    Child child(kBatch, {scene.string(), "--output", out.string(), "--device", "host",
                         "--threads", "1", "--iterations", "1"});
    ASSERT_EQ(child.finish(), 0) << child.err();
    EXPECT_NE(child.out().find("Removed the temporary file \"" + stale +
                               "\" that an interrupted run left\n"),
              std::string::npos)
        << child.out();
    EXPECT_FALSE(std::filesystem::exists(out / stale));
    for (const char* kept : {"notes.tmp~", "notes.tmpx1~", "notes.tmp12"})
        EXPECT_TRUE(std::filesystem::exists(out / kept)) << kept;
    EXPECT_TRUE(std::filesystem::exists(out / live));
}

// A folder that takes an empty file but no data (here a file-size limit of 4 KiB; a full disk
// alike) is refused before the run starts, with the system's reason.
TEST(BatchSignals, AnOutputFolderThatTakesNoDataStopsBeforeLoading) {
    ScratchFolder folder("batch-no-space");
    const auto scene = testing::writeCantileverScene(folder.path(), 8);
    Child child("/usr/bin/prlimit", {"--fsize=4096", kBatch, scene.string(), "--output",
                                     folder.path().string(), "--quiet", "--threads", "1"});
    EXPECT_EQ(child.finish(), 1) << child.err();
    EXPECT_EQ(child.err(), "ERROR: Cannot write into output folder \"" + folder.path().string() +
                               "\": File too large\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "OptimizedShape_0.obj"));
}

// Names with a line end or a quote are escaped inside their quotes: every summary line stays
// one line.
TEST(BatchSignals, OutputNamesAreQuotedOnOneLine) {
    ScratchFolder folder("batch-odd-name");
    const auto scene = testing::writeCantileverScene(folder.path(), 8);
    const std::string odd = (folder / "a\"b\nc").string();
    Child child(kBatch, {scene.string(), "--output", odd, "--quiet", "--threads", "1",
                         "--iterations", "1"});
    ASSERT_EQ(child.finish(), 0) << child.err();
    const std::string shown = folder.path().string() + "/a\\\"b\\nc";
    EXPECT_NE(child.out().find("\nFinal shape: \"" + shown + "/OptimizedShape_final.obj\"\n"),
              std::string::npos)
        << child.out();
    EXPECT_NE(child.out().find("\nHistory plot: \"" + shown + "/history.svg\"\n"),
              std::string::npos)
        << child.out();
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(odd) / "history.svg"));
}

// A file that cannot be written names the system's reason.
TEST(BatchSignals, WriteErrorsGiveTheReason) {
    ScratchFolder folder("batch-write-error");
    const auto missing = folder / "missing";
    const struct {
        const char* name;
        std::function<bool(std::ostream*)> write;
        std::filesystem::path file;
    } cases[] = {
        {"plot",
         [&](std::ostream* log) { return writeHistorySvg(missing / "h.svg", {}, "t", log); },
         missing / "h.svg"},
        {"vtk",
         [&](std::ostream* log) { return writeVtkImage(missing / "f.vti", VtkImage{}, log); },
         missing / "f.vti"},
    };
    for (const auto& c : cases) {
        std::ostringstream log;
        EXPECT_FALSE(c.write(&log)) << c.name;
        EXPECT_EQ(log.str(), "ERROR: Cannot write file \"" + c.file.string() +
                                 "\": No such file or directory\n")
            << c.name;
    }
}

}  // namespace
}  // namespace ostrel
