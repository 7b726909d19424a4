#pragma once
// Scoped access to a PETSc vector's values on this process: the view takes the array from the
// vector when it is made and gives it back when it goes, whatever ends the scope (an early
// return, an exception), so no vector is left checked out.

#include <petscdmda.h>
#include <petscvec.h>

#include "optimization/petsc/PetscSession.h"

namespace ostrel {

/// This process's values of `v`, read only (VecGetArrayRead).
class ReadValues {
public:
    explicit ReadValues(Vec v) : v_(v) { petscCheck(VecGetArrayRead(v, &a_), "VecGetArrayRead"); }
    ~ReadValues() { VecRestoreArrayRead(v_, &a_); }
    ReadValues(const ReadValues&) = delete;
    ReadValues& operator=(const ReadValues&) = delete;

    const PetscScalar* data() const { return a_; }
    const PetscScalar& operator[](PetscInt i) const { return a_[i]; }

private:
    Vec v_;
    const PetscScalar* a_ = nullptr;
};

/// This process's values of `v`, to read and write (VecGetArray).
class WriteValues {
public:
    explicit WriteValues(Vec v) : v_(v) { petscCheck(VecGetArray(v, &a_), "VecGetArray"); }
    ~WriteValues() { VecRestoreArray(v_, &a_); }
    WriteValues(const WriteValues&) = delete;
    WriteValues& operator=(const WriteValues&) = delete;

    PetscScalar* data() const { return a_; }
    PetscScalar& operator[](PetscInt i) const { return a_[i]; }

private:
    Vec v_;
    PetscScalar* a_ = nullptr;
};

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
