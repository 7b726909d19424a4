#include "tools/EngineeringReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <ostream>

#include "fem/ElementStress.h"
#include "gpu/MultigridSolver.h"
#include "optimization/Problem.h"
#include "scene/Scene.h"

namespace ostrel {

ToleranceSolve solveToTolerance(MultigridSolver& solver, double tolerance, int maxSolves) {
    ToleranceSolve result;
    for (int k = 0; k < std::max(1, maxSolves) && !result.converged; ++k) {
        result.converged = solver.solve(tolerance);
        result.cycles += solver.lastCycles();
        if (solver.lastSolveStopped()) break;
    }
    // An external engine's residual lives with the engine: the solver's own buffers hold none.
    result.residual = solver.externalSolve()   ? solver.lastRelativeResidual()
                      : solver.loadNorm() > 0 ? solver.residualNorm() / solver.loadNorm()
                                              : 0.0;
    return result;
}


namespace {

/// Density from which an element counts in the stress figures (as the load-path count's).
constexpr double kSolidLevel = 0.5;
constexpr int kPercentilePerMille = 999;

/// The model's material (so its element matrix), element factors, displacement and the solver's
/// logs and sink, swapped for those of a solve in another material and put back on destruction.
class MaterialSwap {
public:
    MaterialSwap(FemModel& model, MultigridSolver& solver, double E, double nu)
        : model_(model),
          solver_(solver),
          modulus_(model.youngsModulus()),
          poissonRatio_(model.poissonRatio()),
          factors_(model.stiffnessFactors()),
          displacement_(model.displacement()),
          wideLog_(solver.wideLog()),
          narrowLog_(solver.narrowLog()),
          sink_(solver.cycleCountSink()) {
        setMaterial(E, nu);
        solver_.setLogs(nullptr, nullptr);
        solver_.setCycleCountSink(nullptr);
    }
    ~MaterialSwap() {
        setMaterial(modulus_, poissonRatio_);
        model_.setStiffnessFactors(std::move(factors_));
        model_.setDisplacement(std::move(displacement_));
        solver_.setLogs(wideLog_, narrowLog_);
        solver_.setCycleCountSink(sink_);
    }
    MaterialSwap(const MaterialSwap&) = delete;
    MaterialSwap& operator=(const MaterialSwap&) = delete;

private:
    void setMaterial(double E, double nu) {
        model_.setMaterial(E, nu);
        solver_.reloadElementMatrix();
    }

    FemModel& model_;
    MultigridSolver& solver_;
    double modulus_, poissonRatio_;
    std::vector<float> factors_;
    std::vector<double> displacement_;
    std::wostream* wideLog_;
    std::ostream* narrowLog_;
    std::ostream* sink_;
};

/// Model coordinates to the mesh file's, in double precision.
Vec3d toMesh(const Matrix4& modelToMesh, const Vec3d& p) {
    double r[3];
    for (int i = 0; i < 3; ++i)
        r[i] = double(modelToMesh(i, 0)) * p.x + double(modelToMesh(i, 1)) * p.y +
               double(modelToMesh(i, 2)) * p.z + double(modelToMesh(i, 3));
    return {r[0], r[1], r[2]};
}

ModelSite vertexSite(const FemModel& model, const Matrix4& modelToMesh, int v) {
    const GridPos g = unpack(model.vertexPosition(0)[size_t(v)]);
    const Vec3d& s = model.voxelSize();
    const Vec3d p{model.origin().x + g.x * s.x, model.origin().y + g.y * s.y,
                  model.origin().z + g.z * s.z};
    return {v, g, toMesh(modelToMesh, p)};
}

ModelSite elementSite(const FemModel& model, const Matrix4& modelToMesh, int e) {
    const GridPos g = unpack(model.elementPosition(0)[size_t(e)]);
    const Vec3d& s = model.voxelSize();
    const Vec3d p{model.origin().x + (g.x + 0.5) * s.x, model.origin().y + (g.y + 0.5) * s.y,
                  model.origin().z + (g.z + 0.5) * s.z};
    return {e, g, toMesh(modelToMesh, p)};
}

/// The displacement figures of `u` (the model's layout).
void measureDisplacement(const FemModel& model, const Matrix4& modelToMesh,
                         const std::vector<double>& u, CaseFigures& figures) {
    const size_t n = size_t(model.numVertices(0));
    double largest = -1;
    int at = 0;
    for (size_t v = 0; v < n; ++v) {
        const double x = u[v], y = u[n + v], z = u[2 * n + v];
        const double magnitude = std::sqrt(x * x + y * y + z * z);
        if (magnitude > largest) largest = magnitude, at = int(v);
    }
    figures.displacement = largest;
    figures.displaced = vertexSite(model, modelToMesh, at);
    figures.axis = 0;
    for (int a = 1; a < 3; ++a)
        if (std::fabs(u[size_t(a) * n + size_t(at)]) > std::fabs(u[size_t(figures.axis) * n + size_t(at)]))
            figures.axis = a;
    figures.component = u[size_t(figures.axis) * n + size_t(at)];
}

/// The stress figures of the case's von Mises stresses over the solid elements of `density`.
void measureStress(const FemModel& model, const Matrix4& modelToMesh,
                   const std::vector<float>& density, CaseFigures& figures) {
    const std::vector<float>& stress = figures.vonMises;
    std::vector<int> counted;
    for (size_t e = 0; e < stress.size(); ++e)
        if (double(density[e]) >= kSolidLevel) counted.push_back(int(e));
    figures.solidOnly = !counted.empty();
    if (counted.empty()) {
        counted.resize(stress.size());
        std::iota(counted.begin(), counted.end(), 0);
    }
    figures.counted = counted.size();
    int top = counted[0];
    for (int e : counted)
        if (stress[size_t(e)] > stress[size_t(top)]) top = e;
    figures.maximum = {double(stress[size_t(top)]), elementSite(model, modelToMesh, top)};
    // A total order (value, then element number) makes the element of the rank well defined.
    const size_t rank = nearestRankIndex(counted.size(), kPercentilePerMille);
    std::nth_element(counted.begin(), counted.begin() + std::ptrdiff_t(rank), counted.end(),
                     [&stress](int a, int b) {
                         return stress[size_t(a)] < stress[size_t(b)] ||
                                (stress[size_t(a)] == stress[size_t(b)] && a < b);
                     });
    const int at = counted[rank];
    figures.percentile = {double(stress[size_t(at)]), elementSite(model, modelToMesh, at)};
}

std::string number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string siteText(const ModelSite& site, const char* kind) {
    const Vec3d& p = site.position;
    return "at (" + number(p.x) + ", " + number(p.y) + ", " + number(p.z) + ") (" + kind + " " +
           std::to_string(site.grid.x) + " " + std::to_string(site.grid.y) + " " +
           std::to_string(site.grid.z) + ")";
}

}  // namespace

std::string materialError(const Scene& scene) {
    const double E = scene.elasticModulus_, nu = scene.poissonRatio_;
    if (!(E > 0) || !std::isfinite(E))
        return "the scene's ELASTIC_MODULUS " + number(E) + " is not a positive number";
    if (!(nu > -1 && nu < 0.5))
        return "the scene's POISSON_RATIO " + number(nu) +
               " is not between -1 and 0.5 (both excluded)";
    return {};
}

size_t nearestRankIndex(size_t count, int perMille) {
    // Whole numbers: a product like 0.999 * 2000 need not round to the rank it stands for.
    const size_t rank = (size_t(perMille) * count + 999) / 1000;
    return rank < 1 ? 0 : std::min(count, rank) - 1;
}

bool reportInEngineeringUnits(Problem& problem, const Scene& scene,
                              const std::vector<float>& density, double penalty,
                              const EngineeringOptions& options, EngineeringReport& report,
                              std::string& error) {
    report = EngineeringReport{};
    error = materialError(scene);
    if (!error.empty()) return false;
    FemModel& model = problem.model();
    MultigridSolver& solver = problem.solver();
    if (density.size() != size_t(model.numElements(0))) {
        error = "the design has " + std::to_string(density.size()) + " densities for " +
                std::to_string(model.numElements(0)) + " elements";
        return false;
    }
    report.modulus = scene.elasticModulus_;
    report.poissonRatio = scene.poissonRatio_;
    const Matrix4 modelToMesh = inverse(scene.meshToModel_);
    std::vector<float> factors(density.size());
    for (size_t e = 0; e < density.size(); ++e)
        factors[e] = float(std::pow(double(density[e]), penalty));

    // Every load case of the solver: case 1 the forces the model holds.
    const int caseCount = solver.loadCaseCount();
    MaterialSwap swap(model, solver, report.modulus, report.poissonRatio);
    solver.computeLoad();
    for (int c = 1; c <= caseCount; ++c) {
        solver.selectLoadCase(c - 1);
        CaseFigures figures;
        figures.number = c;
        model.setStiffnessFactors(factors);
        // With an optimizer on the device the solver takes the factors written there.
        if (solver.optimizerOnDevice()) {
            if (solver.driver().memcpyHtoD(solver.nextFactors(), factors.data(),
                                           4 * factors.size()) != CUDA_SUCCESS) {
                solver.selectLoadCase(0);
                error = "the element factors cannot be copied to the device";
                return false;
            }
            solver.factorsWritten();
        }
        solver.prepareSolve();
        if (!solver.coarseFactorValid()) {
            solver.selectLoadCase(0);
            error = "the system is singular: the fixed vertices do not hold the model in place";
            return false;
        }
        // The first solve starts from the displacement the solver holds (of the model's own
        // material, a start like any other).
        const ToleranceSolve solved =
            solveToTolerance(solver, options.tolerance, options.maxSolves);
        figures.converged = solved.converged;
        figures.cycles = solved.cycles;
        figures.residual = solved.residual;
        if (solver.optimizerOnDevice()) solver.downloadDisplacements();
        measureDisplacement(model, modelToMesh, model.displacement(), figures);
        figures.vonMises =
            elementVonMises(model, model.displacement(), factors, report.modulus,
                            report.poissonRatio);
        measureStress(model, modelToMesh, density, figures);
        report.cases.push_back(std::move(figures));
    }
    solver.selectLoadCase(0);
    return true;
}

std::string engineeringReportText(const EngineeringReport& report, double yieldStress) {
    std::string text = "Material: ELASTIC_MODULUS " + number(report.modulus) +
                       ", POISSON_RATIO " + number(report.poissonRatio) +
                       " (the scene's; lengths in the model's units, those of VOXEL_SIZE, "
                       "stresses in those of ELASTIC_MODULUS)\n";
    for (const CaseFigures& c : report.cases) {
        const std::string name = "Case " + std::to_string(c.number) + " ";
        text += name + "displacement: largest " + number(c.displacement) + " " +
                siteText(c.displaced, "grid point") + ", its largest component " +
                number(c.component) + " along " + "xyz"[c.axis] + "\n";
        text += name + "von Mises maximum: " + number(c.maximum.value) + " " +
                siteText(c.maximum.site, "cell") + "\n";
        text += name + "von Mises 99.9th percentile: " + number(c.percentile.value) + " " +
                siteText(c.percentile.site, "cell") + "\n";
        text += name + "stresses taken over: " + std::to_string(c.counted) +
                (c.solidOnly ? " elements of density >= 0.5" : " elements (none has density >= 0.5)") +
                " (voxel corners and edges concentrate stress: the maximum is noisy, the "
                "percentile the steadier figure)\n";
        if (yieldStress > 0) {
            auto factor = [yieldStress](double stress) {
                return stress > 0 ? number(yieldStress / stress) : std::string("inf");
            };
            text += name + "safety factor: " + factor(c.percentile.value) +
                    " against the 99.9th percentile, " + factor(c.maximum.value) +
                    " against the maximum (yield stress " + number(yieldStress) + ")\n";
        }
        text += name + "solve: " + std::to_string(c.cycles) + " multigrid cycles, relative residual " +
                number(c.residual) + (c.converged ? "" : " (not converged)") + "\n";
    }
    return text;
}

DesignReport reportDesign(Problem& problem, const Scene& scene, const std::vector<float>& density,
                          double penalty, const EngineeringOptions& options, std::ostream& err) {
    DesignReport result;
    EngineeringReport report;
    std::string error;
    if (!reportInEngineeringUnits(problem, scene, density, penalty, options, report, error)) {
        err << "ERROR: Cannot report the design in engineering units: " << error << "\n";
        result.ok = false;
        return result;
    }
    result.text = engineeringReportText(report, options.yieldStress);
    for (const CaseFigures& c : report.cases) {
        if (!c.converged) {
            char text[64];
            std::snprintf(text, sizeof text, "%g", options.tolerance);
            err << "ERROR: The solve of case " << c.number << " in the scene's material did not "
                << "reach the relative residual " << text << " in " << c.cycles
                << " cycles; its figures are not reliable\n";
            result.ok = false;
        }
        // Case 1's stresses keep the name they have with one case.
        result.cells.push_back(vonMisesCells(
            problem.model(), c.vonMises,
            c.number == 1 ? "VonMises" : "VonMises_" + std::to_string(c.number)));
    }
    return result;
}

VtkDataArray vonMisesCells(const FemModel& model, const std::vector<float>& vonMises,
                           const std::string& name) {
    VtkDataArray array{name, "Float32", 1, {}};
    const std::vector<int>& grid = model.elementGrid(0);
    array.bytes.reserve(4 * grid.size());
    for (int e : grid)
        appendLittleEndian(array.bytes, e >= 0 && size_t(e) < vonMises.size() ? vonMises[size_t(e)] : 0.0f);
    return array;
}

}  // namespace ostrel
