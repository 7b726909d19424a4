#include "reference/ReferenceAssembly.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "fem/FemModel.h"

namespace ostrel {
namespace {

// Level 2 straight from the level-0 elements: row V of P^T K~ gathered into a 9^3 window of 3x3
// blocks around g = 4*V, then contracted with the interpolation weights for each of V's slots.
void assembleLevel2(const FemModel& m, const MassTerm& massTerm, std::vector<double>& A) {
    const int n = m.numVertices(2);
    const double invDt2 = 1.0 / (massTerm.dt * massTerm.dt);
    const std::vector<float>& masses = massTerm.masses;
    const double* KB = m.KeBlocks().data();
#pragma omp parallel for schedule(static)
    for (int V = 0; V < n; ++V) {
        const GridPos c = unpack(m.vertexPosition(2)[size_t(V)]);
        const GridPos g{4 * c.x, 4 * c.y, 4 * c.z};
        double ef[512], mass[343];
        unsigned char fixedW[729];
        double R[729 * 9];
        std::memset(R, 0, sizeof R);
        for (int z = -4; z < 4; ++z)
            for (int y = -4; y < 4; ++y)
                for (int x = -4; x < 4; ++x) {
                    const int e = m.elementAt(0, {g.x + x, g.y + y, g.z + z});
                    ef[((z + 4) * 8 + y + 4) * 8 + x + 4] = e < 0 ? 0.0 : double(m.stiffnessFactors()[size_t(e)]);
                }
        for (int z = -4; z <= 4; ++z)
            for (int y = -4; y <= 4; ++y)
                for (int x = -4; x <= 4; ++x) {
                    const int v = m.vertexAt(0, {g.x + x, g.y + y, g.z + z});
                    fixedW[((z + 4) * 9 + y + 4) * 9 + x + 4] =
                        v < 0 ? 0 : (m.fixedFlags()[size_t(v)] ? 1 : 0);
                    if (x >= -3 && x <= 3 && y >= -3 && y <= 3 && z >= -3 && z <= 3)
                        mass[((z + 3) * 7 + y + 3) * 7 + x + 3] =
                            v < 0 || masses.empty() ? 0.0 : double(masses[size_t(v)]);
                }
        auto widx = [](int x, int y, int z) { return ((z + 4) * 9 + y + 4) * 9 + x + 4; };
        for (int dz = -3; dz <= 3; ++dz)
            for (int dy = -3; dy <= 3; ++dy)
                for (int dx = -3; dx <= 3; ++dx) {
                    const double w = (4 - std::abs(dx)) * (4 - std::abs(dy)) * (4 - std::abs(dz)) / 64.0;
                    double* Ro = R + 9 * widx(dx, dy, dz);
                    if (fixedW[widx(dx, dy, dz)]) {
                        Ro[0] += w, Ro[4] += w, Ro[8] += w;
                        continue;
                    }
                    for (int k = 0; k < 2; ++k)
                        for (int j = 0; j < 2; ++j)
                            for (int i = 0; i < 2; ++i) {
                                const int cx = dx - 1 + i, cy = dy - 1 + j, cz = dz - 1 + k;
                                const double F = w * ef[((cz + 4) * 8 + cy + 4) * 8 + cx + 4];
                                if (F == 0.0) continue;
                                const int p = 7 - (i + 2 * j + 4 * k);
                                for (int q = 0; q < 8; ++q) {
                                    const int wi = widx(cx + (q & 1), cy + ((q >> 1) & 1), cz + (q >> 2));
                                    if (fixedW[wi]) continue;
                                    const double* blk = KB + (8 * p + q) * 9;
                                    double* Rq = R + 9 * wi;
                                    for (int t = 0; t < 9; ++t) Rq[t] += F * blk[t];
                                }
                            }
                    const double mt = w * mass[((dz + 3) * 7 + dy + 3) * 7 + dx + 3] * invDt2;
                    Ro[0] += mt, Ro[4] += mt, Ro[8] += mt;
                }
        int s = 0;
        for (int sz = -1; sz <= 1; ++sz)
            for (int sy = -1; sy <= 1; ++sy)
                for (int sx = -1; sx <= 1; ++sx, ++s) {
                    double blk[9] = {};
                    for (int dz = -3; dz <= 3; ++dz) {
                        const int pz = 4 * sz + dz;
                        if (pz < -4 || pz > 4) continue;
                        for (int dy = -3; dy <= 3; ++dy) {
                            const int py = 4 * sy + dy;
                            if (py < -4 || py > 4) continue;
                            for (int dx = -3; dx <= 3; ++dx) {
                                const int px = 4 * sx + dx;
                                if (px < -4 || px > 4) continue;
                                const double w = (4 - std::abs(dx)) * (4 - std::abs(dy)) *
                                                 (4 - std::abs(dz)) / 64.0;
                                const double* Rp = R + 9 * widx(px, py, pz);
                                for (int t = 0; t < 9; ++t) blk[t] += w * Rp[t];
                            }
                        }
                    }
                    for (int t = 0; t < 9; ++t) A[size_t(V) + size_t(n) * size_t(s * 9 + t)] = blk[t];
                }
    }
}

// Level l >= 3 from level l-1 (2:1 trilinear interpolation).
void assembleCoarser(const FemModel& m, int l, std::vector<double>& A) {
    const int n = m.numVertices(l), nf = m.numVertices(l - 1);
    const std::vector<double>& Af = m.levelOperator(l - 1);
#pragma omp parallel for schedule(static)
    for (int V = 0; V < n; ++V) {
        const GridPos c = unpack(m.vertexPosition(l)[size_t(V)]);
        double W[125 * 9];
        std::memset(W, 0, sizeof W);
        auto widx = [](int x, int y, int z) { return ((z + 2) * 5 + y + 2) * 5 + x + 2; };
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int u = m.vertexAt(l - 1, {2 * c.x + dx, 2 * c.y + dy, 2 * c.z + dz});
                    if (u < 0) continue;
                    const double w = (2 - std::abs(dx)) * (2 - std::abs(dy)) * (2 - std::abs(dz)) / 8.0;
                    int j = 0;
                    for (int ez = -1; ez <= 1; ++ez)
                        for (int ey = -1; ey <= 1; ++ey)
                            for (int ex = -1; ex <= 1; ++ex, ++j) {
                                double* Wp = W + 9 * widx(dx + ex, dy + ey, dz + ez);
                                for (int k = 0; k < 9; ++k)
                                    Wp[k] += w * Af[size_t(u) + size_t(nf) * size_t(j * 9 + k)];
                            }
                }
        int s = 0;
        for (int sz = -1; sz <= 1; ++sz)
            for (int sy = -1; sy <= 1; ++sy)
                for (int sx = -1; sx <= 1; ++sx, ++s) {
                    double blk[9] = {};
                    for (int dz = -1; dz <= 1; ++dz)
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx) {
                                const int px = 2 * sx + dx, py = 2 * sy + dy, pz = 2 * sz + dz;
                                if (px < -2 || px > 2 || py < -2 || py > 2 || pz < -2 || pz > 2) continue;
                                const double w = (2 - std::abs(dx)) * (2 - std::abs(dy)) *
                                                 (2 - std::abs(dz)) / 8.0;
                                const double* Wp = W + 9 * widx(px, py, pz);
                                for (int k = 0; k < 9; ++k) blk[k] += w * Wp[k];
                            }
                    for (int k = 0; k < 9; ++k) A[size_t(V) + size_t(n) * size_t(s * 9 + k)] = blk[k];
                }
    }
}

}  // namespace

void assembleLevelOperator(FemModel& model, int level, const MassTerm& massTerm) {
    assert(level >= 2 && level < model.numLevels());
    assert(massTerm.masses.empty() || massTerm.masses.size() == size_t(model.numVertices(0)));
    std::vector<double> A(243 * size_t(model.numVertices(level)));  // every entry is written
    if (level == 2) assembleLevel2(model, massTerm, A);
    else assembleCoarser(model, level, A);
    model.setLevelOperator(level, std::move(A));
}

void assembleOperators(FemModel& model, const MassTerm& massTerm) {
    for (int l = 2; l < model.numLevels(); ++l) assembleLevelOperator(model, l, massTerm);
}

}  // namespace ostrel
