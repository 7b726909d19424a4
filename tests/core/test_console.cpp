#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>

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

TEST(Console, QuotedNamesStayOnOneLine) {
    const struct {
        std::wstring name, shown;
    } cases[] = {
        {L"plain/name.obj", L"\"plain/name.obj\""},
        {L"", L"\"\""},
        {L"nl\nname", L"\"nl\\nname\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"back\\slash", L"\"back\\\\slash\""},
        {L"tab\tcr\r", L"\"tab\\tcr\\r\""},
        {L"bell\x07" L"del\x7F" L" csi\x9B", L"\"bell\\x07del\\x7F csi\\x9B\""},
        {L"\u00e4\u4e2d", L"\"\u00e4\u4e2d\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ostrel::quoted(c.name), c.shown);
        EXPECT_EQ(ostrel::quotedUtf8(ostrel::toUtf8(c.name)), ostrel::toUtf8(c.shown));
    }
}

TEST(Console, WideAndNarrowKeepProgramOrder) {
    testing::internal::CaptureStdout();
    wideOut() << L"wide \u00e9 " << 42;
    narrowOut() << " narrow ";
    wideOut() << L"wide again" << std::endl;
    narrowOut() << "end\n" << std::flush;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "wide \xc3\xa9 42 narrow wide again\nend\n");
}

// The line router sorts whole lines, however they arrive, and drops the others when asked.
TEST(Console, LineRouterSortsWholeLinesByKind) {
    struct Case {
        const char* name;
        bool keepOthers;
        std::string others, messages;
    };
    const std::string input =
        "Mesh #Triangles: 12\nWARNING: The mesh \"a\" is open\nTime: "
        "ERROR: not at the start\n  ERROR: indented\nERROR: Cannot load scene \"s\"\nNote: a note\nERROR: last";
    for (const Case& c :
         {Case{"both", true,
               "Mesh #Triangles: 12\nTime: ERROR: not at the start\n  ERROR: indented\n"
               "Note: a note\n",
               "WARNING: The mesh \"a\" is open\nERROR: Cannot load scene \"s\"\nERROR: last\n"},
          Case{"messages only", false, "",
               "WARNING: The mesh \"a\" is open\nERROR: Cannot load scene \"s\"\nERROR: last\n"}}) {
        std::stringbuf others, messages;
        ConsoleLineRouter router(c.keepOthers ? &others : nullptr, &messages);
        std::ostream stream(&router);
        // In pieces of every size, so that lines end inside a piece and span pieces.
        for (size_t at = 0, size = 1; at < input.size(); at += size, size = size % 7 + 1)
            stream << input.substr(at, size);
        stream.flush();
        EXPECT_EQ(messages.str().find("ERROR: last"), std::string::npos) << "no line end yet";
        router.finish();
        EXPECT_EQ(others.str(), c.others) << c.name;
        EXPECT_EQ(messages.str(), c.messages) << c.name;
    }
}

}  // namespace
}  // namespace ostrel
