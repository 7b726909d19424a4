#pragma once
// The result files that ostrel-batch writes for one step: the shape (OBJ or binary STL) and,
// on request, the VTK image-data file with the densities, the design, the kept flags, the
// element energies and the displacements (tools/VtkImage.h). Both are written in the output
// coordinates: the model's, or the input mesh's when the map back to them is given.

#include <filesystem>
#include <iosfwd>
#include <string>

#include "geometry/Matrix4.h"

namespace ostrel {

class FemModel;
class Optimizer;

enum class ShapeFormat { Obj, Stl };

class ResultFiles {
  public:
    /// Files go into `folder` (empty = the working directory). `toOutput` maps model
    /// coordinates to the written ones. Writers' messages go to `wideLog` (shapes) and `log`
    /// (VTK files); null = silent.
    ResultFiles(const FemModel& model, const Optimizer& optimizer, std::filesystem::path folder,
                ShapeFormat format, bool vtk, const Matrix4& toOutput, std::wostream* wideLog,
                std::ostream* log);

    /// folder / (stem + ".obj" or ".stl").
    std::filesystem::path shapePath(const std::string& stem) const;
    /// folder / (stem + ".vti").
    std::filesystem::path vtkPath(const std::string& stem) const;
    /// Writes the current shape (in the written coordinates, without degenerate triangles:
    /// removeDegenerateTriangles) and, with VTK output, the VTK file; true if all were written.
    bool write(const std::string& stem) const;

  private:
    const FemModel& model_;
    const Optimizer& optimizer_;
    std::filesystem::path folder_;
    ShapeFormat format_;
    bool vtk_;
    Matrix4 toOutput_;
    bool moved_;  ///< toOutput_ is not the identity
    std::wostream* wideLog_;
    std::ostream* log_;
};

}  // namespace ostrel
