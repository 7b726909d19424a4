#include "scene/SymmetryPlanes.h"

#include <sstream>

#include "core/NumberText.h"

namespace ostrel {

const wchar_t* axisName(int axis) {
    static const wchar_t* names[] = {L"x", L"y", L"z"};
    return axis >= 0 && axis < 3 ? names[axis] : L"?";
}

std::wstring describePlane(const SymmetryPlane& plane) {
    if (plane.centre) return std::wstring(L"the centre plane normal to ") + axisName(plane.axis);
    std::wostringstream text;
    text << axisName(plane.axis) << L" = " << plane.coordinate;
    return text.str();
}

bool parseSymmetryPlanes(const std::wstring& text, std::vector<SymmetryPlane>& planes,
                         std::wstring& why) {
    planes.clear();
    const std::vector<std::wstring> tokens = blankSeparatedWords(text);
    bool seen[3] = {false, false, false};
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::wstring& token = tokens[i];
        int axis = -1;
        if (token == L"x" || token == L"X") axis = 0;
        if (token == L"y" || token == L"Y") axis = 1;
        if (token == L"z" || token == L"Z") axis = 2;
        if (axis < 0) {
            double ignored;
            why = readReal(asciiText(token), ignored)
                      ? L"has the number " + token + L" where an axis (x, y or z) belongs"
                      : L"names the unknown axis '" + token + L"' (the axes are x, y and z)";
            return false;
        }
        if (seen[axis]) {
            why = std::wstring(L"names the axis ") + axisName(axis) + L" twice";
            return false;
        }
        seen[axis] = true;
        SymmetryPlane plane;
        plane.axis = axis;
        // An optional coordinate follows the axis.
        double value;
        if (i + 1 < tokens.size() && readReal(asciiText(tokens[i + 1]), value)) {
            plane.centre = false;
            plane.coordinate = value;
            ++i;
        }
        planes.push_back(plane);
    }
    if (planes.empty()) {
        why = L"holds no plane (write an axis, x, y or z, and optionally its coordinate)";
        return false;
    }
    return true;
}

}  // namespace ostrel
