#pragma once
// Writing scene files from a mesh, a voxel size and selections of grid points (the engine of
// ostrel-make-scene).
//
// FIXED_VERTICES and FORCES name level-0 vertex grid points, which exist only where the voxel
// model has material. makeScene therefore loads the scene once without them through the real
// Scene loader (host device), picks the vertices that the selections describe from the
// FemModel, spreads every load's total force equally over its vertices and writes the final
// scene: a comment block that explains every key, then the keys. Both files are written to a
// temporary name and renamed, so a failed run leaves an existing scene untouched.
//
// Selections: one or more terms joined by "and"; a vertex is selected when every term holds.
//   x=0, y=min, z=max   level-0 vertex grid plane (min = 0, max = the last plane, or an integer)
//   box X0 Y0 Z0 X1 Y1 Z1   world box (prepared mesh coordinates, minimum corner at the
//                           origin; the mesh file's own with meshCoordinates), bounds included
// makeScene prints the mesh's box in its own and in world coordinates and the map between
// them, and the vertex grid's planes. A selection that holds no vertex is an error that names
// the vertices' range; so is a keep box that holds no element centre. Its last line counts the
// elements that a run holds solid (at fixed and loaded vertices, in keep-solid boxes).
// Messages are one line each: usage errors and failures begin with "ERROR: ".

#include <iosfwd>
#include <string>
#include <vector>

#include "fem/FemModel.h"
#include "geometry/Vec3.h"

namespace ostrel {

/// One term of a selection.
struct SelectionTerm {
    enum class Kind { Plane, Box } kind = Kind::Plane;
    int axis = 0;         ///< Plane: 0, 1, 2 for x, y, z
    bool last = false;    ///< Plane: the last grid plane of the axis ("max")
    int index = 0;        ///< Plane: grid plane index when not `last`
    Vec3d lo{}, hi{};     ///< Box: inclusive world bounds
};

struct Selection {
    std::string text;  ///< as the user wrote it (for messages and comments)
    std::vector<SelectionTerm> terms;
};

/// Parses `text`; on failure returns false with a one-line reason in `error`.
bool parseSelection(const std::string& text, Selection& selection, std::string& error);

/// Level-0 vertices (ascending index) at which every term of `selection` holds.
std::vector<int> selectVertices(const FemModel& model, const Selection& selection);

struct LoadSpec {
    Selection where;
    Vec3d total{};  ///< total force, spread equally over the selected vertices
    int loadCase = 1;  ///< the load case (1: FORCES; N > 1: FORCES_CASE_N), from --case
};

struct MakeSceneOptions {
    std::string mesh;    ///< OBJ or STL file
    std::string output;  ///< scene file to write
    double voxel = 0;    ///< voxel edge length (after scaling)
    int levels = 4;      ///< multigrid levels
    double scaleTo = 0;  ///< MESH_SCALE_TO (0 = not written)
    bool surfaceVoxels = false;
    /// Boxes of selections and keep boxes are in the mesh file's own coordinates (converted to
    /// world coordinates by the scene's scaling and move to the origin).
    bool meshCoordinates = false;
    bool allowUnfixed = false;  ///< write a scene that fixes no vertex (refused otherwise)
    /// Write a scene in which no force acts on a vertex that is not fixed (refused otherwise).
    bool allowUnloaded = false;
    std::vector<Selection> fixes;
    std::vector<LoadSpec> loads;
    /// KEEP_SOLID_BOXES and KEEP_EMPTY_BOXES (world boxes), written only when given.
    std::vector<SelectionTerm> keepSolid, keepEmpty;
    double volumeFraction = 0;  ///< OPTIMIZATION_VOLUME_FRACTION (0 = not written)
    std::vector<std::string> notes;  ///< description lines at the top of the file
    std::string commandLine;         ///< recorded in the file's comments
};

enum class ParseOutcome { Run, Help, Version, UsageError };

/// Parses the tool's arguments (argv[0] excluded). UsageError leaves the message in `error`.
ParseOutcome parseMakeSceneArguments(const std::vector<std::string>& args,
                                     MakeSceneOptions& options, std::string& error);

/// The --help text.
std::string makeSceneUsage();

/// Runs the whole job; progress and messages go to `out`. 0 on success, 1 on failure. An open
/// mesh and a voxel model in several pieces are warned about; a scene that fixes no vertex is
/// refused unless allowUnfixed is set, one without a force on a vertex that is not fixed
/// unless allowUnloaded is set.
int makeScene(const MakeSceneOptions& options, std::wostream& out);

/// MESH value for a scene written to `sceneFile`: the mesh path relative to the scene's folder
/// (forward slashes), or the absolute path when no relative one exists.
std::string meshPathForScene(const std::string& meshFile, const std::string& sceneFile);

/// Writes `text` to `path` through a temporary file in the same folder and a rename; on
/// failure `path` is untouched and `error` holds the reason (no file name).
bool writeTextAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace ostrel
