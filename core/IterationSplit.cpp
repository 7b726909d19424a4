#include "core/IterationSplit.h"

#include <algorithm>
#include <cstdio>

namespace ostrel {

namespace {

std::string partLine(const std::string& name, double seconds) {
    std::string line = "  " + name;
    line.resize(std::max<size_t>(22, line.size() + 2), ' ');
    char number[32];
    std::snprintf(number, sizeof number, "%5.1f ms\n", seconds * 1000.0);
    return line + number;
}

}  // namespace

std::string formatIterationSplit(long long elements, const std::string& deviceName,
                                 const std::vector<SplitPart>& parts) {
    std::string text = "Split of one design iteration: " + std::to_string(elements) +
                       " elements, " + deviceName + "\n";
    double total = 0;
    for (const SplitPart& part : parts) {
        text += partLine(part.name, part.seconds);
        total += part.seconds;
    }
    return text + partLine("total", total);
}

}  // namespace ostrel
