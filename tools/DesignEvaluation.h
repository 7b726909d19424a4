#pragma once
// Evaluating a given design: the element densities of a VTK image that ostrel-batch --vtk wrote,
// optionally thresholded to solid and void, solved on the scene's model with the optimizer's
// stiffness law (E = 1000 * rho^3), and measured the way a run measures its own designs
// (compliance = sum of the element energies, volume fraction = sum rho / V0 without the
// keep-empty elements, grey fraction of the designable elements).
//
// This makes designs comparable that were measured on different densities: the default mode
// reports the compliance of its grey densities, the projection mode that of nearly 0/1 ones;
// both thresholded at the level that keeps their volume are solved as the same kind of object.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/VtkImage.h"

namespace ostrel {

class FemModel;
class Problem;

/// The "Density" cell array of `image` in element order, after checking that the image's grid
/// is the model's level-0 grid: the same cells per axis and a "Solid" array that marks exactly
/// the model's elements, and a grid step along each axis (spacing times the length of the
/// direction's column) equal to the model's voxel size within 1e-5, in the model's coordinates
/// or in those that `modelToOriginal` maps them to (a file written in the mesh's coordinates).
/// Every density must be a number in [0, 1]. On failure returns false with one sentence in
/// `error` (no "ERROR: ").
bool elementDensities(const VtkImage& image, const FemModel& model, std::vector<float>& rho,
                      std::string& error,
                      const Matrix4& modelToOriginal = Matrix4::identity());

struct ThresholdResult {
    double level = 0;  ///< the smallest density that became solid (1 when none did)
    size_t solid = 0;  ///< elements set to 1; the others hold the void density
};

/// Loaded vertices (a force other than 0) that no chain of elements with a density of at least
/// `solidLevel`, each sharing a face with the next, joins to a fixed vertex (elements that share
/// only an edge or a corner form a hinge and are not joined): loads that only near-void
/// material or a mechanism carries. A fixed loaded vertex is supported.
size_t unsupportedLoads(const FemModel& model, const std::vector<float>& rho, double solidLevel);

/// The k highest densities become 1 (ties: lower element numbers first), the others
/// `voidDensity`, with k chosen so that the new sum of densities is the closest to the old one.
ThresholdResult thresholdKeepingVolume(std::vector<float>& rho, float voidDensity);
/// Densities at or above `level` become 1, the others `voidDensity`.
ThresholdResult thresholdAtLevel(std::vector<float>& rho, double level, float voidDensity);

struct EvaluationOptions {
    enum class Threshold { None, KeepVolume, Level };
    Threshold threshold = Threshold::None;
    double level = 0.5;        ///< for Threshold::Level, in (0, 1]
    /// Relative residual of the solve; 1e-5 gives compliances to about 1e-6 (crisp designs, whose
    /// void is 10^9 times softer than their solid, need many cycles for less).
    double tolerance = 1e-5;
    /// Solves of up to MultigridSolver::kMaxCycles cycles each, every one going on from the last.
    int maxSolves = 10;
};

struct DesignEvaluation {
    double compliance = 0;      ///< sum of the element energies E * u^T Ke u
    /// With several load cases: each case's compliance (case 1 first); compliance is then
    /// their weighted sum, the optimization's objective. Empty with one case.
    std::vector<double> caseCompliances;
    double volumeFraction = 0;  ///< sum rho / V0 (keep-empty elements left out of both)
    double volume = 0;          ///< sum rho times the voxel volume, in model units
    double greyFraction = 0;    ///< designable elements with 0.1 < rho < 0.9
    size_t raised = 0;          ///< densities below the minimum density raised to it
    ThresholdResult threshold;  ///< when thresholded
    int cycles = 0;             ///< multigrid cycles of all solves (of every load case)
    double residual = 0;        ///< relative residual reached (the largest of the cases')
    size_t loadedVertices = 0;  ///< vertices with a force other than 0
    size_t unsupported = 0;     ///< of them, not joined to a fixed vertex by face-connected
                                ///< solid elements
    bool converged = false;     ///< the tolerance was reached (in every load case)
    /// The densities solved (thresholded and raised), element order, and the exponent of the
    /// stiffness law they were solved with: element e's factor is density[e]^penalty times
    /// that of a solid element.
    std::vector<float> density;
    double penalty = 3.0;
};

/// Solves the `problem` of a loaded scene with the element densities `rho` (element order, as from
/// elementDensities), thresholded as `options` say (void = the optimizer's minimum density; the
/// volume kept is that of the given densities), with densities below the minimum density raised
/// to it (a void of 0 would leave the system singular). The problem's design controls mark the kept and keep-empty elements. Solver lines
/// are not printed. False with `error` when the system is singular (the fixed vertices do not
/// hold the model); a solve that misses the tolerance returns true with converged false. Solid
/// for the load-path count means a density of at least 0.5.
bool evaluateDesign(Problem& problem, std::vector<float> rho, const EvaluationOptions& options,
                    DesignEvaluation& result, std::string& error);

}  // namespace ostrel
