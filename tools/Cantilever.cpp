#include "tools/Cantilever.h"

#include <stdexcept>
#include <utility>

#include "core/Console.h"

namespace ostrel {

ModelBuild buildCantilever(int nx, int ny, int nz, double voxel, int levels) {
    Volume<bool, double> voxels;
    voxels.init(Vec3i{nx, ny, nz}, Vec3d{voxel, voxel, voxel}, Vec3d{0, 0, 0}, true);
    ModelBuild built = buildModel(voxels, levels);
    if (!built.model) return built;
    FemModel* model = built.model.get();
    std::vector<int> loaded;
    for (int z = 0; z <= nz; ++z)
        for (int y = 0; y <= ny; ++y) {
            int v = model->vertexAt(0, {0, y, z});
            if (v >= 0) model->setFixed(v, true);
        }
    for (int y = 0; y <= ny; ++y) {
        int v = model->vertexAt(0, {nx, y, 0});
        if (v >= 0) loaded.push_back(v);
    }
    for (int v : loaded)
        model->setForceComponent(v, 2, float(-1000.0 / double(loaded.size())));
    return built;
}

std::unique_ptr<FemModel> makeCantilever(int nx, int ny, int nz, double voxel, int levels) {
    ModelBuild built = buildCantilever(nx, ny, nz, voxel, levels);
    if (!built.model) throw std::invalid_argument(toUtf8(built.error));
    return std::move(built.model);
}

double compliance(const FemModel& model) {
    double c = 0;
    const std::vector<float>& f = model.load();
    const std::vector<double>& u = model.displacement();
    for (size_t i = 0; i < f.size() && i < u.size(); ++i) c += double(f[i]) * u[i];
    return c;
}

}  // namespace ostrel
