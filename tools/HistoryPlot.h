#pragma once
// The course of a run as a self-contained SVG image: compliance, volume fraction and sharpness
// against the iteration, one panel each (their scales differ by orders of magnitude), sharing
// the iteration axis. Non-finite values are left out of the curves. No external fonts, styles
// or scripts, so the file opens in any browser or viewer.

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

struct HistoryPoint {
    int iteration = 0;
    double compliance = 0.0;   ///< total strain energy of the step's solve
    double volumeFraction = 0.0;
    double sharpness = 0.0;
};

/// The SVG document. `title` is shown above the panels (XML special characters escaped).
std::string historySvg(const std::vector<HistoryPoint>& points, const std::string& title);

/// Writes historySvg to `file` through a temporary file beside it and a rename, so an existing
/// plot is replaced whole or not at all. On failure prints one "ERROR: " line on `log`.
bool writeHistorySvg(const std::filesystem::path& file, const std::vector<HistoryPoint>& points,
                     const std::string& title, std::ostream* log);

/// `text` with &, <, >, " and ' replaced by XML entities.
std::string escapeXml(const std::string& text);

}  // namespace ostrel
