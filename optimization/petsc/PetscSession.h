#pragma once
// The PETSc and MPI session of a program of the many-process engine, and the one way its code
// turns a PETSc error code into an exception.
//
// PetscSession initializes PETSc (and MPI) with the given PETSc arguments, which join the
// PETSC_OPTIONS environment variable's (the command line wins), and finalizes both when it
// goes. One per process, constructed before any other PETSc call.

#include <petscsys.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace ostrel {

/// A failed PETSc call: what was asked and PETSc's code (PETSc has printed its own trace).
class PetscFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Throws PetscFailure("PETSc: <what> failed (error <code>)") unless code is 0.
void petscCheck(PetscErrorCode code, const char* what);

class PetscSession {
public:
    /// `petscArguments`: the PETSc options of the command line (e.g. "-ksp_monitor"), without
    /// the program name. Throws PetscFailure when PETSc cannot start.
    explicit PetscSession(const std::vector<std::string>& petscArguments);
    ~PetscSession();
    PetscSession(const PetscSession&) = delete;
    PetscSession& operator=(const PetscSession&) = delete;

    int rank() const { return rank_; }
    int size() const { return size_; }

private:
    // PETSc keeps pointers to the arguments it was started with: they live as long as it does.
    std::vector<std::string> words_;
    std::vector<char*> argv_;
    int rank_ = 0;
    int size_ = 1;
};

/// Ends every rank of MPI_COMM_WORLD with `status` after this rank printed its error: the one
/// way an error on one rank ends the run without the others waiting for it.
[[noreturn]] void abortAllRanks(int status);

}  // namespace ostrel
