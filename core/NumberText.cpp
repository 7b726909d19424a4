#include "core/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace ostrel {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// Digits from `i` on; returns how many.
size_t digits(std::string_view text, size_t& i) {
    const size_t start = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    return i - start;
}

/// Length of the longest beginning of `text` that is a decimal real as the header says (the
/// pattern only, not the range); 0 when none is.
size_t realPrefixLength(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t mantissa = digits(text, i);
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits(text, i);
    }
    if (mantissa == 0) return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t exponent = i + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
        if (digits(text, exponent) > 0) i = exponent;
    }
    return i;
}

/// realPrefixLength for a scanner, which reads as formatted extraction does: an exponent mark
/// without digits after a number spoils it ("1e" and "1e+" read as nothing, not as 1).
size_t scannedRealLength(std::string_view text) {
    const size_t length = realPrefixLength(text);
    const bool brokenExponent =
        length > 0 && length < text.size() && (text[length] == 'e' || text[length] == 'E');
    return brokenExponent ? 0 : length;
}

/// Length of the longest beginning of `text` that is a whole number's pattern; 0 when none is.
size_t wholePrefixLength(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    return digits(text, i) > 0 ? i : 0;
}

bool isDecimalReal(std::string_view text) {
    return !text.empty() && realPrefixLength(text) == text.size();
}

/// For a decimal real with a digit other than 0: the power p with value = 0.d... x 10^p
/// (d the first digit other than 0), the exponent's digits saturated far beyond any double.
long long decimalPower(std::string_view text) {
    long long power = 0;
    bool significant = false, afterPoint = false;
    size_t i = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') afterPoint = true;
        if (!isDigit(c)) continue;
        if (!significant && c == '0') {
            power -= afterPoint ? 1 : 0;
            continue;
        }
        significant = true;
        power += afterPoint ? 0 : 1;
    }
    if (i < text.size()) {
        const bool negative = text[i + 1] == '-';
        long long exponent = 0;
        for (++i; i < text.size(); ++i)
            if (isDigit(text[i])) exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000000LL);
        power += negative ? -exponent : exponent;
    }
    return power;
}

template <typename Char>
bool isBlank(Char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

template <typename Char>
std::basic_string_view<Char> trimmed(std::basic_string_view<Char> text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

/// readReal for double and float: the pattern, then the nearest value of Real.
template <typename Real>
bool readDecimal(std::string_view text, Real& value) {
    if (!isDecimalReal(text)) return false;
    const bool negative = text.front() == '-';
    // from_chars reads no '+' and no locale: the pattern is checked above.
    if (text.front() == '+') text.remove_prefix(1);
    Real parsed = 0;
    const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large (refused) or too small (zero): the value is 0.d... x 10^power.
        if (decimalPower(text) > 0) return false;
        parsed = negative ? -Real(0) : Real(0);
    } else if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

bool readReal(std::string_view text, double& value) { return readDecimal(text, value); }
bool readReal(std::string_view text, float& value) { return readDecimal(text, value); }

bool readWhole(std::string_view text, long long& value) {
    if (text.empty() || wholePrefixLength(text) != text.size()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    long long parsed = 0;
    const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
    value = parsed;
    return true;
}

/// Reads the number at the scanner's place after its blanks with `prefixLength`'s pattern and
/// `read`'s rule; on success moves the place past it.
template <typename Value>
bool NumberScanner::scan(size_t (*prefixLength)(std::string_view),
                         bool (*read)(std::string_view, Value&), Value& value) {
    size_t start = at_;
    while (start < text_.size() && isBlank(text_[start])) ++start;
    const std::string_view text = std::string_view(text_).substr(start);
    const size_t length = prefixLength(text);
    if (length == 0 || !read(text.substr(0, length), value)) return false;
    at_ = start + length;
    return true;
}

bool NumberScanner::read(double& value) { return scan<double>(scannedRealLength, readReal, value); }
bool NumberScanner::read(float& value) { return scan<float>(scannedRealLength, readReal, value); }
bool NumberScanner::read(long long& value) {
    return scan<long long>(wholePrefixLength, readWhole, value);
}
bool NumberScanner::read(int& value) {
    const size_t before = at_;
    long long whole;
    if (!read(whole)) return false;
    if (whole < std::numeric_limits<int>::min() || whole > std::numeric_limits<int>::max()) {
        at_ = before;
        return false;
    }
    value = int(whole);
    return true;
}
bool NumberScanner::atEnd() const {
    return std::all_of(text_.begin() + long(at_), text_.end(), [](char c) { return isBlank(c); });
}

std::vector<std::wstring> blankSeparatedWords(std::wstring_view text) {
    std::vector<std::wstring> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) ++i;
        const size_t start = i;
        while (i < text.size() && !isBlank(text[i])) ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

bool readRealList(std::wstring_view text, std::vector<double>& values, std::wstring& notANumber) {
    values.clear();
    for (const std::wstring& word : blankSeparatedWords(text)) {
        double value;
        if (!readReal(asciiText(word), value)) {
            notANumber = word;
            return false;
        }
        values.push_back(value);
    }
    return true;
}

std::string_view trimBlanks(std::string_view text) { return trimmed(text); }
std::wstring_view trimBlanks(std::wstring_view text) { return trimmed(text); }

std::string asciiText(std::wstring_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text) {
        if (c < 0 || c > 0x7f) return {};
        narrow.push_back(char(c));
    }
    return narrow;
}

std::string scannableText(std::wstring_view text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text) narrow.push_back(c < 0 || c > 0x7f ? '\x7f' : char(c));
    return narrow;
}

}  // namespace ostrel
