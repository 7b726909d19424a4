// ostrel-voxelize MESH.obj VOXEL_SIZE [OUT.obj]
//
// Checks a mesh before it goes into a scene: reads the OBJ, prints the triangle count, the
// enclosed volume, the grid resolution, the number of occupied voxels and the timings, and
// optionally writes the voxel model's surface (the 0/1 occupancy padded by one empty layer,
// extracted at 0.5), which is closed and faces outward.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>

#include "core/Console.h"
#include "core/Timing.h"
#include "geometry/TriangleMesh.h"
#include "voxel/IsoSurface.h"
#include "voxel/Voxelizer.h"

int main(int argc, char** argv) {
    using namespace ostrel;
    std::wostream& out = wideOut();
    if (argc < 3 || argc > 4) {
        out << L"Usage: ostrel-voxelize MESH.obj VOXEL_SIZE [OUT.obj]" << std::endl;
        return 2;
    }
    const std::wstring meshName = fromUtf8(argv[1]);
    char* end = nullptr;
    const double size = std::strtod(argv[2], &end);
    if (end == argv[2] || *end != '\0' || !(size > 0.0) || !std::isfinite(size)) {
        out << L"ERROR: Invalid voxel size \"" << fromUtf8(argv[2]) << L"\"" << std::endl;
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    TriangleMesh mesh;
    if (!mesh.readObj(meshName, &out)) return 1;
    const double readTime = secondsSince(start);
    out << L"Triangles: " << mesh.triangles.size() << L", vertices: " << mesh.vertices.size()
        << std::endl;
    out << L"Volume: " << mesh.computeVolume() << std::endl;

    // Guard against grids too large to allocate (a voxel size far too small for the mesh).
    double cells = 1.0;
    for (int a = 0; a < 3; ++a) cells *= std::ceil(2.0 * double(mesh.halfSize[a]) / size) + 2.0;
    if (cells > 2.0e9) {
        out << L"ERROR: Voxel size " << size << L" gives a grid of more than 2e9 cells"
            << std::endl;
        return 1;
    }
    start = std::chrono::steady_clock::now();
    Volume<bool, double> grid;
    const bool ok = voxelizeToBounds(mesh, grid, float(size), &out);
    const double voxelTime = secondsSince(start);
    size_t occupied = 0;
    for (size_t n = 0; n < grid.size(); ++n) occupied += grid.data()[n];
    const Vec3i r = grid.resolution();
    out << L"Grid resolution: " << r.x << L" x " << r.y << L" x " << r.z << std::endl;
    out << L"Occupied voxels: " << occupied << L" (volume " << double(occupied) * size * size * size
        << L")" << std::endl;
    narrowOut() << "Read: " << readTime << " s, voxelize: " << voxelTime << " s" << std::endl;
    if (!ok) out << L"WARNING: Voxelization lost crossings; the grid may be wrong" << std::endl;

    if (argc == 4) {
        start = std::chrono::steady_clock::now();
        Volume<double, double> field;
        const Vec3d sp = grid.spacing();
        field.init({r.x + 2, r.y + 2, r.z + 2}, sp, grid.offset() - sp, 0.0);
        for (int k = 0; k < r.z; ++k)
            for (int j = 0; j < r.y; ++j)
                for (int i = 0; i < r.x; ++i)
                    if (grid(i, j, k)) field(i + 1, j + 1, k + 1) = 1.0;
        TriangleMesh surface;
        extractIsoSurface(field, 0.5, surface, false);
        const double isoTime = secondsSince(start);
        out << L"Surface: " << surface.triangles.size() << L" triangles, "
            << surface.vertices.size() << L" vertices, volume " << surface.computeVolume()
            << std::endl;
        narrowOut() << "Iso-surface: " << isoTime << " s" << std::endl;
        if (!surface.writeObj(fromUtf8(argv[3]), &out)) return 1;
    }
    return ok ? 0 : 1;
}
