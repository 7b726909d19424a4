#pragma once
// The element stiffness matrix by numerical integration, independent of the product's closed
// form (fem/Operators.h elementStiffness): the reference the tests check it against. No part of
// the product.

#include <array>

namespace ostrel {

/// 24x24 stiffness matrix (row-major, dof 3*node + component, node n at corner (n&1, n>>1&1,
/// n>>2)) of a (dx,dy,dz) hexahedron with Young's modulus E and Poisson ratio nu: the sum of
/// B^T D B over the 2x2x2 Gauss points (B the strain-displacement matrix in Voigt order xx, yy,
/// zz, yz, xz, xy; D the isotropic elasticity matrix), which is exact for the trilinear element.
std::array<double, 576> elementStiffnessGauss(double dx, double dy, double dz, double E, double nu);

}  // namespace ostrel
