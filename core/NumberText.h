#pragma once
// One reader of numbers written as text: the command lines' numbers, the scene file's values and
// lists, read either whole or as the start of a text.
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
#include <utility>
#include <vector>

namespace ostrel {

bool readReal(std::string_view text, double& value);
/// The same pattern read as the nearest single-precision value; beyond its range is refused.
bool readReal(std::string_view text, float& value);
bool readWhole(std::string_view text, long long& value);

/// Reads numbers one after another from the start of a text, the way the scene file's typed
/// values are read: blanks before a number are skipped, and a number is the longest beginning of
/// the rest that has the pattern above ("3.7" read as a whole number gives 3 and leaves ".7"),
/// where an exponent mark without digits spoils a real ("1e" is none). What follows the numbers
/// asked for is never looked at, so a unit word after a value does no harm. A failed read leaves
/// its target and the scanner's place unchanged.
class NumberScanner {
public:
    explicit NumberScanner(std::string text) : text_(std::move(text)) {}
    bool read(double& value);
    bool read(float& value);
    bool read(long long& value);
    /// A whole number within the range of int.
    bool read(int& value);
    /// Only blanks are left.
    bool atEnd() const;

private:
    template <typename Value>
    bool scan(size_t (*prefixLength)(std::string_view), bool (*read)(std::string_view, Value&),
              Value& value);

    std::string text_;
    size_t at_ = 0;  ///< where the next number is looked for
};

/// The words of `text` between blanks, in order.
std::vector<std::wstring> blankSeparatedWords(std::wstring_view text);

/// Every word of `text` read whole as a real. On a word that is not one, returns false with that
/// word in `notANumber` (`values` then holds the reals before it).
bool readRealList(std::wstring_view text, std::vector<double>& values, std::wstring& notANumber);

/// `text` without the blanks at both ends (space, tab, line feed, carriage return, vertical tab,
/// form feed).
std::string_view trimBlanks(std::string_view text);
/// The same for wide text.
std::wstring_view trimBlanks(std::wstring_view text);

/// Wide text whose characters are all ASCII as narrow text; empty when any is not (no number
/// holds such a character).
std::string asciiText(std::wstring_view text);
/// Wide text as narrow text for a NumberScanner: a character beyond ASCII becomes DEL, which
/// ends a number and is no blank.
std::string scannableText(std::wstring_view text);

}  // namespace ostrel
