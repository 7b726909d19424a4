#include "fem/CoarseSolver.h"

#include <cholmod.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ostrel {

struct CoarseSolver::Impl {
    cholmod_common common;
    cholmod_factor* factor = nullptr;
    std::vector<int> analysedStarts, analysedRows;  // pattern the symbolic factor belongs to
};

CoarseSolver::CoarseSolver() : impl_(new Impl) {
    cholmod_start(&impl_->common);
    impl_->common.print = 0;  // no library chatter on stdout
    impl_->common.supernodal = CHOLMOD_SUPERNODAL;
    impl_->common.nmethods = 1;
    impl_->common.method[0].ordering = CHOLMOD_METIS;
    impl_->common.postorder = 1;
}

namespace {

using ThreadCount = int (*)();

/// OpenBLAS's thread count, or null when the BLAS library is another one (the system's
/// alternatives choose it, so it is looked up at run time).
ThreadCount openBlasThreads() {
    return reinterpret_cast<ThreadCount>(dlsym(RTLD_DEFAULT, "openblas_get_num_threads"));
}

// OpenBLAS starts one thread per processor when it loads, each with a work buffer of
// kBlasBufferBytes, and a thread that cannot map its buffer retries for ever: under an
// address-space or data limit smaller than the buffers (1.9 GB on 16 processors) the process
// would hang, at the latest when it ends and waits for that thread. So, unless the user chose
// a count, a limited process lets OpenBLAS start only as many threads as a quarter of the
// limit holds buffers for (the coarsest level's factorizations are small; few threads cost
// little). OpenBLAS reads the count from its environment when it loads, before any code of the
// program runs, and the C library takes its environment from the process's start only after
// the executable's pre-init functions: so this pre-init function starts the program again with
// OPENBLAS_NUM_THREADS added. Without /proc it goes on as it is.
void capBlasThreadsUnderALimit(int, char** argv, char** envp) {
    static const char kName[] = "OPENBLAS_NUM_THREADS=";
    size_t count = 0;
    for (; envp && envp[count]; ++count)
        if (std::strncmp(envp[count], kName, sizeof kName - 1) == 0) return;
    rlim_t limit = RLIM_INFINITY;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit r{};
        if (getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
            limit = std::min(limit, r.rlim_cur);
    }
    if (limit == RLIM_INFINITY) return;
    const long processors = std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L);
    const long fit = long(double(limit) / 4 / CoarseSolver::kBlasBufferBytes);
    if (fit >= processors) return;
    char entry[sizeof kName + 24];
    std::snprintf(entry, sizeof entry, "%s%ld", kName, std::max(fit, 1L));
    std::vector<char*> environment(envp, envp + count);
    environment.push_back(entry);
    environment.push_back(nullptr);
    execve("/proc/self/exe", argv, environment.data());
}

[[gnu::section(".preinit_array"), gnu::used]] void (*const kCapBlasThreads)(int, char**,
                                                                           char**) =
    capBlasThreadsUnderALimit;

}  // namespace

double CoarseSolver::laterMappedBytes() {
    return openBlasThreads() ? kBlasBufferBytes : 0.0;
}

CoarseSolver::~CoarseSolver() {
    releaseFactor();
    cholmod_finish(&impl_->common);
    delete impl_;
}

void CoarseSolver::releaseFactor() {
    if (impl_->factor) cholmod_free_factor(&impl_->factor, &impl_->common);
    impl_->analysedStarts.clear();
    impl_->analysedRows.clear();
    numericValid_ = false;
}

void CoarseSolver::beginMatrix(int columns) {
    values_.clear();
    rowIndices_.clear();
    colStarts_.clear();
    columns_ = columns;
    colStarts_.push_back(0);
}

void CoarseSolver::addEntry(int row, double value) {
    if (row < int(colStarts_.size()) - 1) return;
    rowIndices_.push_back(row);
    values_.push_back(value);
}

void CoarseSolver::endColumn() { colStarts_.push_back(int(rowIndices_.size())); }

int CoarseSolver::orderingUsed() const { return impl_->factor ? impl_->factor->ordering : -1; }

bool CoarseSolver::factorize() {
    numericValid_ = false;
    if (columns_ <= 0 || int(colStarts_.size()) != columns_ + 1) {
        releaseFactor();
        return false;
    }
    cholmod_sparse M{};
    M.nrow = M.ncol = size_t(columns_);
    M.nzmax = rowIndices_.size();
    M.p = colStarts_.data();
    M.i = rowIndices_.data();
    M.x = values_.data();
    M.stype = -1;  // symmetric, lower triangle stored
    M.itype = CHOLMOD_INT;
    M.xtype = CHOLMOD_REAL;
    M.dtype = CHOLMOD_DOUBLE;
    M.sorted = 1;
    M.packed = 1;
    cholmod_common* c = &impl_->common;
    if (!impl_->factor || impl_->analysedStarts != colStarts_ || impl_->analysedRows != rowIndices_) {
        releaseFactor();
        impl_->factor = cholmod_analyze(&M, c);
        if (!impl_->factor) return false;
        impl_->analysedStarts = colStarts_;
        impl_->analysedRows = rowIndices_;
    }
    const int ok = cholmod_factorize(&M, impl_->factor, c);
    numericValid_ = ok && c->status == CHOLMOD_OK;
    work_.assign(size_t(columns_), 0.0);
    return numericValid_;
}

bool CoarseSolver::solveWithFactor(const double* b, double* x) {
    if (!numericValid_ || !impl_->factor) return false;
    cholmod_common* c = &impl_->common;
    std::memcpy(work_.data(), b, sizeof(double) * size_t(columns_));
    cholmod_dense B{};
    B.nrow = B.ncol = 1;
    B.nrow = size_t(columns_);
    B.nzmax = size_t(columns_);
    B.d = size_t(columns_);
    B.x = work_.data();
    B.xtype = CHOLMOD_REAL;
    B.dtype = CHOLMOD_DOUBLE;
    cholmod_dense* X = cholmod_solve(CHOLMOD_A, impl_->factor, &B, c);
    if (!X) return false;
    std::memcpy(x, X->x, sizeof(double) * size_t(columns_));
    cholmod_free_dense(&X, c);
    return true;
}

}  // namespace ostrel
