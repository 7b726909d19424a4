#pragma once
// The result files that ostrel-batch writes for one step: the shape (OBJ or binary STL) and,
// on request, the VTK image-data file with the densities, the design, the kept flags, the
// element energies and the displacements (tools/VtkImage.h), or for a many-process run that
// file as a ".pvti" and one ".vti" piece per process (tools/VtkParallelImage.h). Both are written in the output
// coordinates: the model's, or the input mesh's when the map back to them is given. They read
// a DesignSnapshot (optimization/DesignSnapshot.h), never the optimizer's arrays, so that
// whatever the optimizer's path they describe the design of the moment the snapshot was taken.

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "geometry/Matrix4.h"
#include "tools/VtkImage.h"

namespace ostrel {

class FemModel;
struct DesignSnapshot;

enum class ShapeFormat { Obj, Stl };

class ResultFiles {
  public:
    /// Files go into `folder` (empty = the working directory). `toOutput` maps model
    /// coordinates to the written ones. Writers' messages go to `wideLog` (shapes) and `log`
    /// (VTK files); null = silent. `vtkPieces`: 0 writes one ".vti" file, N >= 1 a ".pvti" with
    /// the pieces of N processes.
    ResultFiles(const FemModel& model, std::filesystem::path folder, ShapeFormat format,
                bool vtk, const Matrix4& toOutput, std::wostream* wideLog, std::ostream* log,
                int vtkPieces = 0);

    /// folder / (stem + ".obj" or ".stl").
    std::filesystem::path shapePath(const std::string& stem) const;
    /// folder / (stem + ".vti"), or (stem + ".pvti") when pieces are written.
    std::filesystem::path vtkPath(const std::string& stem) const;
    /// Writes the snapshot's shape (in the written coordinates, without degenerate triangles:
    /// removeDegenerateTriangles) and, with VTK output, the VTK file of the snapshot with the
    /// cell arrays `extraCells` after its own; true if all were written.
    bool write(const std::string& stem, const DesignSnapshot& state,
               const std::vector<VtkDataArray>& extraCells = {}) const;

  private:
    const FemModel& model_;
    std::filesystem::path folder_;
    ShapeFormat format_;
    bool vtk_;
    Matrix4 toOutput_;
    bool moved_;  ///< toOutput_ is not the identity
    std::wostream* wideLog_;
    std::ostream* log_;
    int vtkPieces_;
};

}  // namespace ostrel
