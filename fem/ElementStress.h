#pragma once
// Stresses of the level-0 elements of a solved model: the strain of each trilinear hexahedron at
// its centre from its eight corners' displacements, the isotropic stress of that strain and its
// von Mises equivalent.
//
// Voigt order throughout: xx, yy, zz, yz, xz, xy; strains carry the engineering shear
// (gamma = 2 eps). Displacements are the model's displacement() layout (component-major: component a of
// vertex v at a*n + v, n the level-0 vertex count); a corner without a vertex cannot occur (every
// element has its eight). Lengths are the model's, the stress in the modulus's unit.

#include <array>
#include <vector>

#include "geometry/Vec3.h"

namespace ostrel {

class FemModel;

using Voigt = std::array<double, 6>;

/// Strain at the centre of a hexahedron of edge lengths `size` from its 24 nodal displacements
/// (dof 3*node + component, node n at corner (n&1, n>>1&1, n>>2), as the element matrix).
Voigt centreStrain(const std::array<double, 24>& nodal, const Vec3d& size);
/// Stress of `strain` in the isotropic material of modulus E and Poisson ratio nu.
Voigt isotropicStress(const Voigt& strain, double E, double nu);
/// The von Mises equivalent stress.
double vonMises(const Voigt& stress);

/// Stress at the centre of level-0 element `element` of `model` for the displacement `u`, in the
/// material of modulus E and Poisson ratio nu.
Voigt elementCentreStress(const FemModel& model, const std::vector<double>& u, int element,
                          double E, double nu);
/// The von Mises stress at every level-0 element's centre, element e with the modulus
/// E * factors[e] (factors: one per element). Elements are independent: the result does not
/// depend on the number of threads.
std::vector<float> elementVonMises(const FemModel& model, const std::vector<double>& u,
                                   const std::vector<float>& factors, double E, double nu);

}  // namespace ostrel
