#include "fem/ElementStress.h"

#include <cmath>

#include "fem/FemModel.h"

namespace ostrel {

Voigt centreStrain(const std::array<double, 24>& nodal, const Vec3d& size) {
    // At the centre each shape function's derivative along axis k is its sign there (-1 at the
    // corner's low side, +1 at its high side) over the edge length, times 1/4 from the other two
    // linear factors, each 1/2 there.
    double grad[3][3] = {};  // grad[a][k] = d u_a / d x_k
    const double h[3] = {size.x, size.y, size.z};
    for (int n = 0; n < 8; ++n)
        for (int k = 0; k < 3; ++k) {
            const double dN = (((n >> k) & 1) ? 1.0 : -1.0) / (4.0 * h[k]);
            for (int a = 0; a < 3; ++a) grad[a][k] += dN * nodal[size_t(3 * n + a)];
        }
    return {grad[0][0],
            grad[1][1],
            grad[2][2],
            grad[1][2] + grad[2][1],
            grad[0][2] + grad[2][0],
            grad[0][1] + grad[1][0]};
}

Voigt isotropicStress(const Voigt& strain, double E, double nu) {
    const double lambda = E * nu / ((1 + nu) * (1 - 2 * nu));
    const double mu = E / (2 * (1 + nu));
    const double trace = strain[0] + strain[1] + strain[2];
    return {lambda * trace + 2 * mu * strain[0],
            lambda * trace + 2 * mu * strain[1],
            lambda * trace + 2 * mu * strain[2],
            mu * strain[3],
            mu * strain[4],
            mu * strain[5]};
}

double vonMises(const Voigt& s) {
    const double a = s[0] - s[1], b = s[1] - s[2], c = s[2] - s[0];
    return std::sqrt(0.5 * (a * a + b * b + c * c) + 3.0 * (s[3] * s[3] + s[4] * s[4] + s[5] * s[5]));
}

namespace {

std::array<double, 24> nodalDisplacements(const FemModel& model, const std::vector<double>& u,
                                          int element) {
    const size_t n = size_t(model.numVertices(0));
    const GridPos p = unpack(model.elementPosition(0)[size_t(element)]);
    std::array<double, 24> nodal{};
    for (int k = 0; k < 8; ++k) {
        const int v = model.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
        for (int a = 0; a < 3; ++a) nodal[size_t(3 * k + a)] = u[size_t(a) * n + size_t(v)];
    }
    return nodal;
}

}  // namespace

Voigt elementCentreStress(const FemModel& model, const std::vector<double>& u, int element,
                          double E, double nu) {
    return isotropicStress(centreStrain(nodalDisplacements(model, u, element), model.voxelSize()),
                           E, nu);
}

std::vector<float> elementVonMises(const FemModel& model, const std::vector<double>& u,
                                   const std::vector<float>& factors, double E, double nu) {
    const int count = model.numElements(0);
    std::vector<float> result(size_t(count), 0.0f);
#pragma omp parallel for schedule(static)
    for (int e = 0; e < count; ++e)
        result[size_t(e)] =
            float(vonMises(elementCentreStress(model, u, e, E * double(factors[size_t(e)]), nu)));
    return result;
}

}  // namespace ostrel
