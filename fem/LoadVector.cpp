#include "fem/LoadVector.h"

#include "fem/FemModel.h"

namespace ostrel {

std::vector<float> loadVector(const FemModel& m, const std::vector<float>& forces) {
    const int nV = m.numVertices(0);
    const double volume = m.voxelSize().x * m.voxelSize().y * m.voxelSize().z;
    std::vector<float> f(size_t(3 * nV), 0.0f);
    for (int v = 0; v < nV; ++v) {
        GridPos p = unpack(m.vertexPosition(0)[size_t(v)]);
        double density = 0;
        for (int k = -1; k <= 0; ++k)
            for (int j = -1; j <= 0; ++j)
                for (int i = -1; i <= 0; ++i) {
                    int e = m.elementAt(0, {p.x + i, p.y + j, p.z + k});
                    if (e >= 0) density += kMassDensity;
                }
        double w = volume * density * 0.125;
        f[size_t(v)] = float(forces[3 * size_t(v)] + w * m.gravity().x);
        f[size_t(nV + v)] = float(forces[3 * size_t(v) + 1] + w * m.gravity().y);
        f[size_t(2 * nV + v)] = float(forces[3 * size_t(v) + 2] + w * m.gravity().z);
    }
    return f;
}

}  // namespace ostrel
