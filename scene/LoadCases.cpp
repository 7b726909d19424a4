#include "scene/LoadCases.h"

#include "core/NumberText.h"

namespace ostrel {
namespace {

constexpr wchar_t kCasePrefix[] = L"FORCES_CASE_";
constexpr size_t kCasePrefixLength = sizeof(kCasePrefix) / sizeof(kCasePrefix[0]) - 1;
// Case numbers beyond this are refused as keys (a number that large is a typo).
constexpr int kMaxCaseNumber = 999;

}  // namespace

std::wstring loadCaseKey(int number) {
    return number == 1 ? std::wstring(L"FORCES") : kCasePrefix + std::to_wstring(number);
}

int loadCaseNumber(const std::wstring& key) {
    if (key.size() <= kCasePrefixLength || key.compare(0, kCasePrefixLength, kCasePrefix) != 0)
        return 0;
    const std::wstring digits = key.substr(kCasePrefixLength);
    if (digits.size() > 3 || digits[0] == L'0') return 0;
    int number = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return 0;
        number = 10 * number + int(c - L'0');
    }
    return number >= 2 && number <= kMaxCaseNumber ? number : 0;
}

bool parseLoadCaseWeights(const std::wstring& text, int cases, std::vector<double>& weights,
                          std::wstring& why) {
    std::vector<double> listed;
    for (const std::wstring& word : blankSeparatedWords(text)) {
        double w;
        if (!readReal(asciiText(word), w)) {
            why = L"holds '" + word + L"', which is not a number";
            return false;
        }
        if (w < 0) {
            why = L"gives load case " + std::to_wstring(listed.size() + 1) + L" the weight " +
                  word + L": a weight must not be negative";
            return false;
        }
        listed.push_back(w);
    }
    if (listed.empty()) {
        why = L"lists no weight";
        return false;
    }
    if (int(listed.size()) > cases) {
        why = L"lists " + std::to_wstring(listed.size()) + L" weights for " +
              std::to_wstring(cases) + (cases == 1 ? L" load case" : L" load cases");
        return false;
    }
    weights.assign(size_t(cases), 1.0);
    bool positive = false;
    for (size_t c = 0; c < listed.size(); ++c) weights[c] = listed[c];
    for (double w : weights) positive = positive || w > 0;
    if (!positive) {
        why = L"gives every load case the weight 0";
        return false;
    }
    return true;
}

}  // namespace ostrel
