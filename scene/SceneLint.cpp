#include "scene/SceneLint.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "core/Console.h"
#include "core/InputFile.h"
#include "core/NumberText.h"
#include "scene/KeyValueFile.h"
#include "scene/LoadCases.h"

namespace ostrel {
namespace {

size_t editDistance(const std::wstring& a, const std::wstring& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

const std::vector<std::wstring>& knownSceneKeys() {
    static const std::vector<std::wstring> keys = {
        L"VOXEL_SIZE", L"ELASTIC_MODULUS", L"POISSON_RATIO", L"DENSITY", L"DAMPING_FACTOR",
        L"TIME_STEP", L"GRAVITY", L"MESH", L"MESH_SCALE_TO", L"MESH_TRANSFORMATION", L"NUM_LEVELS",
        L"ADD_ADDITIONAL_SURFACE_VOXELS", L"FIXED_VERTICES", L"FORCES",
        L"RENDERER_DEFAULT_VIEW_POS", L"RENDERER_DEFAULT_HEADING_PITCH_ROLL", L"RENDERER_LIGHT_POS",
        L"RENDERER_LIGHT_DIR", L"RENDERER_LIGHT_UP", L"EDITOR_VERTEX_HANDLE_RADIUS",
        L"EDITOR_FORCE_SPHERE_RADIUS", L"EDITOR_FORCE_PER_PIXEL", L"EDITOR_FORCE_ARROW_SCALING",
        // The optimizer's settings.
        L"OPTIMIZATION_VOLUME_FRACTION", L"OPTIMIZATION_FILTER_RADIUS", L"OPTIMIZATION_PROJECTION",
        L"OPTIMIZATION_MIN_MEMBER",
        L"KEEP_SOLID_BOXES", L"KEEP_EMPTY_BOXES", L"SYMMETRY_PLANES", L"LOAD_CASE_WEIGHTS"};
    return keys;
}

std::wstring closestSceneKey(const std::wstring& key) {
    const std::wstring upper = upperCaseKey(key);
    const std::vector<std::wstring>& keys = knownSceneKeys();
    if (std::find(keys.begin(), keys.end(), upper) != keys.end() || loadCaseNumber(upper) > 0)
        return {};
    std::wstring best;
    size_t bestDistance = SIZE_MAX;
    for (const std::wstring& known : keys) {
        const size_t d = editDistance(upper, known);
        const size_t limit = std::max<size_t>(2, std::min(upper.size(), known.size()) / 3);
        if (d <= limit && d < bestDistance) {
            best = known;
            bestDistance = d;
        }
    }
    return best;
}

std::vector<std::wstring> lintSceneFile(const std::wstring& fileName) {
    std::vector<std::wstring> warnings;
    // A FIFO or device is left to the reader, which refuses it without opening it.
    if (!isOpenableAsFile(toUtf8(fileName)))
        return warnings;
    std::ifstream file(toUtf8(fileName), std::ios::in | std::ios::binary);
    if (!file)
        return warnings;
    const std::vector<std::wstring>& keys = knownSceneKeys();
    std::string bytes;
    long lineNumber = 0;
    while (std::getline(file, bytes)) {
        ++lineNumber;
        // The file is single-byte text: each byte one character, as the key-value reader has it.
        std::wstring line(bytes.size(), L'\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            line[i] = wchar_t(static_cast<unsigned char>(bytes[i]));
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos)
            continue;  // not an entry; the reader reports it
        const std::vector<std::wstring> keyWords = blankSeparatedWords(line.substr(0, colon));
        if (keyWords.empty() || keyWords[0].compare(0, 2, L"//") == 0)
            continue;
        if (keyWords.size() > 1)
            continue;  // invalid key syntax; the reader reports it
        const std::wstring key = upperCaseKey(keyWords[0]);
        if (std::find(keys.begin(), keys.end(), key) != keys.end() || loadCaseNumber(key) > 0)
            continue;
        std::wstring warning = L"WARNING: Unknown key " + quoted(key) + L" in line " +
                               std::to_wstring(lineNumber) + L" of file " + quoted(fileName);
        const std::wstring meant = closestSceneKey(key);
        if (!meant.empty())
            warning += L"; did you mean " + quoted(meant) + L"?";
        warnings.push_back(warning);
    }
    return warnings;
}

}  // namespace ostrel
