#include "fem/Operators.h"

#include "fem/FemModel.h"

namespace ostrel {

bool factorCoarsestLevel(const FemModel& model, CoarseSystem& system) {
    const int L = model.coarsestLevel();
    const int n = model.numVertices(L);
    const std::vector<double>& A = model.levelOperator(L);
    CoarseSolver& cs = system.solver;
    cs.beginMatrix(3 * n);
    for (int a = 0; a < 3; ++a)
        for (int j = 0; j < n; ++j) {
            for (int b = 0; b < 3; ++b)
                for (int t = 0; t < 27; ++t) {
                    const auto [s, nb] = model.coarseNeighbors()[size_t(j) * 27 + size_t(t)];
                    if (nb < 0) continue;
                    cs.addEntry(b * n + nb, A[size_t(j) + size_t(n) * size_t(s * 9 + a * 3 + b)]);
                }
            cs.endColumn();
        }
    const bool factored = cs.factorize();
    const bool held = system.fixationCheck.holds(model);  // keeps the cache current either way
    return factored && held;
}

}  // namespace ostrel
