#pragma once
// A design's figures in engineering units: the design solved once more with the scene's
// ELASTIC_MODULUS and POISSON_RATIO (the optimization itself keeps its fixed model, whose design
// does not depend on the modulus) for the largest displacement and the von Mises stress of every
// element, per load case.
//
// Element e has the modulus ELASTIC_MODULUS * density[e]^penalty, the design's own stiffness law;
// a grey element's stress is therefore that of its softened material (its strain times its
// reduced modulus), and void elements carry next to none. The stress of an element is taken at its
// centre from the strain of the trilinear hexahedron (fem/ElementStress.h). The maximum and the
// 99.9th percentile (nearest rank: the value at rank ceil(0.999 m) of the m counted values in
// ascending order) are taken over the elements of density at least 0.5 (all elements when none
// is): a voxel model's stair-stepped surface concentrates stress at its corners and edges, so the
// maximum is noisy and the percentile the steadier figure.
//
// Units: whatever coherent units the scene uses. Lengths are the model's (those of VOXEL_SIZE;
// the mesh file's unless MESH_SCALE_TO or MESH_TRANSFORMATION scales it), forces those of
// FORCES, stresses the unit of ELASTIC_MODULUS. Positions are given in the mesh file's
// coordinates (the inverse of the scene's map to the model) and as grid points or cells of the
// model; displacement components along the model's axes.
//
// Every load case of the solver (case 1 the model's forces, then the scene's further cases,
// MultigridSolver::loadCaseCount) is solved and reported in turn; case 1 is selected again at
// the end.

#include <iosfwd>
#include <string>
#include <vector>

#include "fem/FemModel.h"
#include "geometry/Vec3.h"
#include "tools/VtkImage.h"

namespace ostrel {

class MultigridSolver;
class Problem;
class Scene;

/// The outcome of solveToTolerance.
struct ToleranceSolve {
    bool converged = false;
    int cycles = 0;        ///< multigrid cycles of all solves
    double residual = 0;   ///< relative residual reached (0 without load)
};

/// Up to `maxSolves` (at least one) solves of the prepared `solver`, each going on from the
/// displacement of the last, until one reaches `tolerance` or a stop request ends one.
ToleranceSolve solveToTolerance(MultigridSolver& solver, double tolerance, int maxSolves);

struct EngineeringOptions {
    double yieldStress = 0;   ///< > 0: the safety factors against it are reported
    double tolerance = 1e-5;  ///< relative residual of the solve
    int maxSolves = 10;       ///< solves of up to MultigridSolver::kMaxCycles cycles each
};

/// A vertex or an element of the model.
struct ModelSite {
    int index = -1;      ///< vertex or element number; -1 for none
    GridPos grid{};      ///< its grid point (vertex) or cell (element)
    Vec3d position{};    ///< the vertex, or the element's centre, in the mesh file's coordinates
};

struct StressFigure {
    double value = 0;
    ModelSite site;  ///< the element with that value
};

/// The figures of one load case.
struct CaseFigures {
    int number = 1;
    double displacement = 0;  ///< largest displacement magnitude
    ModelSite displaced;      ///< its vertex (the first in vertex order on ties)
    int axis = 0;             ///< 0, 1, 2: the axis of its largest component
    double component = 0;     ///< that component, signed
    StressFigure maximum;     ///< largest von Mises stress (the first element on ties)
    StressFigure percentile;  ///< the 99.9th percentile, nearest rank
    size_t counted = 0;       ///< elements the stress figures are taken over
    bool solidOnly = true;    ///< counted are the elements of density >= 0.5
    std::vector<float> vonMises;  ///< per element, element order
    int cycles = 0;
    double residual = 0;      ///< relative residual reached
    bool converged = false;
};

struct EngineeringReport {
    double modulus = 0;
    double poissonRatio = 0;
    std::vector<CaseFigures> cases;
};

/// Empty when the scene's material can be solved with: ELASTIC_MODULUS a positive finite number
/// and POISSON_RATIO between -1 and 0.5 (both excluded); otherwise one sentence (no "ERROR: ").
std::string materialError(const Scene& scene);

/// Index, in ascending order, of the nearest-rank percentile of `perMille` thousandths of
/// `count` values: ceil(perMille * count / 1000) - 1 in whole numbers, at least 0.
/// Precondition: count > 0, 0 < perMille <= 1000.
size_t nearestRankIndex(size_t count, int perMille);

/// Solves the design `density` (element order; penalty: the stiffness law's exponent) of the
/// built `problem` of `scene` with the scene's material, case by case, into `report`. The model's
/// element matrix, element factors and displacement and the solver's logs and cycle-count sink
/// are as they were afterwards; the solver's operators on its device, and the element factors
/// there when an optimizer writes them on the device, are the last case's: a later solve needs
/// its factors set first (as every optimization step sets them). For the end of a run or an
/// evaluation. False with one sentence in `error` (no "ERROR: ") when the material
/// is refused (materialError), the density count is not the element count or the system is
/// singular; a solve that misses the tolerance returns true with the case's converged false.
bool reportInEngineeringUnits(Problem& problem, const Scene& scene,
                              const std::vector<float>& density, double penalty,
                              const EngineeringOptions& options, EngineeringReport& report,
                              std::string& error);

/// The report's lines, each ending in a line feed (see README): the material line, then per case
/// its displacement, the von Mises maximum and percentile, what they were taken over, the safety
/// factors (only with yieldStress > 0) and the solve.
std::string engineeringReportText(const EngineeringReport& report, double yieldStress);

/// What the programs add for a design: the report's text, the von Mises cells of every case
/// ("VonMises" for case 1, "VonMises_2", "VonMises_3", ... for the further cases) and whether
/// all went well. A failure (refused, or a case whose solve missed the tolerance) prints
/// its "ERROR: " line on `err`; the text is empty when refused.
struct DesignReport {
    bool ok = true;
    std::string text;
    std::vector<VtkDataArray> cells;
};
DesignReport reportDesign(Problem& problem, const Scene& scene, const std::vector<float>& density,
                          double penalty, const EngineeringOptions& options, std::ostream& err);

/// The cell array `name` (Float32) of the model's level-0 grid from per-element values: 0 in
/// cells without an element.
VtkDataArray vonMisesCells(const FemModel& model, const std::vector<float>& vonMises,
                           const std::string& name = "VonMises");

}  // namespace ostrel
