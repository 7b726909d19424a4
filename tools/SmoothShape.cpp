#include "tools/SmoothShape.h"

#include <ostream>

#include "core/Console.h"
#include "geometry/MeshFile.h"
#include "optimization/Optimizer.h"

namespace ostrel {

Volume<double, double> filteredDensityField(const Optimizer& optimizer) {
    Volume<double, double> field;
    if (!optimizer.isReset()) return field;
    const Volume<double, double>& padded = optimizer.paddedDensity();
    field.init(padded.resolution(), padded.spacing(), padded.offset(), 0.0);
    const std::vector<float>& filtered = optimizer.isProjected() ? optimizer.xTilde_ : optimizer.rho_;
    // The padded volume has one layer more on each side than the element grid.
    const size_t nx = size_t(padded.resolution().x - 2), ny = size_t(padded.resolution().y - 2);
    for (size_t e = 0; e < filtered.size(); ++e) {
        const size_t cell = optimizer.elementCell(e);
        const int x = int(cell % nx), y = int(cell / nx % ny), z = int(cell / (nx * ny));
        double value = double(filtered[e]);
        if (optimizer.isKept_[e])
            value = 1.0;
        else if (optimizer.isEmptyHeld_[e])
            value = 0.0;
        field(x + 1, y + 1, z + 1) = value;
    }
    return field;
}

bool smoothShape(const Optimizer& optimizer, TriangleMesh& mesh, SmoothSurfaceReport& report) {
    const Volume<double, double> field = filteredDensityField(optimizer);
    const Vec3d& s = field.spacing();
    return field.valid() &&
           extractSmoothSurface(field, optimizer.totalDensity() * s.x * s.y * s.z, mesh, report);
}

bool writeSmoothShape(const Optimizer& optimizer, const std::filesystem::path& file,
                      ShapeFormat format, const Matrix4& toOutput, SmoothSurfaceReport& report,
                      std::wostream* wideLog, std::ostream* log) {
    TriangleMesh mesh;
    if (!smoothShape(optimizer, mesh, report)) {
        if (log)
            *log << "ERROR: No smooth shape: the design holds no material; \"" << file.string()
                 << "\" was not written" << std::endl;
        return false;
    }
    if (!(toOutput == Matrix4::identity())) mesh.transform(toOutput.m.data());
    const std::wstring name = fromUtf8(file.string());
    return format == ShapeFormat::Stl ? writeStl(mesh, name, wideLog)
                                      : mesh.writeObj(name, wideLog);
}

}  // namespace ostrel
