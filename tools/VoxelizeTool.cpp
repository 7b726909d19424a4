// ostrel-voxelize MESH VOXEL_SIZE [OUT.obj|OUT.stl]
//
// Checks a mesh before it goes into a scene: reads the OBJ or STL file, prints the triangle
// count, the enclosed volume, the grid resolution, the number of occupied voxels and the
// timings, warns about an open surface and a voxel model in several pieces, and optionally
// writes the voxel model's surface (the 0/1 occupancy padded by one empty layer, extracted at
// 0.5), which is closed and faces outward: binary STL when OUT ends in ".stl", else OBJ.
// Results and timings on standard output, errors and warnings on standard error. Exit status:
// 0 done, 1 the mesh cannot be read, has no triangles or voxelizes wrongly, or the surface
// cannot be written, 2 bad command line.

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "core/MemoryLimit.h"
#include "core/NumberText.h"
#include "core/Timing.h"
#include "core/Version.h"
#include "geometry/DegenerateTriangles.h"
#include "geometry/MeshFile.h"
#include "geometry/TriangleMesh.h"
#include "tools/InputChecks.h"
#include "voxel/IsoSurface.h"
#include "voxel/VoxelPieces.h"
#include "voxel/Voxelizer.h"

namespace {

const char* const kUsage = "Usage: ostrel-voxelize MESH VOXEL_SIZE [OUT.obj|OUT.stl]\n";

const char* const kHelp =
    "Reads a closed triangle mesh (OBJ, or STL binary or ASCII, chosen by the file's content),\n"
    "voxelizes it with cubic voxels of edge VOXEL_SIZE as a scene would, and prints the\n"
    "triangle count, the enclosed volume, the mesh's box in its own coordinates and in a\n"
    "scene's world coordinates (where selections and keep boxes find it: the box moved to\n"
    "start at the origin), the grid resolution, the occupied voxels and the\n"
    "timings. An open surface and a voxel model in several pieces are reported as warnings.\n"
    "With OUT, writes the voxel model's surface: binary STL when OUT ends in .stl, else OBJ.\n"
    "\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "Exit status: 0 done, 1 the mesh cannot be read, has no triangles or voxelizes wrongly,\n"
    "or OUT cannot be written, 2 bad command line.\n";

int usageError(const std::string& message) {
    std::cerr << "ERROR: " << message << "\n"
              << kUsage << "Try 'ostrel-voxelize --help' for more information.\n";
    return 2;
}

bool endsWith(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size())
        return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) !=
            tail[i])
            return false;
    return true;
}

/// Reads the arguments into `args` (mesh, voxel size, optional output); -1 to go on, else the
/// exit status: 0 after the help or the version, 2 after a usage error.
int readVoxelizeArguments(int argc, char** argv, std::vector<std::string>& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage << kHelp;
            return 0;
        }
        if (a == "-V" || a == "--version") {
            std::cout << ostrel::versionLine("ostrel-voxelize");
            return 0;
        }
        if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1])) &&
            a[1] != '.')
            return usageError("Unknown option '" + a + "'");
        args.push_back(a);
    }
    if (args.size() < 2 || args.size() > 3)
        return usageError(args.size() < 2 ? "Give a mesh file and a voxel size"
                                          : "Unexpected argument '" + args[3] + "'");
    return -1;
}

/// Prints the mesh's counts, volume, box and closedness to `out`; false after the error when
/// it has no triangles.
bool reportMesh(ostrel::TriangleMesh& mesh, const std::wstring& meshName,
                std::wostream& out) {
    using namespace ostrel;
    out << L"Triangles: " << mesh.triangles.size() << L", vertices: " << mesh.vertices.size()
        << std::endl;
    if (mesh.triangles.empty()) {
        out << L"ERROR: The mesh " << quoted(meshName) << L" has no triangles" << std::endl;
        return false;
    }
    out << L"Volume: " << mesh.computeVolume() << std::endl;
    // Where selections and keep boxes of a scene of this mesh (without MESH_SCALE_TO or
    // MESH_TRANSFORMATION) find it.
    out << coordinateReport(Vec3d(mesh.center - mesh.halfSize), Vec3d(mesh.center + mesh.halfSize),
                            1.0)
        << std::endl;
    checkMeshClosed(mesh, meshName, &out);
    return true;
}

/// False after the error when voxels of edge `size` give the mesh a grid of more than 2e9
/// cells: a guard against grids too large to allocate (a voxel size far too small).
bool gridFits(const ostrel::TriangleMesh& mesh, double size, std::wostream& out) {
    double cells = 1.0;
    for (int a = 0; a < 3; ++a)
        cells *= std::ceil(2.0 * double(mesh.halfSize[a]) / size) + 2.0;
    if (cells > 2.0e9) {
        out << L"ERROR: Voxel size " << size << L" gives a grid of more than 2e9 cells"
            << std::endl;
        return false;
    }
    return true;
}

/// Extracts the surface of the voxel model `grid` (its occupancy padded by one empty layer, at
/// 0.5), prints its counts and time and writes it to `outFile` (STL or OBJ by the ending);
/// false when it cannot be written.
bool writeVoxelSurface(const ostrel::Volume<bool, double>& grid, const std::string& outFile,
                       std::wostream& out) {
    using namespace ostrel;
    const auto start = std::chrono::steady_clock::now();
    const Vec3i r = grid.resolution();
    Volume<double, double> field;
    const Vec3d sp = grid.spacing();
    field.init({r.x + 2, r.y + 2, r.z + 2}, sp, grid.offset() - sp, 0.0);
    for (int k = 0; k < r.z; ++k)
        for (int j = 0; j < r.y; ++j)
            for (int i = 0; i < r.x; ++i)
                if (grid(i, j, k))
                    field(i + 1, j + 1, k + 1) = 1.0;
    TriangleMesh surface;
    extractIsoSurface(field, 0.5, surface, false);
    removeDegenerateTriangles(surface);
    const double isoTime = secondsSince(start);
    out << L"Surface: " << surface.triangles.size() << L" triangles, "
        << surface.vertices.size() << L" vertices, volume " << surface.computeVolume()
        << std::endl;
    narrowOut() << "Iso-surface: " << isoTime << " s" << std::endl;
    const std::wstring outName = fromUtf8(outFile);
    return endsWith(outFile, ".stl") ? writeStl(surface, outName, &out)
                                     : surface.writeObj(outName, &out);
}

int runVoxelize(int argc, char** argv) {
    using namespace ostrel;
    // Results on standard output; errors and warnings (the mesh reader's too) on standard error.
    routeConsoleByKind();
    std::vector<std::string> args;
    if (const int status = readVoxelizeArguments(argc, argv, args); status >= 0) return status;
    std::wostream& out = wideOut();
    const std::wstring meshName = fromUtf8(args[0]);
    double size = 0;
    if (!readReal(args[1], size) || !(size > 0.0))
        return usageError("Invalid voxel size \"" + args[1] + "\"");

    exitOnFailedAllocation();
    auto start = std::chrono::steady_clock::now();
    TriangleMesh mesh;
    if (!readMeshFile(mesh, meshName, &out))
        return 1;
    const double readTime = secondsSince(start);
    if (!reportMesh(mesh, meshName, out) || !gridFits(mesh, size, out))
        return 1;
    start = std::chrono::steady_clock::now();
    Volume<bool, double> grid;
    const bool ok = voxelizeToBounds(mesh, grid, float(size), &out);
    const double voxelTime = secondsSince(start);
    size_t occupied = 0;
    for (size_t n = 0; n < grid.size(); ++n)
        occupied += grid.data()[n];
    const Vec3i r = grid.resolution();
    out << L"Grid resolution: " << r.x << L" x " << r.y << L" x " << r.z << std::endl;
    out << L"Occupied voxels: " << occupied << L" (volume " << double(occupied) * size * size * size
        << L")" << std::endl;
    narrowOut() << "Read: " << readTime << " s, voxelize: " << voxelTime << " s" << std::endl;
    if (!ok)
        out << L"WARNING: Voxelization lost crossings; the grid may be wrong" << std::endl;
    checkSinglePiece(voxelPieceSizes(grid), &out);

    if (args.size() == 3 && !writeVoxelSurface(grid, args[2], out))
        return 1;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    return ostrel::runProgram([&] { return runVoxelize(argc, argv); });
}
