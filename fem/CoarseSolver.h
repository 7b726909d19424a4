#pragma once
// Direct solver of the coarsest multigrid level: sparse Cholesky (supernodal LL^T, METIS
// ordering) on CHOLMOD.
//
// The matrix is given column by column in compressed-column form, lower triangle (diagonal
// included) only, symmetric, double precision. Rows must arrive in ascending order within a
// column. The wrapper owns its column starts, row indices and values and reuses them between
// builds. The ordering and symbolic analysis are kept while the pattern stays the same (the
// coarsest pattern never changes); every factorize() redoes the numeric factorization.
// Main thread only. Not copyable; release happens in the destructor.

#include <cstddef>
#include <vector>

namespace ostrel {

class CoarseSolver {
public:
    CoarseSolver();
    ~CoarseSolver();
    CoarseSolver(const CoarseSolver&) = delete;
    CoarseSolver& operator=(const CoarseSolver&) = delete;

    /// Clears values, row indices and column starts, stores the column count and puts the first
    /// column start, 0.
    void beginMatrix(int columns);
    /// Appends (row, value) to the current column unless row lies above the diagonal (row smaller
    /// than the current column index), in which case nothing happens.
    void addEntry(int row, double value);
    /// Closes the current column: appends the number of stored entries as the next column start.
    void endColumn();

    /// Orders (METIS), analyses (reused while the pattern is unchanged) and numerically factors
    /// the current matrix. Returns false, with no usable factor, when the matrix is incomplete or
    /// not positive definite; the previous factor is discarded in any case.
    bool factorize();
    /// x = A^-1 b with the current factor; b and x hold columns() doubles each. Returns false and
    /// leaves x untouched when there is no valid numeric factor.
    bool solveWithFactor(const double* b, double* x);

    int columns() const { return columns_; }
    bool hasNumericFactor() const { return numericValid_; }
    /// Compressed-column arrays of the current matrix (for inspection and tests).
    const std::vector<int>& columnStarts() const { return colStarts_; }
    const std::vector<int>& rowIndices() const { return rowIndices_; }
    const std::vector<double>& values() const { return values_; }
    /// Ordering CHOLMOD actually used for the current factor (a CHOLMOD_* ordering code), or -1.
    int orderingUsed() const;

    /// Address space the BLAS library under the factorization will still reserve: OpenBLAS
    /// maps a work buffer of kBlasBufferBytes for each of its threads when it loads and one for
    /// the calling thread on its first call. A reservation it cannot get makes it retry for
    /// ever, so a memory check under an address-space limit counts the later one in advance.
    /// 0 with another BLAS library. (Under such a limit the program also caps the threads
    /// OpenBLAS starts; see CoarseSolver.cpp.)
    static double laterMappedBytes();
    static constexpr double kBlasBufferBytes = 128.0 * 1024 * 1024;

private:
    void releaseFactor();

    int columns_ = 0;
    std::vector<int> colStarts_;
    std::vector<int> rowIndices_;
    std::vector<double> values_;
    std::vector<double> work_;  // solve staging, columns_ doubles
    struct Impl;                // CHOLMOD common, factor and the pattern it was analysed for
    Impl* impl_ = nullptr;
    bool numericValid_ = false;
};

}  // namespace ostrel
