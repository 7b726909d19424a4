#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/Console.h"
#include "scene/KeyValueFile.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

class KeyValueFileTest : public ::testing::Test {
protected:
    std::wstring writeFile(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return fromUtf8((dir_ / name).string());
    }
    std::string readFile(const std::wstring& name) { return testing::readFile(toUtf8(name)); }
    testing::ScratchFolder folder_{"kvf"};
    const fs::path& dir_ = folder_.path();
    std::wostringstream log_;
};

TEST_F(KeyValueFileTest, EmptyAndCommentOnlyFilesLoad) {
    KeyValueFile kv;
    EXPECT_TRUE(kv.read(writeFile("empty.txt", ""), &log_));
    EXPECT_TRUE(kv.isLoaded());
    EXPECT_TRUE(kv.entries().empty());
    EXPECT_TRUE(kv.read(writeFile("c.txt", "\n   \n// a: comment\n  //x y z\n\t\n"), &log_));
    EXPECT_TRUE(kv.isLoaded());
    EXPECT_TRUE(kv.entries().empty());
    EXPECT_EQ(log_.str(), L"");
}

TEST_F(KeyValueFileTest, SyntaxRules) {
    KeyValueFile kv;
    const std::wstring name = writeFile(
        "s.txt",
        "mesh:  C:\\Quenby\\model.obj   \n"
        ": lonely value\n"
        "#KEY: hash key\n"
        "Voxel_Size:0.5 mm\n"
        "EMPTY:\n"
        "Inner: a  b  c\n");
    ASSERT_TRUE(kv.read(name, &log_));
    EXPECT_EQ(log_.str(), L"");
    ASSERT_EQ(kv.entries().size(), 5u);
    EXPECT_EQ(kv.entries()[0], KeyValueFile::Entry(L"MESH", L"C:\\Quenby\\model.obj"));
    EXPECT_EQ(kv.entries()[1], KeyValueFile::Entry(L"#KEY", L"hash key"));
    EXPECT_EQ(kv.entries()[2], KeyValueFile::Entry(L"VOXEL_SIZE", L"0.5 mm"));
    EXPECT_EQ(kv.entries()[3], KeyValueFile::Entry(L"EMPTY", L""));
    EXPECT_EQ(kv.entries()[4], KeyValueFile::Entry(L"INNER", L"a  b  c"));
    double size = 0;
    EXPECT_TRUE(kv.getDouble(L"voxel_size", size, &log_));
    EXPECT_EQ(size, 0.5);
}

TEST_F(KeyValueFileTest, CrLfReadsLikeLf) {
    KeyValueFile a, b;
    ASSERT_TRUE(a.read(writeFile("lf.txt", "A: 1\n// c\nB: x y\n"), &log_));
    ASSERT_TRUE(b.read(writeFile("crlf.txt", "A: 1\r\n// c\r\nB: x y\r\n"), &log_));
    EXPECT_EQ(a.entries(), b.entries());
}

TEST_F(KeyValueFileTest, InvalidKeySyntaxReportsLine) {
    struct Case {
        const char* content;
        int line;
    };
    const Case cases[] = {
        {"A: 1\n# KEY: x\nB: 2\n", 2},
        {"A: 1\n\n// c\nTWO WORDS: x\n", 4},
        {"A: 1\nLONEWORD\n", 2},
    };
    for (const Case& c : cases) {
        KeyValueFile kv;
        std::wostringstream log;
        const std::wstring name = writeFile("bad.txt", c.content);
        EXPECT_FALSE(kv.read(name, &log));
        EXPECT_FALSE(kv.isLoaded());
        EXPECT_EQ(log.str(), L"ERROR: Invalid key syntax in line " + std::to_wstring(c.line) +
                                 L" of file \"" + name + L"\"\n");
        // Entries before the failing line stay.
        std::wstring a;
        EXPECT_TRUE(kv.getString(L"A", a, nullptr));
        EXPECT_EQ(a, L"1");
    }
}

TEST_F(KeyValueFileTest, DuplicateKeyKeepsPositionAndWarns) {
    KeyValueFile kv;
    const std::wstring name = writeFile("d.txt", "A: 1\nB: 2\na: 3\n");
    ASSERT_TRUE(kv.read(name, &log_));
    EXPECT_EQ(log_.str(), L"WARNING: Key \"A\" in line 3 of file \"" + name +
                              L"\" has already been specified. The old value has been "
                              L"overwritten.\n");
    ASSERT_EQ(kv.entries().size(), 2u);
    EXPECT_EQ(kv.entries()[0], KeyValueFile::Entry(L"A", L"3"));
    const std::wstring out = fromUtf8((dir_ / "out.txt").string());
    ASSERT_TRUE(kv.write(out, &log_));
    EXPECT_EQ(readFile(out), "A: 3\nB: 2\n");
}

TEST_F(KeyValueFileTest, OpenErrorAndReuse) {
    KeyValueFile kv;
    ASSERT_TRUE(kv.read(writeFile("ok.txt", "OLD: 1\n"), &log_));
    const std::wstring missing = fromUtf8((dir_ / "missing.txt").string());
    EXPECT_FALSE(kv.read(missing, &log_));
    EXPECT_EQ(log_.str(), L"ERROR: Cannot open file \"" + missing + L"\"\n");
    EXPECT_TRUE(kv.entries().empty());
    EXPECT_FALSE(kv.isLoaded());
    EXPECT_FALSE(kv.read(missing, nullptr));  // no stream: silent, no crash
}

TEST_F(KeyValueFileTest, TypedGetters) {
    KeyValueFile kv;
    ASSERT_TRUE(kv.read(writeFile("t.txt",
                                  "I: 3.7\nL: letters\nF: 1e7\nF3: 1 -9.81 0.01\nTWO: 1 2\n"
                                  "M: 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\nB1: 1\nB0: 0\nBT: true\n"
                                  "B2: 2\n"),
                        &log_));
    int i = 42;
    EXPECT_TRUE(kv.getInt(L"i", i, &log_));
    EXPECT_EQ(i, 3);
    i = 42;
    EXPECT_FALSE(kv.getInt(L"l", i, &log_));
    EXPECT_EQ(i, 42);
    EXPECT_FALSE(kv.getInt(L"NoSuch", i, &log_));
    float f = 0;
    EXPECT_TRUE(kv.getFloat(L"F", f, &log_));
    EXPECT_EQ(f, 1e7f);
    Vec3f f3{5, 5, 5};
    EXPECT_TRUE(kv.getFloat3(L"F3", f3, &log_));
    EXPECT_EQ(f3, Vec3f(1, -9.81f, 0.01f));
    Vec3d d3{5, 6, 7};
    EXPECT_FALSE(kv.getDouble3(L"TWO", d3, &log_));
    EXPECT_EQ(d3, Vec3d(5, 6, 7));
    EXPECT_FALSE(kv.getDouble3(L"Two", d3, &log_, true));
    float m[16] = {};
    EXPECT_TRUE(kv.getMatrix4x4(L"m", m, &log_));
    EXPECT_EQ(m[0], 1.f);
    EXPECT_EQ(m[5], 1.f);
    EXPECT_EQ(m[1], 0.f);
    bool b = false;
    EXPECT_TRUE(kv.getBool(L"B1", b, &log_));
    EXPECT_TRUE(b);
    EXPECT_TRUE(kv.getBool(L"B0", b, &log_));
    EXPECT_FALSE(b);
    b = true;
    EXPECT_FALSE(kv.getBool(L"BT", b, &log_));
    EXPECT_FALSE(kv.getBool(L"B2", b, &log_));
    EXPECT_TRUE(b);
    double d = 1;
    EXPECT_FALSE(kv.getDouble(L"Missing", d, &log_));
    EXPECT_FALSE(kv.getDouble(L"Missing", d, &log_, true));
    EXPECT_FALSE(kv.getFloat(L"Missing", f, &log_));
    EXPECT_FALSE(kv.getBool(L"Missing", b, &log_));
    EXPECT_FALSE(kv.getDouble(L"L", d, &log_));
    EXPECT_FALSE(kv.getDouble(L"L", d, &log_, true));
    EXPECT_EQ(d, 1);
    EXPECT_EQ(log_.str(),
              L"ERROR: Could not parse entry \"l\"\n"
              L"ERROR: Entry \"NoSuch\" not found\n"
              L"ERROR: Could not parse entry \"TWO\"\n"
              L"WARNING: Could not parse entry \"Two\"\n"
              L"WARNING: Could not parse entry \"BT\"\n"
              L"WARNING: Could not parse entry \"B2\"\n"
              L"ERROR: Entry \"Missing\" not found\n"
              L"ERROR: Could not parse entry \"L\"\n"
              L"WARNING: Could not parse entry \"L\"\n");
}

TEST_F(KeyValueFileTest, TypedValuesAreReadFromTheStartOfTheValue) {
    // value, then what getDouble, getInt and getFloat give ("x": refused, target untouched).
    struct Case {
        const char* value;
        const char* asDouble;
        const char* asInt;
        const char* asFloat;
    };
    const Case cases[] = {
        {"0.5 mm", "0.5", "0", "0.5"},          // a unit word after the value does no harm
        {"0.5\xb5m", "0.5", "0", "0.5"},        // nor one that starts beyond ASCII
        {"2,5", "2", "2", "2"},                 // a comma ends the number
        {"-7e2", "-700", "-7", "-700"},
        {"1e", "x", "1", "x"},                  // an 'e' without digits spoils a real
        {"2147483648", "2147483648", "x", "2147483648"},
        {"-2147483648", "-2147483648", "-2147483648", "-2147483648"},
        {"1e39", "1e39", "1", "x"},             // beyond a float's range
        {"1e400", "x", "1", "x"},
        {"0x10", "0", "0", "0"},                // hexadecimal reads as its leading 0
        {"inf", "x", "x", "x"},
        {"nan", "x", "x", "x"},
        {"- 1", "x", "x", "x"},
        {".", "x", "x", "x"},
    };
    std::string text;
    for (size_t i = 0; i < std::size(cases); ++i)
        text += "K" + std::to_string(i) + ": " + cases[i].value + "\n";
    KeyValueFile kv;
    ASSERT_TRUE(kv.read(writeFile("forms.txt", text), &log_));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::wstring key = L"K" + std::to_wstring(i);
        double d = -1;
        int n = -1;
        float f = -1;
        EXPECT_EQ(kv.getDouble(key, d, nullptr), std::string(c.asDouble) != "x") << c.value;
        EXPECT_EQ(kv.getInt(key, n, nullptr), std::string(c.asInt) != "x") << c.value;
        EXPECT_EQ(kv.getFloat(key, f, nullptr), std::string(c.asFloat) != "x") << c.value;
        EXPECT_EQ(d, std::string(c.asDouble) == "x" ? -1 : std::stod(c.asDouble)) << c.value;
        EXPECT_EQ(n, std::string(c.asInt) == "x" ? -1 : std::stoi(c.asInt)) << c.value;
        EXPECT_EQ(f, std::string(c.asFloat) == "x" ? -1.0f : std::stof(c.asFloat)) << c.value;
    }
    // Three numbers, the third followed by a word; a missing third is a failure.
    ASSERT_TRUE(kv.read(writeFile("vec.txt", "V: 1 2 3 metres\nW: 1 2 metres\n"), &log_));
    Vec3d v{0, 0, 0};
    EXPECT_TRUE(kv.getDouble3(L"V", v, nullptr));
    EXPECT_EQ(v, Vec3d(1, 2, 3));
    EXPECT_FALSE(kv.getDouble3(L"W", v, nullptr));
    EXPECT_EQ(v, Vec3d(1, 2, 3));
}

TEST_F(KeyValueFileTest, GetStringOptionalAndMissing) {
    KeyValueFile kv;
    std::wstring v = L"keep";
    EXPECT_FALSE(kv.getString(L"Mesh", v, &log_, true));
    EXPECT_EQ(log_.str(), L"");
    EXPECT_FALSE(kv.getString(L"Mesh", v, &log_));
    EXPECT_EQ(log_.str(), L"ERROR: Entry \"Mesh\" not found\n");
    EXPECT_EQ(v, L"keep");
}

TEST_F(KeyValueFileTest, SetStringRemoveAndWriteOrder) {
    KeyValueFile kv;
    EXPECT_FALSE(kv.setString(L"voxel_size", L"0.1"));
    EXPECT_FALSE(kv.setString(L"Mesh", L"a.obj"));
    EXPECT_TRUE(kv.setString(L"VOXEL_SIZE", L"0.2"));
    EXPECT_FALSE(kv.setString(L"Z", L"last"));
    EXPECT_TRUE(kv.remove(L"mesh"));
    EXPECT_FALSE(kv.remove(L"mesh"));
    std::wstring v;
    EXPECT_TRUE(kv.getString(L"z", v, nullptr));
    EXPECT_EQ(v, L"last");
    const std::wstring out = fromUtf8((dir_ / "w.txt").string());
    ASSERT_TRUE(kv.write(out, &log_));
    EXPECT_EQ(readFile(out), "VOXEL_SIZE: 0.2\nZ: last\n");
    // Round trip.
    KeyValueFile back;
    ASSERT_TRUE(back.read(out, &log_));
    EXPECT_EQ(back.entries(), kv.entries());
    EXPECT_EQ(log_.str(), L"");
}

TEST_F(KeyValueFileTest, SingleByteTextRoundTrip) {
    KeyValueFile kv;
    const std::wstring name = writeFile("latin.txt", "NAME: Br\xfc" "cke \xe9t\xe9\n");
    ASSERT_TRUE(kv.read(name, &log_));
    std::wstring v;
    ASSERT_TRUE(kv.getString(L"NAME", v, nullptr));
    EXPECT_EQ(v, L"Br\u00fccke \u00e9t\u00e9");
    ASSERT_TRUE(kv.write(name, &log_));
    EXPECT_EQ(readFile(name), "NAME: Br\xfc" "cke \xe9t\xe9\n");
}

TEST_F(KeyValueFileTest, FailedWriteKeepsOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
    const std::wstring name = writeFile("keep.txt", "OLD: 1\n");
    KeyValueFile kv;
    kv.setString(L"NEW", L"2");
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(kv.write(name, &log_));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(log_.str(), L"ERROR: Cannot write file \"" + name + L"\": Permission denied\n");
    EXPECT_EQ(readFile(name), "OLD: 1\n");
}

TEST_F(KeyValueFileTest, WriteIntoMissingDirectoryFails) {
    KeyValueFile kv;
    kv.setString(L"A", L"1");
    const std::wstring name = fromUtf8((dir_ / "no" / "such" / "f.txt").string());
    EXPECT_FALSE(kv.write(name, &log_));
    EXPECT_EQ(log_.str(),
              L"ERROR: Cannot write file \"" + name + L"\": No such file or directory\n");
}

TEST_F(KeyValueFileTest, WriteOverDirectoryFailsAndKeepsIt) {
    KeyValueFile kv;
    kv.setString(L"A", L"1");
    fs::create_directories(dir_ / "adir" / "inner");
    const std::wstring name = fromUtf8((dir_ / "adir").string());
    EXPECT_FALSE(kv.write(name, &log_));
    EXPECT_TRUE(fs::is_directory(dir_ / "adir" / "inner"));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename(), "adir") << "temporary file left behind";
}

TEST_F(KeyValueFileTest, WriteFailingPartWayKeepsOldFile) {
    // A file-size limit makes the write fail after the first bytes, even for root.
    const std::wstring name = writeFile("big.txt", "OLD: 1\n");
    auto writeUnderLimit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = 64;
        setrlimit(RLIMIT_FSIZE, &limit);
        KeyValueFile kv;
        kv.setString(L"BIG", std::wstring(4096, L'x'));
        std::wostringstream log;
        const bool written = kv.write(name, &log);
        const bool reported =
            log.str() == L"ERROR: Cannot write file \"" + name + L"\": File too large\n";
        std::exit(!written && reported && readFile(name) == "OLD: 1\n" ? 0 : 1);
    };
    EXPECT_EXIT(writeUnderLimit(),
        ::testing::ExitedWithCode(0), "");
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename(), "big.txt") << "temporary file left behind";
}

}  // namespace
}  // namespace ostrel
