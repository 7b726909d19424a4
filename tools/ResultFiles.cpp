#include "tools/ResultFiles.h"

#include "core/Console.h"
#include "geometry/DegenerateTriangles.h"
#include "geometry/MeshFile.h"
#include "optimization/DesignSnapshot.h"
#include "tools/VtkImage.h"
#include "tools/VtkParallelImage.h"

namespace ostrel {

ResultFiles::ResultFiles(const FemModel& model, std::filesystem::path folder, ShapeFormat format,
                         bool vtk, const Matrix4& toOutput, std::wostream* wideLog,
                         std::ostream* log, int vtkPieces)
    : model_(model),
      folder_(std::move(folder)),
      format_(format),
      vtk_(vtk),
      toOutput_(toOutput),
      moved_(!(toOutput == Matrix4::identity())),
      wideLog_(wideLog),
      log_(log),
      vtkPieces_(vtkPieces) {}

std::filesystem::path ResultFiles::shapePath(const std::string& stem) const {
    return folder_ / (stem + (format_ == ShapeFormat::Stl ? ".stl" : ".obj"));
}

std::filesystem::path ResultFiles::vtkPath(const std::string& stem) const {
    return folder_ / (stem + (vtkPieces_ > 0 ? ".pvti" : ".vti"));
}

bool ResultFiles::write(const std::string& stem, const DesignSnapshot& state,
                        const std::vector<VtkDataArray>& extraCells) const {
    const std::wstring shapeFile = fromUtf8(shapePath(stem).string());
    TriangleMesh shape = state.shape;
    if (moved_) shape.transform(toOutput_.m.data());
    // In the written coordinates: mesh checkers and slicers reject triangles without area.
    removeDegenerateTriangles(shape);
    bool ok = format_ == ShapeFormat::Stl ? writeStl(shape, shapeFile, wideLog_)
                                          : shape.writeObj(shapeFile, wideLog_);
    if (vtk_) {
        VtkImage image = resultImage(model_, state, toOutput_);
        image.cellData.insert(image.cellData.end(), extraCells.begin(), extraCells.end());
        ok = (vtkPieces_ > 0 ? writeVtkPieces(vtkPath(stem), image, vtkPieces_, log_)
                             : writeVtkImage(vtkPath(stem), image, log_)) &&
             ok;
    }
    return ok;
}

}  // namespace ostrel
