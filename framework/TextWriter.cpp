#include "framework/TextWriter.h"

#include <imgui.h>

namespace ostrel {

void TextWriter::drawTextLine(const std::string& line) {
    if (ImGui::GetCurrentContext() != nullptr) {
        ImGui::GetForegroundDrawList()->AddText(
            ImVec2(float(x_), float(y_)),
            ImGui::ColorConvertFloat4ToU32(ImVec4(color_.r, color_.g, color_.b, color_.a)),
            line.c_str());
    }
    y_ += lineHeight_;
}

}  // namespace ostrel
