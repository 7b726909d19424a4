#pragma once
// Ownership of PETSc objects. PETSc hands out its objects as handles (pointers to the library's
// structures) that its XxxDestroy calls release; an owner destroys its object when it goes, when
// it takes another, or when it is reset, however the scope ends (an exception included).
// PETSc's own reference counts still hold: an object that a solver or a matrix keeps lives on
// after its owner here destroys its reference.

#include <petscdm.h>
#include <petscksp.h>
#include <petscmat.h>
#include <petscvec.h>

#include <utility>

namespace ostrel {

template <class Handle, PetscErrorCode (*Destroy)(Handle*)>
class PetscOwned {
public:
    PetscOwned() = default;
    ~PetscOwned() { reset(); }
    PetscOwned(PetscOwned&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    PetscOwned& operator=(PetscOwned&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    PetscOwned(const PetscOwned&) = delete;
    PetscOwned& operator=(const PetscOwned&) = delete;

    /// The handle, for PETSc's calls; null while nothing is owned.
    operator Handle() const { return handle_; }
    /// Destroys what is owned and gives the slot to a PETSc call that creates into it.
    Handle* replace() {
        reset();
        return &handle_;
    }
    /// The slot itself, for a PETSc call that reuses the object it holds (MAT_REUSE_MATRIX).
    Handle* reuse() { return &handle_; }
    /// Destroys what is owned (a failure to destroy is PETSc's to report; nothing is left).
    void reset() {
        if (handle_) Destroy(&handle_);
        handle_ = nullptr;
    }

private:
    Handle handle_ = nullptr;
};

using OwnedDM = PetscOwned<DM, DMDestroy>;
using OwnedMat = PetscOwned<Mat, MatDestroy>;
using OwnedVec = PetscOwned<Vec, VecDestroy>;
using OwnedKSP = PetscOwned<KSP, KSPDestroy>;
using OwnedRandom = PetscOwned<PetscRandom, PetscRandomDestroy>;

}  // namespace ostrel
