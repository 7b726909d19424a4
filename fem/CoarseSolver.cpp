#include "fem/CoarseSolver.h"

#include <cholmod.h>

#include <cassert>
#include <cstring>

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
