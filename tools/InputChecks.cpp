#include "tools/InputChecks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

namespace {

std::wstring triple(const Vec3d& v) {
    char text[96];
    std::snprintf(text, sizeof text, "%.7g %.7g %.7g", v.x == 0 ? 0.0 : v.x, v.y == 0 ? 0.0 : v.y,
                  v.z == 0 ? 0.0 : v.z);
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

}  // namespace

std::wstring coordinateReport(const Vec3d& meshLo, const Vec3d& meshHi, double factor) {
    const Vec3d size = (meshHi - meshLo) * factor, offset = meshLo * -factor;
    char scale[32];
    std::snprintf(scale, sizeof scale, "%.7g", factor);
    return L"Mesh coordinates: box (" + triple(meshLo) + L") to (" + triple(meshHi) + L")\n" +
           L"World coordinates: box (0 0 0) to (" + triple(size) + L") = mesh coordinates x " +
           std::wstring(scale, scale + std::char_traits<char>::length(scale)) + L" + (" +
           triple(offset) + L")";
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
    const std::array<int, 3>& d = model.elementDims(0);
    const std::vector<int>& grid = model.elementGrid(0);
    return voxelPieceSizes({d[0], d[1], d[2]}, [&grid](size_t i) { return grid[i] >= 0; });
}

int launchedProcesses(const std::function<const char*(const char*)>& environment) {
    const auto lookUp = [&](const char* name) -> const char* {
        return environment ? environment(name) : std::getenv(name);
    };
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE"}) {
        const char* value = lookUp(name);
        if (!value || !*value) continue;
        char* end = nullptr;
        errno = 0;
        const long count = std::strtol(value, &end, 10);
        if (errno == 0 && *end == '\0' && count >= 1 && count <= 1L << 30) return int(count);
    }
    return 1;
}

std::string launchedTogetherError(const std::string& program, int processes) {
    if (processes <= 1) return {};
    return "ERROR: " + program + " is one of " + std::to_string(processes) +
           " processes that mpirun or srun started, each of which would run the whole problem "
           "alone: give --engine petsc to share it among them, or start " +
           program + " without mpirun";
}

}  // namespace ostrel
