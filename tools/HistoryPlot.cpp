#include "tools/HistoryPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Console.h"

namespace ostrel {

namespace {

constexpr double kWidth = 760, kPanelHeight = 170, kTop = 44, kGap = 34;
constexpr double kLeft = 84, kRight = 24, kBottom = 40;

std::string number(double value, const char* format = "%.6g") {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct Series {
    const char* name;
    const char* colour;
    double HistoryPoint::*value;
};

void panel(std::string& svg, const std::vector<HistoryPoint>& points, const Series& series,
           double top, int firstIteration, int lastIteration) {
    const double plotWidth = kWidth - kLeft - kRight;
    svg += "<g>\n<rect x=\"" + number(kLeft) + "\" y=\"" + number(top) + "\" width=\"" +
           number(plotWidth) + "\" height=\"" + number(kPanelHeight) +
           "\" fill=\"#fafafa\" stroke=\"#888\"/>\n";
    svg += "<text x=\"" + number(kLeft + 6) + "\" y=\"" + number(top + 16) + "\" fill=\"" +
           series.colour + "\" font-weight=\"bold\">" + series.name + "</text>\n";

    double lo = 0, hi = 0;
    bool any = false;
    for (const HistoryPoint& p : points) {
        const double v = p.*series.value;
        if (!std::isfinite(v)) continue;
        lo = any ? std::min(lo, v) : v;
        hi = any ? std::max(hi, v) : v;
        any = true;
    }
    if (!any) {
        svg += "<text x=\"" + number(kLeft + plotWidth / 2) + "\" y=\"" +
               number(top + kPanelHeight / 2) + "\" text-anchor=\"middle\" fill=\"#888\">no data"
               "</text>\n</g>\n";
        return;
    }
    if (hi - lo <= std::fabs(hi) * 1e-12) {  // a flat curve sits in the middle of its panel
        const double pad = hi != 0 ? std::fabs(hi) * 0.05 : 1.0;
        lo -= pad;
        hi += pad;
    }
    const double span = double(std::max(1, lastIteration - firstIteration));
    auto xOf = [&](int iteration) { return kLeft + plotWidth * (iteration - firstIteration) / span; };
    auto yOf = [&](double v) { return top + kPanelHeight * (1.0 - (v - lo) / (hi - lo)); };

    // Three value labels with grid lines: bottom, middle, top.
    for (int k = 0; k <= 2; ++k) {
        const double v = lo + (hi - lo) * k / 2.0;
        const double y = yOf(v);
        if (k == 1)
            svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(y) + "\" x2=\"" +
                   number(kLeft + plotWidth) + "\" y2=\"" + number(y) +
                   "\" stroke=\"#ddd\"/>\n";
        svg += "<text x=\"" + number(kLeft - 6) + "\" y=\"" + number(y + 4) +
               "\" text-anchor=\"end\">" + number(v, "%.4g") + "</text>\n";
    }

    // The curve, broken where a value is not finite.
    std::string path;
    bool penDown = false;
    for (const HistoryPoint& p : points) {
        const double v = p.*series.value;
        if (!std::isfinite(v)) {
            penDown = false;
            continue;
        }
        path += (penDown ? " L" : " M") + number(xOf(p.iteration), "%.2f") + "," +
                number(yOf(v), "%.2f");
        penDown = true;
    }
    svg += "<path d=\"" + path.substr(1) + "\" fill=\"none\" stroke=\"" + series.colour +
           "\" stroke-width=\"2\"/>\n";
    if (points.size() == 1)
        svg += "<circle cx=\"" + number(xOf(points[0].iteration), "%.2f") + "\" cy=\"" +
               number(yOf(points[0].*series.value), "%.2f") + "\" r=\"3\" fill=\"" +
               series.colour + "\"/>\n";
    svg += "</g>\n";
}

}  // namespace

std::string escapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string historySvg(const std::vector<HistoryPoint>& points, const std::string& title) {
    static const Series kSeries[] = {
        {"Compliance (total strain energy)", "#c0392b", &HistoryPoint::compliance},
        {"Volume fraction", "#2471a3", &HistoryPoint::volumeFraction},
        {"Sharpness", "#1e8449", &HistoryPoint::sharpness},
    };
    const int panels = 3;
    const double height = kTop + panels * kPanelHeight + (panels - 1) * kGap + kBottom;
    int first = 0, last = 0;
    if (!points.empty()) {
        first = last = points.front().iteration;
        for (const HistoryPoint& p : points) {
            first = std::min(first, p.iteration);
            last = std::max(last, p.iteration);
        }
    }

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth) +
           "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(kWidth) + " " +
           number(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + number(kWidth / 2) +
           "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">" + escapeXml(title) +
           "</text>\n";
    for (int k = 0; k < panels; ++k)
        panel(svg, points, kSeries[k], kTop + k * (kPanelHeight + kGap), first, last);

    // The shared iteration axis under the last panel.
    const double axisY = kTop + panels * kPanelHeight + (panels - 1) * kGap;
    const double plotWidth = kWidth - kLeft - kRight;
    for (int k = 0; k <= 4; ++k) {
        const double iteration = first + (last - first) * k / 4.0;
        svg += "<text x=\"" + number(kLeft + plotWidth * k / 4.0) + "\" y=\"" +
               number(axisY + 16) + "\" text-anchor=\"middle\">" + number(iteration, "%.0f") +
               "</text>\n";
    }
    svg += "<text x=\"" + number(kLeft + plotWidth / 2) + "\" y=\"" + number(axisY + 34) +
           "\" text-anchor=\"middle\">Iteration</text>\n";
    svg += "</svg>\n";
    return svg;
}

bool writeHistorySvg(const std::filesystem::path& file, const std::vector<HistoryPoint>& points,
                     const std::string& title, std::ostream* log) {
    const std::string target = file.string();
    const AtomicWriteResult result = writeFileAtomically(target, historySvg(points, title));
    if (!result && log)
        *log << "ERROR: Cannot write file " << quotedUtf8(target) << result.reasonSuffix() << "\n";
    return bool(result);
}

}  // namespace ostrel
