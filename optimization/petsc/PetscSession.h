#pragma once
// The PETSc and MPI session of a program of the many-process engine, and the one way its code
// turns a PETSc error code into an exception.
//
// PetscSession initializes PETSc (and MPI) with the given PETSc arguments, which join the
// PETSC_OPTIONS environment variable's (the command line wins), and finalizes both when it
// goes. One per process, constructed before any other PETSc call.

#include <petscsys.h>

#include <iostream>
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
    /// The processes that run on this process's machine (sharing its memory), this one among
    /// them.
    int sizeHere() const { return sizeHere_; }

private:
    // PETSc keeps pointers to the arguments it was started with: they live as long as it does.
    std::vector<std::string> words_;
    std::vector<char*> argv_;
    int rank_ = 0;
    int size_ = 1;
    int sizeHere_ = 1;
};

/// A stream buffer that drops everything: the console of the ranks other than 0.
class DroppingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

/// For its scope, std::cout and std::cerr of a rank other than 0 drop what they are given (rank
/// 0 speaks for all; set it up before the console is routed, so that the router writes into
/// it); errors() is the real standard error, for a rank's own fatal error.
class RankConsole {
public:
    explicit RankConsole(int rank) : out_(std::cout.rdbuf()), errors_(std::cerr.rdbuf()) {
        if (rank != 0) {
            std::cout.rdbuf(dropped());
            std::cerr.rdbuf(dropped());
        }
    }
    ~RankConsole() {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(errors_);
    }
    RankConsole(const RankConsole&) = delete;
    RankConsole& operator=(const RankConsole&) = delete;
    std::streambuf* errors() const { return errors_; }

private:
    /// Made on first use and never destroyed: the console's router, which lives to the end of
    /// the process, keeps writing into it (and flushes it at exit) after this console is gone.
    static std::streambuf* dropped() {
        static DroppingBuffer* const buffer = new DroppingBuffer;
        return buffer;
    }

    std::streambuf* out_;
    std::streambuf* errors_;
};

/// Ends every rank of MPI_COMM_WORLD with `status` after this rank printed its error: the one
/// way an error on one rank ends the run without the others waiting for it.
[[noreturn]] void abortAllRanks(int status);

}  // namespace ostrel
