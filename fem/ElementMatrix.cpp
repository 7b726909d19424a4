#include <cmath>

#include "fem/Operators.h"

namespace ostrel {
namespace {

// Lame parameters of the isotropic material.
void lame(double E, double nu, double& lambda, double& mu) {
    lambda = E * nu / ((1 + nu) * (1 - 2 * nu));
    mu = E / (2 * (1 + nu));
}

// K(ia, jb) = lambda G(i,j,a,b) + mu (delta_ab sum_p G(i,j,p,p) + G(i,j,b,a)),
// G(i,j,p,q) = integral of dNi/dx_p * dNj/dx_q over the box.
template <typename GFn>
std::array<double, 576> assemble(double lambda, double mu, GFn G) {
    std::array<double, 576> K{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double g[3][3];
            for (int p = 0; p < 3; ++p)
                for (int q = 0; q < 3; ++q) g[p][q] = G(i, j, p, q);
            const double tr = g[0][0] + g[1][1] + g[2][2];
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                    K[size_t((3 * i + a) * 24 + 3 * j + b)] =
                        lambda * g[a][b] + mu * ((a == b ? tr : 0.0) + g[b][a]);
        }
    return K;
}

}  // namespace

std::array<double, 576> elementStiffness(double dx, double dy, double dz, double E, double nu) {
    double lambda, mu;
    lame(E, nu, lambda, mu);
    const double h[3] = {dx, dy, dz};
    // Exact 1-D integrals over [0,1] of the linear factors N0 = 1-s, N1 = s and their
    // derivatives, scaled to physical length.
    auto G = [&](int i, int j, int p, int q) {
        double r = 1;
        for (int k = 0; k < 3; ++k) {
            const int bi = (i >> k) & 1, bj = (j >> k) & 1;
            const double si = bi ? 1 : -1, sj = bj ? 1 : -1;
            const bool di = (k == p), dj = (k == q);
            double v;
            if (di && dj) v = si * sj / h[k];
            else if (di) v = si / 2;
            else if (dj) v = sj / 2;
            else v = (bi == bj ? 1.0 / 3 : 1.0 / 6) * h[k];
            r *= v;
        }
        return r;
    };
    return assemble(lambda, mu, G);
}

}  // namespace ostrel
