#include "tools/SmoothShape.h"

#include <ostream>
#include <system_error>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "geometry/MeshFile.h"

namespace ostrel {

Volume<double, double> filteredDensityField(const FemModel& model, const DesignSnapshot& state) {
    Volume<double, double> field;
    if (!state.valid()) return field;
    const std::array<int, 3>& d = model.elementDims(0);
    const Vec3d& s = model.voxelSize();
    const Vec3d& o = model.origin();
    field.init({d[0] + 2, d[1] + 2, d[2] + 2}, s, {o.x - s.x, o.y - s.y, o.z - s.z}, 0.0);
    const std::vector<uint32_t>& positions = model.elementPosition(0);
    for (size_t e = 0; e < state.filtered.size(); ++e) {
        const GridPos p = unpack(positions[e]);
        double value = double(state.filtered[e]);
        if (state.kept[e])
            value = 1.0;
        else if (state.emptyHeld[e])
            value = 0.0;
        field(p.x + 1, p.y + 1, p.z + 1) = value;
    }
    return field;
}

bool smoothShape(const FemModel& model, const DesignSnapshot& state, TriangleMesh& mesh,
                 SmoothSurfaceReport& report, const SmoothSurfaceOptions& options) {
    const Volume<double, double> field = filteredDensityField(model, state);
    const Vec3d& s = model.voxelSize();
    return field.valid() && extractSmoothSurface(field, state.totalDensity * s.x * s.y * s.z,
                                                 mesh, report, options);
}

SmoothSurfaceOptions boundedBy(const TriangleMesh& mesh) {
    SmoothSurfaceOptions options;
    options.bounded = true;
    options.boundsLo = Vec3d(mesh.center) - Vec3d(mesh.halfSize);
    options.boundsHi = Vec3d(mesh.center) + Vec3d(mesh.halfSize);
    return options;
}

std::filesystem::path failedSmoothShapePath(const std::filesystem::path& file) {
    std::filesystem::path failed = file;
    failed.replace_filename(file.stem().string() + "_failed" + file.extension().string());
    return failed;
}

bool writeSmoothShape(const FemModel& model, const DesignSnapshot& state,
                      const SmoothSurfaceOptions& options, const std::filesystem::path& file,
                      ShapeFormat format, const Matrix4& toOutput, SmoothSurfaceReport& report,
                      std::wostream* wideLog, std::ostream* log) {
    const std::filesystem::path failed = failedSmoothShapePath(file);
    // Files of an earlier run describe another design.
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    std::filesystem::remove(failed, ignored);
    TriangleMesh mesh;
    if (!smoothShape(model, state, mesh, report, options)) {
        if (log)
            *log << "ERROR: No smooth shape: the design holds no material; \"" << file.string()
                 << "\" was not written" << std::endl;
        return false;
    }
    if (!(toOutput == Matrix4::identity())) mesh.transform(toOutput.m.data());
    const bool fit = report.intersections == 0 && report.degenerate == 0;
    const std::filesystem::path target = fit ? file : failed;
    const std::wstring name = fromUtf8(target.string());
    const bool written = format == ShapeFormat::Stl ? writeStl(mesh, name, wideLog)
                                                    : mesh.writeObj(name, wideLog);
    if (!fit && log) {
        *log << "ERROR: The smooth shape still has " << report.intersections
             << " intersecting triangle pairs and " << report.degenerate
             << " degenerate triangles; it is not fit for printing";
        if (written) *log << " and was written as \"" << failed.string() << "\" only";
        *log << "; \"" << file.string() << "\" was not written" << std::endl;
    }
    return fit && written;
}

}  // namespace ostrel
