#include "optimization/petsc/PetscSession.h"

#include <cstdlib>
#include <iostream>

namespace ostrel {

void petscCheck(PetscErrorCode code, const char* what) {
    if (code != 0)
        throw PetscFailure(std::string("PETSc: ") + what + " failed (error " +
                           std::to_string(int(code)) + ")");
}

PetscSession::PetscSession(const std::vector<std::string>& petscArguments)
    : words_(petscArguments) {
    // PetscInitialize reads argv like a command line: the program name first.
    static char name[] = "ostrel";
    argv_.push_back(name);
    for (std::string& w : words_) argv_.push_back(w.data());
    argv_.push_back(nullptr);
    int argc = int(argv_.size()) - 1;
    char** args = argv_.data();
    petscCheck(PetscInitialize(&argc, &args, nullptr, nullptr), "PetscInitialize");
    petscCheck(MPI_Comm_rank(PETSC_COMM_WORLD, &rank_), "MPI_Comm_rank");
    petscCheck(MPI_Comm_size(PETSC_COMM_WORLD, &size_), "MPI_Comm_size");
    MPI_Comm here = MPI_COMM_NULL;
    petscCheck(MPI_Comm_split_type(PETSC_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank_, MPI_INFO_NULL,
                                   &here),
               "MPI_Comm_split_type");
    petscCheck(MPI_Comm_size(here, &sizeHere_), "MPI_Comm_size");
    MPI_Comm_free(&here);
}

PetscSession::~PetscSession() { PetscFinalize(); }

void abortAllRanks(int status) {
    std::cout.flush();
    std::cerr.flush();
    MPI_Abort(MPI_COMM_WORLD, status);
    std::abort();  // MPI_Abort does not return; this is for the compiler.
}

}  // namespace ostrel
