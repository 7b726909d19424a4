#include "tools/InputChecks.h"

#include <string>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "geometry/MeshChecks.h"
#include "voxel/VoxelPieces.h"

namespace ostrel {

bool checkMeshClosed(const TriangleMesh& mesh, const std::wstring& name, std::wostream* log) {
    const size_t open = boundaryEdgeCount(mesh);
    if (open == 0)
        return true;
    writeLine(log, L"WARNING: The mesh " + quoted(name) + L" is open: " + std::to_wstring(open) +
                       (open == 1 ? L" edge belongs" : L" edges belong") +
                       L" to one triangle only; its inside is not well defined, so the voxel "
                       L"model may miss or gain material at the holes");
    return false;
}

bool checkSinglePiece(const std::vector<size_t>& pieceSizes, std::wostream* log) {
    if (pieceSizes.size() <= 1)
        return true;
    constexpr size_t kListed = 6;
    std::wstring sizes;
    for (size_t i = 0; i < pieceSizes.size() && i < kListed; ++i)
        sizes += (i ? L", " : L"") + std::to_wstring(pieceSizes[i]);
    if (pieceSizes.size() > kListed)
        sizes += L" and " + std::to_wstring(pieceSizes.size() - kListed) + L" more";
    writeLine(log, L"WARNING: The voxel model falls into " + std::to_wstring(pieceSizes.size()) +
                       L" pieces that share no vertex (sizes " + sizes +
                       L" voxels); a piece without fixed vertices cannot be held in place");
    return false;
}

std::vector<size_t> elementPieceSizes(const FemModel& model) {
    if (model.elementDims_.empty())
        return {};
    const std::array<int, 3>& d = model.elementDims_[0];
    const std::vector<int>& grid = model.elementGrid_[0];
    return voxelPieceSizes({d[0], d[1], d[2]}, [&grid](size_t i) { return grid[i] >= 0; });
}

}  // namespace ostrel
