#pragma once
// Iso-surface extraction by marching cubes.
//
// Samples of the Volume<double,double> stand at the voxel centres offset + (i+0.5)*spacing.
// The output mesh is replaced by a closed, welded surface: every crossed grid edge yields exactly
// one vertex shared by all cubes around it (a per-layer edge cache keeps memory independent of
// nz). A sample strictly below `iso` is outside. With invert false each triangle's normal
// (p1-p0)x(p2-p0) points toward the smaller values, i.e. outward for a density field; invert
// reverses it. Resolutions below 2 give an empty (loaded) mesh. The optimizer calls it with
// iso 0.5, invert false, on a density field padded by one layer of low values, which makes the
// surface closed even where the solid touches the grid's faces.
//
// A volume too large for one process is extracted in slabs of z layers, each by the process
// that holds it, and joined in layer order into the very mesh the whole volume gives: the same
// vertices in the same order, the same triangles.

#include <cstdint>
#include <utility>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"

namespace ostrel {

void extractIsoSurface(const Volume<double, double>& volume, double iso, TriangleMesh& mesh,
                       bool invert);

/// The surface in the cells of one slab of z layers, with the vertices on its first and last
/// node layer named by their grid edge so that consecutive slabs join.
struct IsoSurfaceSlab {
    int firstLayer = 0;  ///< its first node layer in the whole volume
    int cellLayers = 0;  ///< 0: the slab has no cells and joins nothing
    std::vector<Vec3f> positions;
    std::vector<int32_t> indices;  ///< three per triangle, into positions
    /// (edge, vertex) for the vertices on the slab's first and on its last node layer; edge
    /// 2 * (x + nx * y) + axis names the grid edge from node (x, y) of the layer along x
    /// (axis 0) or y (axis 1).
    std::vector<std::pair<int64_t, int32_t>> first, last;
};

/// The cells of `slab`, which holds node layers [firstLayer, firstLayer + nz) of a larger volume
/// and that volume's offset and spacing: every position as extractIsoSurface places it in the
/// larger volume, to the bit.
IsoSurfaceSlab extractIsoSurfaceSlab(const Volume<double, double>& slab, int firstLayer,
                                     double iso, bool invert);

/// Slabs of consecutive layer runs, in layer order (each slab's first node layer the last of the
/// slab with cells before it), as one mesh: a slab's vertices on its first layer are the ones
/// the slab before it made, every other vertex and every triangle come in slab order, so the
/// mesh is extractIsoSurface's of the whole. False, with `mesh` left as it was, when a slab does
/// not start where the one before it ends or its first layer's vertices are not that slab's
/// last layer's (slabs out of order, or of other volumes).
bool joinIsoSurfaceSlabs(const std::vector<IsoSurfaceSlab>& slabs, TriangleMesh& mesh);

/// A slab as bytes (this machine's byte order) for another process, and back. readSlabBytes
/// is false, with `slab` left as it was, for bytes that are not a whole, consistent slab.
std::vector<unsigned char> slabBytes(const IsoSurfaceSlab& slab);
bool readSlabBytes(const std::vector<unsigned char>& bytes, IsoSurfaceSlab& slab);

}  // namespace ostrel
