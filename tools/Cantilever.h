#pragma once
// The standard cantilever used by the solver tool, the benchmarks and the tests: a solid box of
// nx*ny*nz voxels of edge `voxel`, every vertex with x = 0 fixed and a total force of -1000
// along z spread equally over the vertices with x = nx and z = 0 (the lower edge of the free
// end). The stiffness factors keep their initial value.

#include <memory>

#include "fem/FemModel.h"

namespace ostrel {

/// The cantilever, or the refusal of a box or level count the model cannot hold (FemModel.h).
ModelBuild buildCantilever(int nx, int ny, int nz, double voxel, int levels);
/// The cantilever of a size and level count the model holds (tests and benchmarks).
std::unique_ptr<FemModel> makeCantilever(int nx, int ny, int nz, double voxel, int levels);

/// f^T u of the model's load and displacement, accumulated in double.
double compliance(const FemModel& model);

}  // namespace ostrel
