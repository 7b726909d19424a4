// The one number reader: what a whole text must look like to be a real or a whole number, and
// how numbers are read from the start of a text or from a list of words.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/NumberText.h"

namespace ostrel {
namespace {

struct RealCase {
    const char* text;
    bool read;
    double value;
};

TEST(NumberText, RealsAreDecimalFiniteAndWhole) {
    const double denormal = 1e-320;
    const RealCase cases[] = {
        {"0.5", true, 0.5},       {"5.", true, 5},           {".5", true, 0.5},
        {"+2", true, 2},          {"-2.5e3", true, -2500},   {"1E-2", true, 0.01},
        {"1e+2", true, 100},      {"007", true, 7},          {"-0", true, -0.0},
        // Too small for a double: the nearest one, as the scene files have always read it.
        {"1e-320", true, denormal}, {"1e-400", true, 0},      {"-123.4e-999", true, -0.0},
        {"0.000001e-330", true, 0},
        // Too large, not decimal, not finite, not whole.
        {"1e400", false, 0},      {"123456e304", false, 0},  {"1e99999999999999999999", false, 0},
        {"0x1p-2", false, 0},     {"inf", false, 0},         {"nan", false, 0},
        {"", false, 0},           {"-", false, 0},           {".", false, 0},
        {"e5", false, 0},         {"1e", false, 0},          {"1e+", false, 0},
        {"1.2.3", false, 0},      {"+-1", false, 0},         {"1,5", false, 0},
        {" 1", false, 0},         {"1 ", false, 0},          {"\t1", false, 0},
        {"1x", false, 0},         {"1 2", false, 0},
    };
    for (const RealCase& c : cases) {
        double value = -7;
        EXPECT_EQ(readReal(c.text, value), c.read) << '"' << c.text << '"';
        if (c.read) {
            EXPECT_EQ(value, c.value) << c.text;
            EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << c.text;
        } else {
            EXPECT_EQ(value, -7) << "untouched: " << c.text;
        }
    }
}

TEST(NumberText, WholeNumbersAreDigitsWithASign) {
    struct Case {
        const char* text;
        bool read;
        long long value;
    };
    const Case cases[] = {
        {"0", true, 0},   {"42", true, 42},  {"+42", true, 42}, {"-42", true, -42},
        {"9223372036854775807", true, std::numeric_limits<long long>::max()},
        {"9223372036854775808", false, 0},    {"1.0", false, 0}, {"1e3", false, 0},
        {"", false, 0},   {"+", false, 0},   {" 1", false, 0},  {"1 ", false, 0},
        {"0x10", false, 0}, {"--1", false, 0},
    };
    for (const Case& c : cases) {
        long long value = -7;
        EXPECT_EQ(readWhole(c.text, value), c.read) << '"' << c.text << '"';
        EXPECT_EQ(value, c.read ? c.value : -7) << c.text;
    }
}

TEST(NumberText, BlanksAreTrimmedOnlyWhenAsked) {
    EXPECT_EQ(trimBlanks(" \t\r\n\v\f1.5 \t"), "1.5");
    EXPECT_EQ(trimBlanks(L"  x y  "), L"x y");
    EXPECT_EQ(trimBlanks("   "), "");
    EXPECT_EQ(asciiText(L"1.5e3"), "1.5e3");
    EXPECT_EQ(asciiText(L"1\u00b75"), "") << "no number holds a character beyond ASCII";
}

TEST(NumberText, SinglePrecisionRealsRoundOnceAndStayInRange) {
    struct Case {
        const char* text;
        bool read;
        float value;
    };
    const Case cases[] = {
        {"0.1", true, 0.1f},
        {"-1000", true, -1000.0f},
        {"3.4028234e38", true, std::numeric_limits<float>::max()},
        // Half-way between two floats after rounding to a double first: read once, it is the
        // float above (16777217 = 2^24 + 1 lies between 2^24 and 2^24 + 2; the extra digits
        // put it just above the midpoint).
        {"16777217.0000000001", true, 16777218.0f},
        {"1e-50", true, 0.0f},
        {"3.5e38", false, 0},
        {"1e39", false, 0},
        {"inf", false, 0},
        {"1.5f", false, 0},
    };
    for (const Case& c : cases) {
        float value = -7;
        EXPECT_EQ(readReal(c.text, value), c.read) << '"' << c.text << '"';
        EXPECT_EQ(value, c.read ? c.value : -7.0f) << c.text;
    }
}

TEST(NumberText, AScannerReadsNumbersFromTheStartOfATextLikeFormattedExtraction) {
    // Each row: the text, then what three reads (real, whole, real) give; 'x' for a failed read.
    struct Case {
        const char* text;
        const char* real1;
        const char* whole;
        const char* real2;
    };
    const Case cases[] = {
        {"1.5 2 3.25", "1.5", "2", "3.25"},
        {"  \t0.5 mm", "0.5", "x", "x"},    // a unit word stops the reading, it is not refused
        {"1e 7 8", "x", "x", "x"},          // "e" with no digits spoils the number
        {"1E+x", "x", "x", "x"},
        {"5 1e3", "5", "1", "x"},           // the whole number stops at the exponent mark
        {"-2.5e-1 +7 .5", "-0.25", "7", "0.5"},
        {"3.7 4 5", "3.7", "4", "5"},
        {"4 3.7 9", "4", "3", "0.7"},       // a whole number stops at the point
        {"", "x", "x", "x"},
        {"abc", "x", "x", "x"},
        {"0x10 5", "0", "x", "x"},          // hexadecimal is read as its leading 0
        {"1e400 2", "x", "x", "x"},         // too large
    };
    for (const Case& c : cases) {
        NumberScanner in(c.text);
        double a = -7, b = -7;
        long long w = -7;
        const bool readA = in.read(a);
        const bool readW = readA && in.read(w);
        const bool readB = readW && in.read(b);
        auto expect = [&](const char* want, bool read, double got, const char* what) {
            if (std::string(want) == "x") {
                EXPECT_FALSE(read) << c.text << ": " << what;
                EXPECT_EQ(got, -7) << c.text << ": " << what << " untouched";
            } else {
                EXPECT_TRUE(read) << c.text << ": " << what;
                EXPECT_EQ(got, std::stod(want)) << c.text << ": " << what;
            }
        };
        expect(c.real1, readA, a, "first real");
        if (readA) expect(c.whole, readW, double(w), "whole number");
        if (readW) expect(c.real2, readB, b, "second real");
    }
    NumberScanner floats("1 2.5");
    float f = 0;
    EXPECT_TRUE(floats.read(f));
    EXPECT_EQ(f, 1.0f);
    EXPECT_TRUE(floats.read(f));
    EXPECT_EQ(f, 2.5f);
    EXPECT_FALSE(floats.read(f)) << "nothing left";
    EXPECT_EQ(f, 2.5f);
    EXPECT_TRUE(floats.atEnd());

    // A whole number beyond int is refused and left where it stands, so the text is not at its
    // end: a list read until a read fails can tell that it stopped early.
    NumberScanner ints(" 2147483647 -2147483648 2147483648 ");
    int i = 0;
    EXPECT_TRUE(ints.read(i));
    EXPECT_EQ(i, 2147483647);
    EXPECT_TRUE(ints.read(i));
    EXPECT_EQ(i, -2147483647 - 1);
    EXPECT_FALSE(ints.read(i));
    EXPECT_EQ(i, -2147483647 - 1);
    EXPECT_FALSE(ints.atEnd());
    long long wide = 0;
    EXPECT_TRUE(ints.read(wide));
    EXPECT_EQ(wide, 2147483648LL);
    EXPECT_TRUE(ints.atEnd()) << "trailing blanks only";
}

TEST(NumberText, ListsAreBlankSeparatedWordsEachReadWhole) {
    EXPECT_EQ(blankSeparatedWords(L" a\tbc \r\n d "), (std::vector<std::wstring>{L"a", L"bc", L"d"}));
    EXPECT_TRUE(blankSeparatedWords(L" \t ").empty());

    std::vector<double> values;
    std::wstring bad;
    EXPECT_TRUE(readRealList(L" 1 -2.5\t3e2 ", values, bad));
    EXPECT_EQ(values, (std::vector<double>{1, -2.5, 300}));
    EXPECT_TRUE(readRealList(L"", values, bad));
    EXPECT_TRUE(values.empty());
    const std::pair<const wchar_t*, const wchar_t*> refused[] = {
        {L"1 2x 3", L"2x"}, {L"1 inf", L"inf"}, {L"0x1 2", L"0x1"}, {L"1 \u00b52", L"\u00b52"},
        {L"1,5", L"1,5"},
    };
    for (const auto& [text, word] : refused) {
        bad.clear();
        EXPECT_FALSE(readRealList(text, values, bad)) << text;
        EXPECT_EQ(bad, word) << text;
    }

    EXPECT_EQ(scannableText(L"0.5 \u00b5m"), "0.5 \x7fm");
    NumberScanner in(scannableText(L"2\u00b5"));
    double v = 0;
    EXPECT_TRUE(in.read(v)) << "a character beyond ASCII ends a number";
    EXPECT_EQ(v, 2);
}

}  // namespace
}  // namespace ostrel
