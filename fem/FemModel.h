#pragma once
// Finite-element model of one scene: voxel hexahedra on a hierarchy of ever coarser grids,
// the element matrices, the supports and loads, and the state of the level-0 solve (stiffness
// factors, load vector, displacement, assembled operators of levels >= 2).
//
// Level 0 is the finest (one element per occupied voxel), level numLevels()-1 the coarsest.
// Grid point (x,y,z) of level l is level-0 grid point (x,y,z)*2^l. Dense grids index cell or
// point (x,y,z) at (z*dy + y)*dx + x and hold an index or -1. Elements are numbered z, y, x
// ascending; vertices colour by colour (colour (x&1) + 2(y&1) + 4(z&1)), then z, y, x ascending.
// Per-vertex 3-vectors are component-major: component a of vertex v at a*n + v (n = vertex
// count of the level); only forces() are interleaved.
//
// No field is public. The hierarchy is immutable after construction; the element matrices
// change only with the material (setMaterial). Everything else changes through named setters,
// which refuse arrays of the wrong size: supports and loads (scene, editor, controls), the
// stiffness factors (optimizer), the load, displacement and level operators (the multigrid
// solver bound to the model, gpu/MultigridSolver.h, which also owns the coarsest level's
// factorization). Readers get const views. A voxel model that cannot be built is refused as a
// value (buildModel, with the line of fem/ModelSize.h); nothing here ends the process.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "geometry/Vec3.h"
#include "geometry/Volume.h"

namespace ostrel {

/// Grid coordinates of a cell or point of one level.
struct GridPos {
    int x, y, z;
};
/// Packed grid position: (z << 22) | (y << 11) | x (11/11/10 bits).
constexpr uint32_t pack(GridPos p) {
    return uint32_t(p.z) << 22 | uint32_t(p.y) << 11 | uint32_t(p.x);
}
constexpr GridPos unpack(uint32_t w) {
    return {int(w & 0x7ff), int(w >> 11 & 0x7ff), int(w >> 22 & 0x3ff)};
}

/// Young's modulus and Poisson ratio of the element matrix.
constexpr double kYoungsModulus = 2.0e9;
constexpr double kPoissonRatio = 0.394;
/// Mass density of every element (kg/m^3): the weight of the load under gravity.
constexpr double kMassDensity = 1000.0;

class FemModel {
public:
    /// Builds the hierarchy of `numLevels` levels from the occupancy `voxels`, allocates the host
    /// arrays with their initial values and computes the element matrices. Prints
    /// "Building hierarchy ..." and one line per level on the wide console. Precondition: the
    /// model can be built (modelSizeError of fem/ModelSize.h is empty); otherwise throws
    /// std::invalid_argument with that line (UTF-8). Callers with unchecked input use buildModel.
    FemModel(const Volume<bool, double>& voxels, int numLevels);
    FemModel(const FemModel&) = delete;
    FemModel& operator=(const FemModel&) = delete;

    int numVertices(int level) const { return colorOffsets_[level][8]; }
    /// Dense index of point/cell p in a grid of size d; -1 if p lies outside.
    static long long denseIndex(const std::array<int, 3>& d, GridPos p) {
        if (p.x < 0 || p.y < 0 || p.z < 0 || p.x >= d[0] || p.y >= d[1] || p.z >= d[2]) return -1;
        return (static_cast<long long>(p.z) * d[1] + p.y) * d[0] + p.x;
    }
    /// Vertex index at grid point p of `level`, -1 when outside the grid or no vertex there.
    int vertexAt(int level, GridPos p) const {
        long long i = denseIndex(vertexDims_[level], p);
        return i < 0 ? -1 : vertexGrid_[level][size_t(i)];
    }
    /// Element index of cell p of `level`, -1 when outside the grid or no element there.
    int elementAt(int level, GridPos p) const {
        long long i = denseIndex(elementDims_[level], p);
        return i < 0 ? -1 : elementGrid_[level][size_t(i)];
    }
    /// Index of the coarsest level (numLevels() - 1).
    int coarsestLevel() const { return numLevels_ - 1; }

    // ---- supports and loads of the level-0 model (host side: the solver takes the fixations
    // at its next prepareSolve, the forces and gravity at its next computeLoad) ----
    /// One flag per level-0 vertex, 1 = fixed; initially all 0.
    const std::vector<uint8_t>& fixedFlags() const { return isVertexFixed_; }
    bool isFixed(int v) const { return isVertexFixed_[size_t(v)] != 0; }
    void setFixed(int v, bool fixed) { isVertexFixed_[size_t(v)] = fixed ? 1 : 0; }
    void clearFixations() { std::fill(isVertexFixed_.begin(), isVertexFixed_.end(), uint8_t(0)); }
    /// 3 * nV applied forces, interleaved x, y, z; initially all 0.
    const std::vector<float>& forces() const { return force_; }
    Vec3f force(int v) const {
        const float* f = &force_[3 * size_t(v)];
        return {f[0], f[1], f[2]};
    }
    void setForce(int v, const Vec3f& f) {
        float* to = &force_[3 * size_t(v)];
        to[0] = f.x, to[1] = f.y, to[2] = f.z;
    }
    /// Component `axis` (0 x, 1 y, 2 z) of vertex v's force.
    void setForceComponent(int v, int axis, float value) {
        force_[3 * size_t(v) + size_t(axis)] = value;
    }
    void clearForces() { std::fill(force_.begin(), force_.end(), 0.0f); }
    /// Gravitational acceleration; initially 0.
    const Vec3d& gravity() const { return gravity_; }
    void setGravity(const Vec3d& g) { gravity_ = g; }

    // ---- the hierarchy (immutable after construction; levels 0 .. numLevels()-1) ----
    int numLevels() const { return numLevels_; }
    /// Edge lengths (x,y,z) of one level-0 element.
    const Vec3d& voxelSize() const { return voxelSize_; }
    /// World position of level-0 grid point (0,0,0).
    const Vec3d& origin() const { return origin_; }
    /// Element grid size (x,y,z) of `level`.
    const std::array<int, 3>& elementDims(int level) const { return elementDims_[size_t(level)]; }
    /// Vertex grid size of `level` = elementDims(level) + 1.
    const std::array<int, 3>& vertexDims(int level) const { return vertexDims_[size_t(level)]; }
    /// Dense cells of `level` -> element index or -1.
    const std::vector<int>& elementGrid(int level) const { return elementGrid_[size_t(level)]; }
    /// Element of `level` -> packed cell position.
    const std::vector<uint32_t>& elementPosition(int level) const {
        return elementPosition_[size_t(level)];
    }
    int numElements(int level) const { return numElements_[size_t(level)]; }
    /// Dense points of `level` -> vertex index or -1.
    const std::vector<int>& vertexGrid(int level) const { return vertexGrid_[size_t(level)]; }
    /// Vertex of `level` -> packed point position.
    const std::vector<uint32_t>& vertexPosition(int level) const {
        return vertexPosition_[size_t(level)];
    }
    /// [0..7] first vertex of colours 0..7, [8] vertex count of `level`.
    const std::array<int, 9>& colorOffsets(int level) const { return colorOffsets_[size_t(level)]; }
    /// Coarsest level: per vertex, in vertex order, 27 (slot, neighbour index) pairs ordered by
    /// neighbour index ascending (stable; the -1 entries of missing neighbours come first).
    /// Slot s = (dz+1)*9 + (dy+1)*3 + (dx+1) as in the level operators.
    const std::vector<std::pair<int, int>>& coarseNeighbors() const { return coarseNeighbors_; }

    // ---- element matrices (computed from voxelSize() and the material: at construction
    // kYoungsModulus and kPoissonRatio, later whatever setMaterial gave) ----
    double youngsModulus() const { return youngsModulus_; }
    double poissonRatio() const { return poissonRatio_; }
    /// Recomputes Ke() and KeBlocks() for Young's modulus E and Poisson ratio nu. A solver bound
    /// to the model takes them at its reloadElementMatrix.
    void setMaterial(double E, double nu);
    /// 24x24 row-major; dof 3*node + component, node n at corner (n&1, n>>1&1, n>>2).
    const std::array<double, 576>& Ke() const { return Ke_; }
    /// Same matrix as 64 3x3 blocks: block (i,j) starts at (8i+j)*9, entry a*3+b = Ke(3i+a, 3j+b).
    const std::array<double, 576>& KeBlocks() const { return KeBlocks_; }

    // ---- state of the level-0 solve (nV vertices, nE elements); the solver bound to the
    // model writes the load, the displacement and the coarsest operator ----
    /// nE stiffness factors of the next solve; initially 1.0e6. The solver uploads them at its
    /// prepareSolve (unless the optimizer writes them on the device: then they are current only
    /// after the optimizer's downloadState).
    const std::vector<float>& stiffnessFactors() const { return E_; }
    /// Throws std::invalid_argument unless `factors` holds nE values.
    void setStiffnessFactors(std::vector<float> factors);
    /// 3*nV load vector, component-major: the forces plus the elements' weight under gravity as
    /// of the solver's last computeLoad; initially 0.
    const std::vector<float>& load() const { return f_; }
    /// Euclidean norm of load().
    double loadNorm() const { return fNorm_; }
    /// Sets load() and loadNorm(); throws std::invalid_argument unless `f` holds 3*nV values.
    void setLoad(std::vector<float> f);
    /// 3*nV level-0 displacement of the last solve, component-major; initially 0.
    const std::vector<double>& displacement() const { return u_; }
    /// Throws std::invalid_argument unless `u` holds 3*nV values.
    void setDisplacement(std::vector<double> u);
    void clearDisplacement() { std::fill(u_.begin(), u_.end(), 0.0); }
    /// Level operator of `level` (empty for levels 0 and 1 and, until set, for the levels
    /// between level 2 and the coarsest; the coarsest's 243*n zeros until set): for every
    /// vertex v, 27 neighbour slots s = (dz+1)*9 + (dy+1)*3 + (dx+1) of 3x3 blocks; entry
    /// k = a*3+b (component a of v, component b of the neighbour) of slot s is at
    /// v + n*(s*9 + k). Missing neighbours' slots hold zeros. The solver's prepareSolve
    /// assembles on its device and sets only the coarsest level here (its downloadOperators
    /// and the tests' reference assembly set them all).
    const std::vector<double>& levelOperator(int level) const { return A_[size_t(level)]; }
    /// Throws std::invalid_argument unless level >= 2 and `A` holds 243*numVertices(level).
    void setLevelOperator(int level, std::vector<double> A);

private:
    // The hierarchy and element matrices (see the accessors).
    int numLevels_ = 0;
    Vec3d voxelSize_{};
    Vec3d origin_{};
    std::vector<std::array<int, 3>> elementDims_;
    std::vector<std::array<int, 3>> vertexDims_;
    std::vector<std::vector<int>> elementGrid_;
    std::vector<std::vector<uint32_t>> elementPosition_;
    std::vector<int> numElements_;
    std::vector<std::vector<int>> vertexGrid_;
    std::vector<std::vector<uint32_t>> vertexPosition_;
    std::vector<std::array<int, 9>> colorOffsets_;
    std::vector<std::pair<int, int>> coarseNeighbors_;
    std::array<double, 576> Ke_{};
    std::array<double, 576> KeBlocks_{};
    double youngsModulus_ = kYoungsModulus;
    double poissonRatio_ = kPoissonRatio;

    std::vector<float> E_;                ///< stiffness factors
    std::vector<float> f_;                ///< load vector
    double fNorm_ = 0;                    ///< its norm
    std::vector<double> u_;               ///< displacement
    std::vector<std::vector<double>> A_;  ///< level operators
    std::vector<uint8_t> isVertexFixed_;  ///< nV, 1 = fixed
    std::vector<float> force_;            ///< 3*nV applied forces, interleaved x,y,z
    Vec3d gravity_{0, 0, 0};              ///< gravitational acceleration

    void buildHierarchy(const Volume<bool, double>& voxels);
    void buildCoarseNeighbors();
    void allocateHostArrays();
};

/// A built model, or the reason the voxel model was refused.
struct ModelBuild {
    std::unique_ptr<FemModel> model;  ///< null when refused
    std::wstring error;               ///< the refusal's "ERROR: ..." line; empty when built
};

/// Builds the model of `voxels` with `numLevels` levels, or returns the refusal of
/// modelSizeError (level count outside [3, 12], an empty volume, extents beyond the packed
/// positions, counts beyond the 32-bit indices) without building anything or printing.
ModelBuild buildModel(const Volume<bool, double>& voxels, int numLevels);

}  // namespace ostrel
