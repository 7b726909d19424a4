#pragma once
// Scoped access to a PETSc vector's values on this process: the view takes the array from the
// vector when it is made and gives it back when it goes, whatever ends the scope (an early
// return, an exception), so no vector is left checked out.

#include <petscdmda.h>
#include <petscvec.h>

#include "optimization/petsc/PetscSession.h"

namespace ostrel {

/// This process's values of a vector, taken with Get and given back with Restore.
template <class Scalar, PetscErrorCode (*Get)(Vec, Scalar**),
          PetscErrorCode (*Restore)(Vec, Scalar**)>
class VecArrayView {
public:
    explicit VecArrayView(Vec v) : v_(v) { petscCheck(Get(v, &a_), "taking a vector's values"); }
    ~VecArrayView() { Restore(v_, &a_); }
    VecArrayView(const VecArrayView&) = delete;
    VecArrayView& operator=(const VecArrayView&) = delete;

    Scalar* data() const { return a_; }
    Scalar& operator[](PetscInt i) const { return a_[i]; }

private:
    Vec v_;
    Scalar* a_ = nullptr;
};

/// This process's values of a vector, read only (VecGetArrayRead).
using ReadValues = VecArrayView<const PetscScalar, VecGetArrayRead, VecRestoreArrayRead>;
/// This process's values of a vector, to read and write (VecGetArray).
using WriteValues = VecArrayView<PetscScalar, VecGetArray, VecRestoreArray>;

/// The values of `v`, a vector of the DMDA `da` with several dofs a node, indexed
/// [k][j][i][dof] by the grid's global node indices of this process's box (DMDAVecGetArrayDOF).
class GridValues {
public:
    GridValues(DM da, Vec v) : da_(da), v_(v) {
        petscCheck(DMDAVecGetArrayDOF(da, v, &a_), "DMDAVecGetArrayDOF");
    }
    ~GridValues() { DMDAVecRestoreArrayDOF(da_, v_, &a_); }
    GridValues(const GridValues&) = delete;
    GridValues& operator=(const GridValues&) = delete;

    PetscScalar*** operator[](PetscInt k) const { return a_[k]; }

private:
    DM da_;
    Vec v_;
    PetscScalar**** a_ = nullptr;
};

}  // namespace ostrel
