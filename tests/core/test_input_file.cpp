// The check before an input file is opened: FIFOs, devices, folders and sockets are refused by
// name without being opened; regular files, links to them and missing names pass.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/Console.h"
#include "core/InputFile.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

TEST(InputFile, OnlyRegularFilesOrMissingNamesPass) {
    testing::ScratchFolder dir("input-file");
    const std::string regular = (dir / "file.txt").string();
    std::ofstream(regular) << "text\n";
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string linkToFile = (dir / "link-file").string();
    const std::string linkToFifo = (dir / "link-fifo").string();
    ASSERT_EQ(::symlink(regular.c_str(), linkToFile.c_str()), 0);
    ASSERT_EQ(::symlink(fifo.c_str(), linkToFifo.c_str()), 0);
    const std::string socketName = (dir / "socket").string();
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketName.size(), sizeof address.sun_path);
    socketName.copy(address.sun_path, socketName.size());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const struct {
        std::string path;
        bool passes;
    } cases[] = {
        {regular, true},     {linkToFile, true},         {(dir / "missing").string(), true},
        {fifo, false},       {linkToFifo, false},        {"/dev/zero", false},
        {dir.path().string(), false}, {socketName, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isOpenableAsFile(c.path), c.passes) << c.path;
        std::wostringstream log;
        EXPECT_EQ(checkInputFile(fromUtf8(c.path), &log), c.passes) << c.path;
        EXPECT_EQ(log.str(), c.passes ? L""
                                      : L"ERROR: File \"" + fromUtf8(c.path) +
                                            L"\" is not a regular file\n")
            << c.path;
    }
    ::close(s);
    EXPECT_EQ(notRegularFileReason("a\nb"), "File \"a\\nb\" is not a regular file");
}

}  // namespace
}  // namespace ostrel
