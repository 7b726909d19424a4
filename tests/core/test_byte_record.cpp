// Binary records of checkpoints: values read back as put, reads past the end refused, and a
// framed file refused for every cut, every changed byte, another magic and another version.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteRecord.h"

namespace ostrel {
namespace {

TEST(ByteRecord, ValuesComeBackInOrder) {
    ByteWriter w;
    w.put<int>(-7);
    w.put(2.5);
    w.putVector(std::vector<float>{1.0f, -0.0f, 3e-8f});
    w.putString("two\nlines\0x");
    w.putVector(std::vector<double>{});
    ByteReader r(w.bytes());
    int i = 0;
    double d = 0;
    std::vector<float> f;
    std::string s;
    std::vector<double> empty = {1.0};
    ASSERT_TRUE(r.get(i) && r.get(d) && r.getVector(f) && r.getString(s) && r.getVector(empty));
    EXPECT_EQ(i, -7);
    EXPECT_EQ(d, 2.5);
    EXPECT_EQ(f, (std::vector<float>{1.0f, -0.0f, 3e-8f}));
    EXPECT_TRUE(std::signbit(f[1]));
    EXPECT_EQ(s, "two\nlines");
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(r.atEnd());
    EXPECT_FALSE(r.get(i));  // past the end
    EXPECT_FALSE(r.ok());
}

TEST(ByteRecord, CountsLargerThanTheRestAreRefused) {
    ByteWriter w;
    w.put<uint64_t>(1000);  // a vector of 1000 doubles, with 16 bytes behind it
    w.put(1.0);
    w.put(2.0);
    ByteReader r(w.bytes());
    std::vector<double> v = {5.0};
    EXPECT_FALSE(r.getVector(v));
    EXPECT_EQ(v, std::vector<double>{5.0});
    ByteReader strings(w.bytes());
    std::string s = "kept";
    EXPECT_FALSE(strings.getString(s));
    EXPECT_EQ(s, "kept");
    // A huge count does not overflow the size check.
    ByteWriter huge;
    huge.put<uint64_t>(~uint64_t(0));
    ByteReader h(huge.bytes());
    EXPECT_FALSE(h.getVector(v));
}

TEST(ByteRecord, ChecksumIsFnv1a64) {
    // The published FNV-1a 64 values of "" and "a".
    EXPECT_EQ(checksum64(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(checksum64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(checksumText(0xaf63dc4c8601ec8cull), "af63dc4c8601ec8c");
    EXPECT_EQ(checksumText(1), "0000000000000001");
}

TEST(ByteRecord, FramedRecordComesBackAndEveryDamageIsRefused) {
    const std::string payload = "payload bytes \x01\x02\x03";
    const std::string file = frameRecord("OSTRELCP", 3, payload);
    ASSERT_EQ(file.size(), 8 + 4 + 8 + payload.size() + 8);
    std::string out, error;
    ASSERT_TRUE(unframeRecord(file, "OSTRELCP", 3, "a test", out, error)) << error;
    EXPECT_EQ(out, payload);

    // Every cut, and one byte too many.
    for (size_t length = 0; length < file.size(); ++length) {
        error.clear();
        EXPECT_FALSE(unframeRecord(file.substr(0, length), "OSTRELCP", 3, "a test", out, error))
            << length;
        EXPECT_EQ(error, length < 8 ? "not a test file" : "truncated") << length;
    }
    EXPECT_FALSE(unframeRecord(file + "x", "OSTRELCP", 3, "a test", out, error));
    EXPECT_EQ(error, "longer than its record");
    // Every changed byte after the magic (in the version: another version).
    for (size_t at = 8; at < file.size(); ++at) {
        std::string bad = file;
        bad[at] = char(bad[at] ^ 0x10);
        EXPECT_FALSE(unframeRecord(bad, "OSTRELCP", 3, "a test", out, error)) << at;
        if (at >= 12 && at < 20) {
            EXPECT_TRUE(error == "truncated" || error == "longer than its record") << at << error;
        } else if (at >= 20) {
            EXPECT_EQ(error, "checksum mismatch") << at;
        }
    }
    EXPECT_FALSE(unframeRecord(file, "OSTRELCP", 4, "a test", out, error));
    EXPECT_EQ(error, "version 3, this program reads 4");
    EXPECT_FALSE(unframeRecord(file, "OTHERMAG", 3, "a test", out, error));
    EXPECT_EQ(error, "not a test file");
}

}  // namespace
}  // namespace ostrel
