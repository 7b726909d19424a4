#include <gtest/gtest.h>

#include <ostream>

#include "core/Console.h"

namespace ostrel {
namespace {

TEST(Console, Utf8RoundTrip) {
    const std::wstring text = L"Sz\u00e9ne \u2192 \U0001F600 ok";
    EXPECT_EQ(toUtf8(text), "Sz\xc3\xa9ne \xe2\x86\x92 \xf0\x9f\x98\x80 ok");
    EXPECT_EQ(fromUtf8(toUtf8(text)), text);
}

TEST(Console, InvalidUtf8BecomesReplacementCharacter) {
    EXPECT_EQ(fromUtf8("a\xff" "b"), L"a\uFFFDb");
    EXPECT_EQ(fromUtf8("\xe2\x86"), L"\uFFFD\uFFFD");
    EXPECT_EQ(fromUtf8(""), L"");
}

TEST(Console, WideAndNarrowKeepProgramOrder) {
    testing::internal::CaptureStdout();
    wideOut() << L"wide \u00e9 " << 42;
    narrowOut() << " narrow ";
    wideOut() << L"wide again" << std::endl;
    narrowOut() << "end\n" << std::flush;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wide \xc3\xa9 42 narrow wide again\nend\n");
}

}  // namespace
}  // namespace ostrel
