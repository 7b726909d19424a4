// Fuzz target: parses arbitrary bytes as a VTK image-data file (.vti). Every array that the
// reader accepts holds exactly one value per cell or point (times its components), the arrays
// together are no larger than the input, and the image written back reads back the same.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/VtkImage.h"

using namespace ostrel;

namespace {

size_t valueBytes(const std::string& type) {
    if (type == "Float64" || type == "Int64" || type == "UInt64") return 8;
    if (type == "Float32" || type == "Int32" || type == "UInt32") return 4;
    if (type == "Int16" || type == "UInt16") return 2;
    return 1;
}

void checkArrays(const VtkImage& image, size_t inputSize) {
    const size_t cells = size_t(image.cells[0]) * size_t(image.cells[1]) * size_t(image.cells[2]);
    const size_t points = size_t(image.cells[0] + 1) * size_t(image.cells[1] + 1) *
                          size_t(image.cells[2] + 1);
    size_t total = 0;
    for (const auto* section : {&image.cellData, &image.pointData})
        for (const VtkDataArray& a : *section) {
            const size_t count = section == &image.cellData ? cells : points;
            if (a.bytes.size() != count * size_t(a.components) * valueBytes(a.type)) std::abort();
            total += a.bytes.size();
        }
    // Each block of the input is copied at most once.
    if (total > inputSize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    VtkImage image;
    std::string error;
    if (!parseVtkImage(bytes, image, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    checkArrays(image, size);
    // Names with a quote cannot be written back as XML attribute values.
    for (const auto* section : {&image.cellData, &image.pointData})
        for (const VtkDataArray& a : *section)
            if (a.name.find_first_of("\"<&") != std::string::npos) return 0;
    VtkImage again;
    if (!parseVtkImage(vtkImageFileBytes(image), again, error)) std::abort();
    if (again.cells != image.cells || again.cellData.size() != image.cellData.size() ||
        again.pointData.size() != image.pointData.size())
        std::abort();
    for (size_t k = 0; k < image.cellData.size(); ++k)
        if (again.cellData[k].bytes != image.cellData[k].bytes) std::abort();
    for (size_t k = 0; k < image.pointData.size(); ++k)
        if (again.pointData[k].bytes != image.pointData[k].bytes) std::abort();
    return 0;
}
