// Element stresses: the centre strain of the trilinear hexahedron on fields it reproduces, the
// isotropic law and the von Mises equivalent against hand values, and the energy of a constant
// strain against the element matrix (an independent computation of the same material).

#include <gtest/gtest.h>

#include <cmath>

#include "fem/ElementStress.h"
#include "fem/Operators.h"

namespace ostrel {
namespace {

/// Nodal displacements of the field u(x) = G x (G row-major) on a box of edge lengths `h`.
std::array<double, 24> linearField(const double G[3][3], const Vec3d& h) {
    std::array<double, 24> u{};
    for (int n = 0; n < 8; ++n) {
        const double x[3] = {(n & 1) * h.x, (n >> 1 & 1) * h.y, (n >> 2 & 1) * h.z};
        for (int a = 0; a < 3; ++a)
            u[size_t(3 * n + a)] = G[a][0] * x[0] + G[a][1] * x[1] + G[a][2] * x[2];
    }
    return u;
}

TEST(ElementStress, CentreStrainOfLinearFields) {
    const Vec3d h{0.5, 0.25, 2.0};
    const struct {
        const char* name;
        double G[3][3];
        Voigt strain;  // xx yy zz, then engineering shears yz xz xy
    } cases[] = {
        {"stretch x", {{1e-3, 0, 0}, {0, 0, 0}, {0, 0, 0}}, {1e-3, 0, 0, 0, 0, 0}},
        {"stretch z", {{0, 0, 0}, {0, 0, 0}, {0, 0, -2e-3}}, {0, 0, -2e-3, 0, 0, 0}},
        {"shear yz", {{0, 0, 0}, {0, 0, 3e-3}, {0, 0, 0}}, {0, 0, 0, 3e-3, 0, 0}},
        {"shear xz both", {{0, 0, 1e-3}, {0, 0, 0}, {2e-3, 0, 0}}, {0, 0, 0, 0, 3e-3, 0}},
        {"shear xy", {{0, 4e-3, 0}, {0, 0, 0}, {0, 0, 0}}, {0, 0, 0, 0, 0, 4e-3}},
        // A rotation strains nothing.
        {"rotation", {{0, -1e-3, 0}, {1e-3, 0, 0}, {0, 0, 0}}, {0, 0, 0, 0, 0, 0}},
        {"mixed",
         {{1e-3, 2e-3, 3e-3}, {4e-3, 5e-3, 6e-3}, {7e-3, 8e-3, 9e-3}},
         {1e-3, 5e-3, 9e-3, 14e-3, 10e-3, 6e-3}},
    };
    for (const auto& c : cases) {
        const Voigt strain = centreStrain(linearField(c.G, h), h);
        for (int k = 0; k < 6; ++k)
            EXPECT_NEAR(strain[size_t(k)], c.strain[size_t(k)], 1e-15) << c.name << " " << k;
    }
}

TEST(ElementStress, CentreStrainIgnoresTheBilinearModes) {
    // u_x = (x - h/2)(y - h/2): zero gradient at the centre.
    const Vec3d h{1, 1, 1};
    std::array<double, 24> u{};
    for (int n = 0; n < 8; ++n) u[size_t(3 * n)] = ((n & 1) - 0.5) * ((n >> 1 & 1) - 0.5);
    for (double s : centreStrain(u, h)) EXPECT_EQ(s, 0.0);
}

TEST(ElementStress, IsotropicLawAndVonMises) {
    const double E = 200e9, nu = 0.3;
    // Uniaxial stress: strain (s/E, -nu s/E, -nu s/E) gives (s, 0, 0), von Mises s.
    const double s = 150e6;
    const Voigt uniaxial = isotropicStress({s / E, -nu * s / E, -nu * s / E, 0, 0, 0}, E, nu);
    EXPECT_NEAR(uniaxial[0], s, 1e-9 * s);
    EXPECT_NEAR(uniaxial[1], 0, 1e-9 * s);
    EXPECT_NEAR(uniaxial[2], 0, 1e-9 * s);
    EXPECT_NEAR(vonMises(uniaxial), s, 1e-9 * s);
    // Pure shear: tau = G gamma, von Mises sqrt(3) tau.
    const double gamma = 1e-3, G = E / (2 * (1 + nu));
    const Voigt shear = isotropicStress({0, 0, 0, 0, gamma, 0}, E, nu);
    EXPECT_NEAR(shear[4], G * gamma, 1e-9 * G * gamma);
    EXPECT_NEAR(vonMises(shear), std::sqrt(3.0) * G * gamma, 1e-9 * G * gamma);
    // A hydrostatic stress has no von Mises part.
    EXPECT_NEAR(vonMises({5e6, 5e6, 5e6, 0, 0, 0}), 0, 1e-9);
    // Hand value: (100, 20, -40, 10, 0, 30) MPa.
    EXPECT_NEAR(vonMises({100, 20, -40, 10, 0, 30}),
                std::sqrt(0.5 * (80 * 80 + 60 * 60 + 140 * 140) + 3 * (100 + 900)), 1e-12);
}

TEST(ElementStress, ConstantStrainEnergyAgreesWithTheElementMatrix) {
    // For a field the element reproduces, u^T Ke u = volume * stress . strain (engineering
    // shears): the element matrix and the stress computed apart must agree.
    const Vec3d h{0.5, 0.25, 2.0};
    const double E = 3.5e9, nu = 0.27;
    const double G[3][3] = {{1e-3, 2e-4, -3e-4}, {5e-4, -7e-4, 6e-4}, {1e-4, 9e-4, 2e-3}};
    const std::array<double, 24> u = linearField(G, h);
    const std::array<double, 576> K = elementStiffness(h.x, h.y, h.z, E, nu);
    double energy = 0;
    for (int i = 0; i < 24; ++i)
        for (int j = 0; j < 24; ++j) energy += u[size_t(i)] * K[size_t(i * 24 + j)] * u[size_t(j)];
    const Voigt strain = centreStrain(u, h);
    const Voigt stress = isotropicStress(strain, E, nu);
    double work = 0;
    for (int k = 0; k < 6; ++k) work += stress[size_t(k)] * strain[size_t(k)];
    EXPECT_NEAR(energy, work * h.x * h.y * h.z, 1e-9 * energy);
}

}  // namespace
}  // namespace ostrel
