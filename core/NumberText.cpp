#include "core/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
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

/// True when `text` is a decimal real as the header says (the pattern only, not the range).
bool isDecimalReal(std::string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t mantissa = digits(text, i);
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits(text, i);
    }
    if (mantissa == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (digits(text, i) == 0) return false;
    }
    return i == text.size();
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

}  // namespace

bool readReal(std::string_view text, double& value) {
    if (!isDecimalReal(text)) return false;
    const bool negative = text.front() == '-';
    // from_chars reads no '+' and no locale: the pattern is checked above.
    if (text.front() == '+') text.remove_prefix(1);
    double parsed = 0;
    const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (r.ec == std::errc::result_out_of_range) {
        // Too large (refused) or too small (zero): the value is 0.d... x 10^power.
        if (decimalPower(text) > 0) return false;
        parsed = negative ? -0.0 : 0.0;
    } else if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

bool readWhole(std::string_view text, long long& value) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits(text, i) == 0 || i != text.size()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    long long parsed = 0;
    const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
    value = parsed;
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

}  // namespace ostrel
