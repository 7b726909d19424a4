#include "tools/DesignEvaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "gpu/MultigridSolver.h"
#include "gpu/DeviceOptimizer.h"
#include "optimization/KernelSteps.h"
#include "optimization/Optimizer.h"
#include "optimization/Problem.h"
#include "tools/EngineeringReport.h"

namespace ostrel {

namespace {

std::string cellsText(const std::array<int, 3>& d) {
    return std::to_string(d[0]) + " x " + std::to_string(d[1]) + " x " + std::to_string(d[2]);
}

}  // namespace

bool elementDensities(const VtkImage& image, const FemModel& model, std::vector<float>& rho,
                      std::string& error, const Matrix4& modelToOriginal) {
    const std::array<int, 3>& d = model.elementDims(0);
    if (image.cells != d) {
        error = "its grid has " + cellsText(image.cells) + " cells, the scene's voxel model " +
                cellsText(d);
        return false;
    }
    for (int a = 0; a < 3; ++a) {
        const std::array<double, 9>& m = image.direction;
        const double step = image.spacing[a] * std::sqrt(m[size_t(a)] * m[size_t(a)] +
                                                         m[size_t(3 + a)] * m[size_t(3 + a)] +
                                                         m[size_t(6 + a)] * m[size_t(6 + a)]);
        const double voxel = model.voxelSize()[a];
        double column = 0;
        for (int r = 0; r < 3; ++r)
            column += double(modelToOriginal(r, a)) * double(modelToOriginal(r, a));
        const double original = voxel * std::sqrt(column);
        auto matches = [step](double size) { return std::fabs(step - size) <= 1e-5 * size; };
        if (!(matches(voxel) || matches(original))) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "its grid step %.9g along %c is not the scene's voxel size %.9g", step,
                          "xyz"[a], voxel);
            error = std::string(text) + ": it was written for another scene or voxel size";
            return false;
        }
    }
    const VtkDataArray* density = findCellArray(image, "Density");
    const VtkDataArray* solid = findCellArray(image, "Solid");
    if (!density || density->components != 1) {
        error = "it has no single-component cell array \"Density\"";
        return false;
    }
    if (!solid || solid->components != 1) {
        error = "it has no cell array \"Solid\" to check its voxel model against the scene's";
        return false;
    }
    const std::vector<double> values = arrayValues(*density);
    const std::vector<double> occupied = arrayValues(*solid);
    const std::vector<int>& grid = model.elementGrid(0);
    if (values.size() != grid.size() || occupied.size() != grid.size()) {
        error = "its \"Density\" or \"Solid\" array is not one number per cell";
        return false;
    }
    size_t mismatched = 0, first = 0;
    for (size_t c = 0; c < grid.size(); ++c)
        if ((occupied[c] != 0) != (grid[c] >= 0) && mismatched++ == 0) first = c;
    if (mismatched > 0) {
        const size_t x = first % size_t(d[0]), y = first / size_t(d[0]) % size_t(d[1]),
                     z = first / (size_t(d[0]) * size_t(d[1]));
        error = "its voxel model differs from the scene's in " + std::to_string(mismatched) +
                " cells (the first at " + std::to_string(x) + " " + std::to_string(y) + " " +
                std::to_string(z) + "): it was written for another scene or voxel size";
        return false;
    }
    rho.assign(size_t(model.numElements(0)), 0.0f);
    for (size_t c = 0; c < grid.size(); ++c) {
        if (grid[c] < 0) continue;
        const double v = values[c];
        if (!(v >= 0.0 && v <= 1.0)) {
            error = "its density " + std::to_string(v) + " of element " + std::to_string(grid[c]) +
                    " is not a number between 0 and 1";
            return false;
        }
        rho[size_t(grid[c])] = float(v);
    }
    return true;
}

size_t unsupportedLoads(const FemModel& model, const std::vector<float>& rho, double solidLevel) {
    // Union-find over the solid elements, joined through shared faces only: elements that
    // share just an edge or a corner turn about it (a hinge) and carry no load.
    const size_t n = rho.size();
    auto solid = [&](int e) { return e >= 0 && double(rho[size_t(e)]) >= solidLevel; };
    std::vector<int> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&parent](int e) {
        while (parent[size_t(e)] != e) e = parent[size_t(e)] = parent[size_t(parent[size_t(e)])];
        return e;
    };
    for (size_t e = 0; e < n; ++e) {
        if (!solid(int(e))) continue;
        const GridPos p = unpack(model.elementPosition(0)[e]);
        const GridPos next[3] = {{p.x + 1, p.y, p.z}, {p.x, p.y + 1, p.z}, {p.x, p.y, p.z + 1}};
        for (const GridPos& q : next) {
            const int j = model.elementAt(0, q);
            if (solid(j)) parent[size_t(root(j))] = root(int(e));
        }
    }
    // Pieces with a fixed corner are held; the corners of their elements are reached.
    auto corner = [&model](const GridPos& p, int k) {
        return model.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
    };
    std::vector<uint8_t> held(n, 0);
    for (size_t e = 0; e < n; ++e) {
        if (!solid(int(e))) continue;
        const GridPos p = unpack(model.elementPosition(0)[e]);
        for (int k = 0; k < 8; ++k)
            if (model.fixedFlags()[size_t(corner(p, k))]) held[size_t(root(int(e)))] = 1;
    }
    std::vector<uint8_t> reached(model.fixedFlags().begin(), model.fixedFlags().end());
    for (size_t e = 0; e < n; ++e) {
        if (!solid(int(e)) || !held[size_t(root(int(e)))]) continue;
        const GridPos p = unpack(model.elementPosition(0)[e]);
        for (int k = 0; k < 8; ++k) reached[size_t(corner(p, k))] = 1;
    }
    size_t unsupported = 0;
    for (size_t v = 0; v < reached.size(); ++v) {
        const float* f = &model.forces()[3 * v];
        if ((f[0] != 0 || f[1] != 0 || f[2] != 0) && !reached[v]) ++unsupported;
    }
    return unsupported;
}

ThresholdResult thresholdKeepingVolume(std::vector<float>& rho, float voidDensity) {
    const size_t n = rho.size();
    double sum = 0.0;
    for (float r : rho) sum += double(r);
    // k solid elements give the sum k + (n - k) * void.
    const double v = double(voidDensity);
    const double best = std::round((sum - double(n) * v) / (1.0 - v));
    const size_t k = size_t(std::clamp(best, 0.0, double(n)));
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&rho](size_t a, size_t b) { return rho[a] > rho[b]; });
    ThresholdResult result{k > 0 ? double(rho[order[k - 1]]) : 1.0, k};
    for (size_t i = 0; i < n; ++i) rho[order[i]] = i < k ? 1.0f : voidDensity;
    return result;
}

ThresholdResult thresholdAtLevel(std::vector<float>& rho, double level, float voidDensity) {
    ThresholdResult result{1.0, 0};
    for (float& r : rho) {
        if (double(r) >= level) {
            result.level = std::min(result.level, double(r));
            ++result.solid;
            r = 1.0f;
        } else {
            r = voidDensity;
        }
    }
    return result;
}

bool evaluateDesign(Problem& problem, std::vector<float> rho, const EvaluationOptions& options,
                    DesignEvaluation& result, std::string& error) {
    result = DesignEvaluation{};
    FemModel& model = problem.model();
    MultigridSolver& solver = problem.solver();
    if (rho.size() != size_t(model.numElements(0))) {
        error = "the design has " + std::to_string(rho.size()) + " densities for " +
                std::to_string(model.numElements(0)) + " elements";
        return false;
    }

    // The optimizer's state gives the kept and keep-empty elements, the stiffness law, the
    // energies and the measures a run reports; nothing of it is written to files or the console.
    // Its per-element steps are the kernel path of a run, on the solver's device.
    OptimizationLifetime lifetime;
    lifetime.firstEnergyEvaluation = false;
    DeviceOptimizer device(solver);
    KernelSteps steps(device);
    Optimizer optimizer(model, lifetime);
    optimizer.attachSteps(&steps);
    optimizer.setLogs(nullptr, nullptr);
    optimizer.setMoreLoads(&solver.moreLoads());
    optimizer.history().setEnabled(false);
    optimizer.setControls(problem.controls());
    optimizer.reset();

    // The threshold keeps the file's own volume; its void is the minimum density already.
    const float low = float(optimizer.minDensity());
    if (options.threshold == EvaluationOptions::Threshold::KeepVolume)
        result.threshold = thresholdKeepingVolume(rho, low);
    else if (options.threshold == EvaluationOptions::Threshold::Level)
        result.threshold = thresholdAtLevel(rho, options.level, low);
    for (float& r : rho)
        if (r < low) {
            r = low;
            ++result.raised;
        }
    optimizer.setDensities(rho);
    for (size_t v = 0; v < size_t(model.numVertices(0)); ++v) {
        const float* f = &model.forces()[3 * v];
        result.loadedVertices += f[0] != 0 || f[1] != 0 || f[2] != 0;
    }
    result.unsupported = unsupportedLoads(model, rho, 0.5);

    solver.setLogs(&wideOut(), nullptr);
    solver.computeLoad();
    optimizer.updateStiffness();
    solver.prepareSolve();
    if (!solver.coarseFactorValid()) {
        error = "the system is singular: the fixed vertices do not hold the model in place";
        return false;
    }
    // Every load case to the tolerance, each case's energies into the optimizer's (with one
    // case the solve's energies are evaluated as they are).
    const int cases = solver.loadCaseCount();
    result.converged = true;
    for (int c = 0; c < cases; ++c) {
        solver.selectLoadCase(c);
        const ToleranceSolve solved =
            solveToTolerance(solver, options.tolerance, options.maxSolves);
        result.converged = result.converged && solved.converged;
        result.cycles += solved.cycles;
        result.residual = std::max(result.residual, solved.residual);
        if (cases > 1) optimizer.evaluateCaseEnergies(c);
    }
    solver.selectLoadCase(0);

    optimizer.evaluateEnergies();
    result.compliance = optimizer.totalEnergy();
    result.caseCompliances = optimizer.caseCompliances();
    const double total = optimizer.totalDensity();
    const double initial = optimizer.initialVolume();
    result.volumeFraction = initial > 0 ? total / initial : 0.0;
    const Vec3d& s = model.voxelSize();
    result.volume = total * s.x * s.y * s.z;
    result.greyFraction = greyFraction(optimizer.snapshot());
    result.penalty = optimizer.penalty();
    result.density = std::move(rho);
    return true;
}

}  // namespace ostrel
