// The one number reader: what a whole text must look like to be a real or a whole number.

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

}  // namespace
}  // namespace ostrel
