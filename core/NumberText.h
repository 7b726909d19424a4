#pragma once
// One reader of numbers written as text, read whole: the command lines' numbers and the scene
// file's single-number values.
//
// A real is decimal: an optional sign, digits with an optional decimal point (at least one
// digit), an optional exponent (e or E, an optional sign, digits). Nothing may stand before or
// after it, blanks included (a caller that allows blanks around a value strips them with
// trimBlanks). Hexadecimal, "inf", "nan" and values too large for a double are refused; a value
// too small for one reads as the nearest double (a denormal, or zero with its sign), as the
// scene files have always read it.
// A whole number is an optional sign and decimal digits, within the range of long long.

#include <string>
#include <string_view>

namespace ostrel {

bool readReal(std::string_view text, double& value);
bool readWhole(std::string_view text, long long& value);

/// `text` without the blanks at both ends (space, tab, line feed, carriage return, vertical tab,
/// form feed).
std::string_view trimBlanks(std::string_view text);
/// The same for wide text.
std::wstring_view trimBlanks(std::wstring_view text);

/// Wide text whose characters are all ASCII as narrow text; empty when any is not (no number
/// holds such a character).
std::string asciiText(std::wstring_view text);

}  // namespace ostrel
