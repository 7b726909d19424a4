#include "tools/VtkImage.h"

#include <cstdint>

#include "fem/FemModel.h"
#include "optimization/DesignSnapshot.h"

namespace ostrel {

VtkImage resultImage(const FemModel& model, const DesignSnapshot& state,
                     const Matrix4& toOutput) {
    VtkImage image;
    const std::array<int, 3>& d = model.elementDims(0);
    image.cells = d;

    // Placement: point (i, j, k) of the model lies at origin() + (i, j, k) * voxelSize(); the
    // output map's linear part L becomes the direction, or the spacing when it only scales.
    double L[9];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            L[3 * r + c] = toOutput(r, c);
    const Vec3d o = model.origin();
    for (int r = 0; r < 3; ++r)
        image.origin[r] =
            L[3 * r] * o.x + L[3 * r + 1] * o.y + L[3 * r + 2] * o.z + double(toOutput(r, 3));
    image.spacing = model.voxelSize();
    const bool scalesOnly = L[1] == 0 && L[2] == 0 && L[3] == 0 && L[5] == 0 && L[6] == 0 &&
                            L[7] == 0 && L[0] > 0 && L[4] > 0 && L[8] > 0;
    if (scalesOnly) {
        image.spacing = {image.spacing.x * L[0], image.spacing.y * L[4], image.spacing.z * L[8]};
    } else {
        for (int k = 0; k < 9; ++k)
            image.direction[size_t(k)] = L[k];
    }

    const size_t numCells = size_t(d[0]) * size_t(d[1]) * size_t(d[2]);
    const std::vector<int>& grid = model.elementGrid(0);
    VtkDataArray density{"Density", "Float32", 1, {}}, design{"Design", "Float32", 1, {}},
        kept{"Kept", "UInt8", 1, {}}, energy{"Energy", "Float32", 1, {}},
        solid{"Solid", "UInt8", 1, {}};
    for (VtkDataArray* a : {&density, &design, &energy})
        a->bytes.reserve(4 * numCells);
    const bool haveState = state.valid();
    for (size_t c = 0; c < numCells; ++c) {
        const int e = grid[c];
        const bool present = e >= 0;
        const bool valid = present && haveState;
        appendLittleEndian(density.bytes, valid ? state.density[size_t(e)] : 0.0f);
        appendLittleEndian(design.bytes, valid ? state.design[size_t(e)] : 0.0f);
        appendLittleEndian(kept.bytes, uint8_t(valid ? state.kept[size_t(e)] : 0));
        appendLittleEndian(energy.bytes, valid ? float(state.energy[size_t(e)]) : 0.0f);
        appendLittleEndian(solid.bytes, uint8_t(present ? 1 : 0));
    }
    image.cellData = {std::move(density), std::move(design), std::move(kept), std::move(energy),
                      std::move(solid)};

    const std::array<int, 3>& pd = model.vertexDims(0);
    const size_t numPoints = size_t(pd[0]) * size_t(pd[1]) * size_t(pd[2]);
    const std::vector<int>& vertices = model.vertexGrid(0);
    const size_t n = size_t(model.numVertices(0));
    VtkDataArray displacement{"Displacement", "Float32", 3, {}};
    displacement.bytes.reserve(12 * numPoints);
    for (size_t p = 0; p < numPoints; ++p) {
        const int v = vertices[p];
        double u[3] = {0, 0, 0};
        if (v >= 0 && state.displacement.size() >= 3 * n)
            for (int a = 0; a < 3; ++a)
                u[a] = state.displacement[size_t(a) * n + size_t(v)];
        for (int r = 0; r < 3; ++r)
            appendLittleEndian(displacement.bytes,
                   float(L[3 * r] * u[0] + L[3 * r + 1] * u[1] + L[3 * r + 2] * u[2]));
    }
    image.pointData = {std::move(displacement)};
    return image;
}

}  // namespace ostrel
