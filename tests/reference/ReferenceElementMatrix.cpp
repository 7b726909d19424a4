#include "reference/ReferenceElementMatrix.h"

#include <cmath>

namespace ostrel {

std::array<double, 576> elementStiffnessGauss(double dx, double dy, double dz, double E,
                                              double nu) {
    const double lambda = E * nu / ((1 + nu) * (1 - 2 * nu));
    const double mu = E / (2 * (1 + nu));
    double D[6][6] = {};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) D[i][j] = lambda;
        D[i][i] = lambda + 2 * mu;
        D[i + 3][i + 3] = mu;
    }
    const double h[3] = {dx, dy, dz};
    const double points[2] = {(1 - 1 / std::sqrt(3.0)) / 2, (1 + 1 / std::sqrt(3.0)) / 2};
    const double weight = dx * dy * dz / 8;
    std::array<double, 576> K{};
    for (int c = 0; c < 8; ++c) {
        const double s[3] = {points[c & 1], points[(c >> 1) & 1], points[c >> 2]};
        double B[6][24] = {};
        for (int n = 0; n < 8; ++n) {
            double g[3];  // gradient of node n's shape function at the point
            for (int axis = 0; axis < 3; ++axis) {
                double r = 1;
                for (int k = 0; k < 3; ++k) {
                    const int b = (n >> k) & 1;
                    r *= k == axis ? (b ? 1.0 : -1.0) / h[k] : (b ? s[k] : 1 - s[k]);
                }
                g[axis] = r;
            }
            B[0][3 * n] = g[0];
            B[1][3 * n + 1] = g[1];
            B[2][3 * n + 2] = g[2];
            B[3][3 * n + 1] = g[2], B[3][3 * n + 2] = g[1];
            B[4][3 * n] = g[2], B[4][3 * n + 2] = g[0];
            B[5][3 * n] = g[1], B[5][3 * n + 1] = g[0];
        }
        for (int i = 0; i < 24; ++i)
            for (int j = 0; j < 24; ++j) {
                double sum = 0;
                for (int a = 0; a < 6; ++a)
                    for (int b = 0; b < 6; ++b) sum += B[a][i] * D[a][b] * B[b][j];
                K[size_t(i * 24 + j)] += sum * weight;
            }
    }
    return K;
}

}  // namespace ostrel
