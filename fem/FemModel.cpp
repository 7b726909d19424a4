#include "fem/FemModel.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <stdexcept>

#include "core/Console.h"
#include "fem/ModelSize.h"
#include "fem/Operators.h"

namespace ostrel {

ModelBuild buildModel(const Volume<bool, double>& voxels, int numLevels) {
    ModelBuild result;
    // The level count first: a volume that is not even allocated is never read for it.
    result.error = modelSizeError(numLevels < kMinLevels || numLevels > kMaxLevels
                                      ? ModelSize{}
                                      : measureModel(voxels),
                                  numLevels);
    if (result.error.empty()) result.model = std::make_unique<FemModel>(voxels, numLevels);
    return result;
}

FemModel::FemModel(const Volume<bool, double>& voxels, int numLevels) : numLevels_(numLevels) {
    // Element and vertex counters are ints and positions packed: a model they cannot number is
    // a caller's error (buildModel refuses it as a value).
    if (numLevels_ < kMinLevels || numLevels_ > kMaxLevels)
        throw std::invalid_argument(toUtf8(modelSizeError({}, numLevels_)));
    if (const std::wstring error = modelSizeError(measureModel(voxels), numLevels_);
        !error.empty())
        throw std::invalid_argument(toUtf8(error));
    elementDims_.resize(size_t(numLevels_));
    vertexDims_.resize(size_t(numLevels_));
    elementGrid_.resize(size_t(numLevels_));
    elementPosition_.resize(size_t(numLevels_));
    numElements_.assign(size_t(numLevels_), 0);
    vertexGrid_.resize(size_t(numLevels_));
    vertexPosition_.resize(size_t(numLevels_));
    colorOffsets_.assign(size_t(numLevels_), {});
    A_.resize(size_t(numLevels_));
    buildHierarchy(voxels);
    buildCoarseNeighbors();
    allocateHostArrays();
    setMaterial(kYoungsModulus, kPoissonRatio);
}

void FemModel::setMaterial(double E, double nu) {
    youngsModulus_ = E;
    poissonRatio_ = nu;
    Ke_ = elementStiffness(voxelSize_.x, voxelSize_.y, voxelSize_.z, E, nu);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                    KeBlocks_[size_t((8 * i + j) * 9 + a * 3 + b)] =
                        Ke_[size_t((3 * i + a) * 24 + 3 * j + b)];
}

void FemModel::buildHierarchy(const Volume<bool, double>& voxels) {
    std::wostream& out = wideOut();
    out << L"Building hierarchy ...\n";
    voxelSize_ = voxels.spacing();
    const Vec3i res = voxels.resolution();
    int lo[3] = {res.x, res.y, res.z}, hi[3] = {-1, -1, -1};
    const bool* data = voxels.data();
    for (int z = 0; z < res.z; ++z)
        for (int y = 0; y < res.y; ++y)
            for (int x = 0; x < res.x; ++x)
                if (data[(size_t(z) * size_t(res.y) + size_t(y)) * size_t(res.x) + size_t(x)]) {
                    lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
                    lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
                    lo[2] = std::min(lo[2], z), hi[2] = std::max(hi[2], z);
                }
    // The constructor has checked the volume: it is not empty and its extents fit.
    const int ex = hi[0] - lo[0], ey = hi[1] - lo[1], ez = hi[2] - lo[2];
    const Vec3d s = voxels.spacing(), o = voxels.offset();
    origin_ = {lo[0] * s.x + o.x, lo[1] * s.y + o.y, lo[2] * s.z + o.z};

    for (int l = 0; l < numLevels_; ++l) {
        auto& ed = elementDims_[size_t(l)];
        if (l == 0) ed = {ex + 1, ey + 1, ez + 1};
        else {
            const auto& p = elementDims_[size_t(l - 1)];
            ed = {(p[0] + 1) / 2, (p[1] + 1) / 2, (p[2] + 1) / 2};
        }
        auto& eg = elementGrid_[size_t(l)];
        eg.assign(size_t(ed[0]) * size_t(ed[1]) * size_t(ed[2]), -1);
        auto& ep = elementPosition_[size_t(l)];
        int count = 0;
        for (int z = 0; z < ed[2]; ++z)
            for (int y = 0; y < ed[1]; ++y)
                for (int x = 0; x < ed[0]; ++x) {
                    bool occupied = false;
                    if (l == 0) {
                        occupied = data[(size_t(lo[2] + z) * size_t(res.y) + size_t(lo[1] + y)) *
                                             size_t(res.x) +
                                         size_t(lo[0] + x)];
                    } else {
                        for (int k = 0; k < 2 && !occupied; ++k)
                            for (int j = 0; j < 2 && !occupied; ++j)
                                for (int i = 0; i < 2 && !occupied; ++i)
                                    occupied = elementAt(l - 1, {2 * x + i, 2 * y + j, 2 * z + k}) >= 0;
                    }
                    if (!occupied) continue;
                    eg[size_t(denseIndex(ed, {x, y, z}))] = count++;
                    ep.push_back(pack({x, y, z}));
                }
        numElements_[size_t(l)] = count;

        auto& vd = vertexDims_[size_t(l)];
        vd = {ed[0] + 1, ed[1] + 1, ed[2] + 1};
        auto& vg = vertexGrid_[size_t(l)];
        vg.assign(size_t(vd[0]) * size_t(vd[1]) * size_t(vd[2]), -1);
        auto& vp = vertexPosition_[size_t(l)];
        int nv = 0;
        for (int q = 0; q < 8; ++q) {
            colorOffsets_[size_t(l)][size_t(q)] = nv;
            for (int z = (q >> 2) & 1; z < vd[2]; z += 2)
                for (int y = (q >> 1) & 1; y < vd[1]; y += 2)
                    for (int x = q & 1; x < vd[0]; x += 2) {
                        bool adjacent = false;
                        for (int k = -1; k <= 0 && !adjacent; ++k)
                            for (int j = -1; j <= 0 && !adjacent; ++j)
                                for (int i = -1; i <= 0 && !adjacent; ++i)
                                    adjacent = elementAt(l, {x + i, y + j, z + k}) >= 0;
                        if (!adjacent) continue;
                        vg[size_t(denseIndex(vd, {x, y, z}))] = nv++;
                        vp.push_back(pack({x, y, z}));
                    }
        }
        colorOffsets_[size_t(l)][8] = nv;
        out << L"Level " << l << L":  #Elements: " << count << L"   #Vertices: " << nv << L"\n";
    }
    out << std::flush;
}

void FemModel::buildCoarseNeighbors() {
    const int L = coarsestLevel();
    const int n = numVertices(L);
    coarseNeighbors_.clear();
    coarseNeighbors_.reserve(size_t(n) * 27);
    for (int v = 0; v < n; ++v) {
        const GridPos p = unpack(vertexPosition_[size_t(L)][size_t(v)]);
        std::array<std::pair<int, int>, 27> pairs;
        int s = 0;
        for (int dz = -1; dz <= 1; ++dz)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx, ++s)
                    pairs[size_t(s)] = {s, vertexAt(L, {p.x + dx, p.y + dy, p.z + dz})};
        std::stable_sort(pairs.begin(), pairs.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
        coarseNeighbors_.insert(coarseNeighbors_.end(), pairs.begin(), pairs.end());
    }
}

void FemModel::allocateHostArrays() {
    const size_t nV = size_t(numVertices(0)), nE = size_t(numElements_[0]);
    isVertexFixed_.assign(nV, 0);
    E_.assign(nE, 1000000.0f);
    force_.assign(3 * nV, 0.0f);
    f_.assign(3 * nV, 0.0f);
    u_.assign(3 * nV, 0.0);
    // The solver assembles the levels between on its device and keeps only the coarsest here.
    const int coarsest = numLevels_ - 1;
    if (coarsest >= 2) A_[size_t(coarsest)].assign(243 * size_t(numVertices(coarsest)), 0.0);
}

void FemModel::setStiffnessFactors(std::vector<float> factors) {
    if (factors.size() != E_.size())
        throw std::invalid_argument("stiffness factors: " + std::to_string(factors.size()) +
                                    " values for " + std::to_string(E_.size()) + " elements");
    E_ = std::move(factors);
}

void FemModel::setLoad(std::vector<float> f) {
    if (f.size() != 3 * size_t(numVertices(0)))
        throw std::invalid_argument("load: " + std::to_string(f.size()) + " values for " +
                                    std::to_string(numVertices(0)) + " vertices");
    double sum = 0;
    for (float x : f) sum += double(x) * double(x);
    f_ = std::move(f);
    fNorm_ = std::sqrt(sum);
}

void FemModel::setDisplacement(std::vector<double> u) {
    if (u.size() != 3 * size_t(numVertices(0)))
        throw std::invalid_argument("displacement: " + std::to_string(u.size()) +
                                    " values for " + std::to_string(numVertices(0)) + " vertices");
    u_ = std::move(u);
}

void FemModel::setLevelOperator(int level, std::vector<double> A) {
    if (level < 2 || level >= numLevels_ || A.size() != 243 * size_t(numVertices(level)))
        throw std::invalid_argument("level operator: " + std::to_string(A.size()) +
                                    " values for level " + std::to_string(level));
    A_[size_t(level)] = std::move(A);
}

}  // namespace ostrel
