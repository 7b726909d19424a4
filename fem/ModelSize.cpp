#include "fem/ModelSize.h"

#include <algorithm>
#include <vector>

namespace ostrel {

ModelSize measureModel(const Volume<bool, double>& voxels) {
    ModelSize size;
    const Vec3i r = voxels.resolution();
    const bool* data = voxels.data();
    if (!data || r.x <= 0 || r.y <= 0 || r.z <= 0) return size;
    int lo[3] = {r.x, r.y, r.z}, hi[3] = {-1, -1, -1};
    for (int z = 0; z < r.z; ++z)
        for (int y = 0; y < r.y; ++y) {
            const bool* row = data + voxels.index(0, y, z);
            for (int x = 0; x < r.x; ++x)
                if (row[x]) {
                    ++size.elements;
                    lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
                    lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
                    lo[2] = std::min(lo[2], z), hi[2] = std::max(hi[2], z);
                }
        }
    if (size.elements == 0) return size;
    for (int a = 0; a < 3; ++a) size.extent[size_t(a)] = hi[a] - lo[a] + 1;

    // Grid point (x, y, z) is a vertex when one of the cells (x-1..x, y-1..y, z-1..z) is
    // occupied: OR the four cell rows around each point row, then look at two neighbours in x.
    std::vector<uint8_t> any(size_t(r.x) + 2);
    for (int z = 0; z <= r.z; ++z)
        for (int y = 0; y <= r.y; ++y) {
            std::fill(any.begin(), any.end(), uint8_t(0));
            bool rowUsed = false;
            for (int k = z - 1; k <= z; ++k)
                for (int j = y - 1; j <= y; ++j) {
                    if (k < 0 || j < 0 || k >= r.z || j >= r.y) continue;
                    const bool* row = data + voxels.index(0, j, k);
                    for (int x = 0; x < r.x; ++x) any[size_t(x) + 1] |= uint8_t(row[x]);
                    rowUsed = true;
                }
            if (!rowUsed) continue;
            for (int x = 0; x <= r.x; ++x)
                if (any[size_t(x)] | any[size_t(x) + 1]) ++size.vertices;
        }
    return size;
}

std::wstring modelSizeError(const ModelSize& size, int numLevels) {
    if (numLevels < kMinLevels || numLevels > kMaxLevels)
        return L"ERROR: #Levels must be between " + std::to_wstring(kMinLevels) + L" and " +
               std::to_wstring(kMaxLevels) + L", not " + std::to_wstring(numLevels);
    if (size.elements == 0) return L"ERROR: Voxel model is empty";
    if (size.extent[0] + 1 >= 2048 || size.extent[1] + 1 >= 2048 || size.extent[2] + 1 >= 1024)
        return L"ERROR: Voxel model extents are too large";
    if (size.elements > kMaxModelElements || size.vertices > kMaxModelVertices)
        return L"ERROR: Voxel model of " + std::to_wstring(size.elements) + L" elements and " +
               std::to_wstring(size.vertices) + L" vertices is too large (at most " +
               std::to_wstring(kMaxModelElements) + L" elements and " +
               std::to_wstring(kMaxModelVertices) + L" vertices)";
    return {};
}

}  // namespace ostrel
