#include "app/ControlPanels.h"

#include <imgui.h>

#include <algorithm>

#include "app/Controls.h"

namespace ostrel {

const std::array<ControlLayout, 4> kDevicePanelControls = {{
    {kToggleFullScreen, "Toggle full screen", false, 35, 10, 125, 22, Key::None},
    {kChangeDevice, "Change device (F2)", false, 35, 34, 125, 22, Key::F2},
    {kToggleRef, "Toggle REF (F3)", false, 35, 58, 125, 22, Key::F3},
    {kToggleWarp, "Toggle WARP (F4)", false, 35, 82, 125, 22, Key::F4},
}};

const std::array<ControlLayout, 21> kMainPanelControls = {{
    {kClearForces, "Clear Forces", false, 35, 10, 125, 22, Key::None},
    {kClearFixations, "Clear Fixations", false, 35, 34, 125, 22, Key::None},
    {kResetOstrel, "Reset Ostrel", false, 35, 58, 125, 22, Key::None},
    {kRunOstrel, "Run Ostrel", true, 35, 82, 125, 22, Key::None},
    {kWireFrame, "Wire Frame (W)", true, 200, 10, 165, 22, Key::W},
    {kRenderCoordinateSystem, "Render Coordinate System", true, 200, 34, 165, 22, Key::None},
    {kRenderGround, "Render Ground", true, 200, 58, 165, 22, Key::None},
    {kEnableShadows, "Enable Shadows", true, 200, 82, 165, 22, Key::None},
    {kEnableHeadLight, "Enable Head Light", true, 200, 106, 165, 22, Key::None},
    {kRenderSurface, "Render Surface", true, 200, 130, 165, 22, Key::None},
    {kRenderForcesVertices, "Render Forces/Vertices", true, 200, 154, 165, 22, Key::None},
    {kCrispDesign, "Crisp design (projection)", true, 35, 178, 200, 22, Key::None},
    {kPreviousCase, "< Case", false, 35, 234, 65, 22, Key::None},
    {kNextCase, "Case >", false, 105, 234, 65, 22, Key::None},
    {kAddCase, "Add Case", false, 200, 234, 75, 22, Key::None},
    {kRemoveCase, "Remove Case", false, 280, 234, 90, 22, Key::None},
    {kWeightDown, "Weight -", false, 35, 258, 65, 22, Key::None},
    {kWeightUp, "Weight +", false, 105, 258, 65, 22, Key::None},
    {kMirrorX, "Mirror x", true, 35, 290, 85, 22, Key::None},
    {kMirrorY, "Mirror y", true, 125, 290, 85, 22, Key::None},
    {kMirrorZ, "Mirror z", true, 215, 290, 85, 22, Key::None},
}};

namespace {

constexpr ImGuiWindowFlags kFixedPanel =
    ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
    ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse;

ImVec4 argbColour(unsigned argb) {
    return ImVec4(float((argb >> 16) & 0xFF) / 255.0f, float((argb >> 8) & 0xFF) / 255.0f,
                  float(argb & 0xFF) / 255.0f, float(argb >> 24) / 255.0f);
}

/// A check box whose whole size x height area is the hit area: the box on the left, the caption
/// after it. True when clicked.
bool fixedSizeCheckBox(const char* caption, bool checked, const ImVec2& size) {
    const bool clicked = ImGui::InvisibleButton(caption, size);
    const ImVec2 min = ImGui::GetItemRectMin();
    ImDrawList* draw = ImGui::GetWindowDrawList();
    const float box = size.y - 4;
    const ImVec2 boxMin(min.x + 2, min.y + 2), boxMax(min.x + 2 + box, min.y + 2 + box);
    const ImGuiCol frame = ImGui::IsItemActive()    ? ImGuiCol_FrameBgActive
                           : ImGui::IsItemHovered() ? ImGuiCol_FrameBgHovered
                                                    : ImGuiCol_FrameBg;
    draw->AddRectFilled(boxMin, boxMax, ImGui::GetColorU32(frame), 2.0f);
    if (checked) {
        const ImU32 mark = ImGui::GetColorU32(ImGuiCol_CheckMark);
        const float t = box / 6.0f;
        draw->AddLine(ImVec2(boxMin.x + t, boxMin.y + 3 * t),
                      ImVec2(boxMin.x + 2.5f * t, boxMax.y - t), mark, 2.0f);
        draw->AddLine(ImVec2(boxMin.x + 2.5f * t, boxMax.y - t), ImVec2(boxMax.x - t, boxMin.y + t),
                      mark, 2.0f);
    }
    const float textY = min.y + (size.y - ImGui::GetFontSize()) * 0.5f;
    draw->AddText(ImVec2(boxMax.x + 6, textY), ImGui::GetColorU32(ImGuiCol_Text), caption);
    return clicked;
}

}  // namespace

PixelArea ControlPanels::freeArea(int width, int height) {
    constexpr int kTextLines = 5;
    const float top = float(DeviceCallbacks::kTextY + kTextLines * DeviceCallbacks::kTextLineHeight) +
                      kMargin;
    const PixelArea area{0, top, float(width) - kMainWidth - 2 * kMargin, float(height)};
    if (area.x1 - area.x0 < 0.25f * float(width) || area.y1 - area.y0 < 0.25f * float(height))
        return {};
    return area;
}

void ControlPanels::draw(int backBufferWidth, int backBufferHeight) {
    controlRects_.clear();
    devicePanel_ = mainPanel_ = Rect{};
    if (!controls_.panelsShown())
        return;
    drawDevicePanel(float(backBufferWidth));
    drawMainPanel(float(backBufferWidth), float(backBufferHeight));
}

void ControlPanels::drawControl(const ControlLayout& control, float top) {
    ImGui::PushID(control.id);
    ImGui::SetCursorPos(ImVec2(control.x, top + control.y));
    const ImVec2 size(control.width, control.height);
    if (control.checkBox) {
        const bool checked = controls_.checkState(control.id);
        if (fixedSizeCheckBox(control.caption, checked, size))
            controls_.onControlEvent(control.id, !checked);
    } else if (ImGui::Button(control.caption, size)) {
        controls_.onControlEvent(control.id);
    }
    const ImVec2 min = ImGui::GetItemRectMin(), itemSize = ImGui::GetItemRectSize();
    controlRects_[control.id] = Rect{min.x, min.y, itemSize.x, itemSize.y};
    ImGui::PopID();
}

void ControlPanels::drawDevicePanel(float width) {
    const ImVec2 pos(width - kMargin - kDeviceWidth, kMargin);
    ImGui::SetNextWindowPos(pos, ImGuiCond_Always);
    ImGui::SetNextWindowSize(ImVec2(kDeviceWidth, kDeviceHeight), ImGuiCond_Always);
    if (ImGui::Begin("##Device", nullptr,
                     kFixedPanel | ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoBackground)) {
        // "Toggle full screen" is one pixel wider than its 125-pixel button in the default font.
        ImGui::SetWindowFontScale(kDeviceFontScale);
        for (const ControlLayout& control : kDevicePanelControls)
            drawControl(control, 0.0f);
    }
    devicePanel_ = Rect{pos.x, pos.y, kDeviceWidth, kDeviceHeight};
    ImGui::End();
}

void ControlPanels::drawMainPanel(float width, float height) {
    // The collapsed state of the last frame decides where the caption sits.
    const ImVec2 pos(width - kMargin - kMainWidth,
                     mainCollapsed_ ? height - kCollapsedBottom : height - kMargin - kMainHeight);
    ImGui::SetNextWindowPos(pos, ImGuiCond_Always);
    ImGui::SetNextWindowSize(ImVec2(kMainWidth, kMainHeight), ImGuiCond_Always);
    ImGui::PushStyleColor(ImGuiCol_WindowBg, argbColour(kMainBackground));
    const bool expanded = ImGui::Begin("Main Controls", nullptr, kFixedPanel);
    ImGui::PopStyleColor();
    mainCollapsed_ = ImGui::IsWindowCollapsed();
    const ImVec2 shown = ImGui::GetWindowSize();
    mainPanel_ = Rect{pos.x, pos.y, shown.x, shown.y};
    if (expanded) {
        const float caption = ImGui::GetFrameHeight();
        for (const ControlLayout& control : kMainPanelControls)
            drawControl(control, caption);
        ImGui::SetCursorPos(ImVec2(kLoadCaseTextX, caption + kLoadCaseTextY));
        ImGui::TextUnformatted(controls_.loadCaseText().c_str());
    }
    ImGui::End();
}

void ControlPanels::sendHotkey(Key key) {
    for (const ControlLayout& control : kDevicePanelControls)
        if (control.hotkey == key)
            return controls_.onControlEvent(control.id);
    for (const ControlLayout& control : kMainPanelControls)
        if (control.hotkey == key)
            return controls_.onControlEvent(
                control.id, control.checkBox ? !controls_.checkState(control.id) : false);
}

bool ControlPanels::handleKey(const KeyEvent& event) {
    if (!controls_.panelsShown() || !event.isDown() || event.modifiers.alt ||
        event.key == Key::None)
        return false;
    const auto hasHotkey = [key = event.key](const auto& panel) {
        return std::any_of(panel.begin(), panel.end(),
                           [key](const ControlLayout& c) { return c.hotkey == key; });
    };
    if (!hasHotkey(kDevicePanelControls) && !hasHotkey(kMainPanelControls))
        return false;
    sendHotkey(event.key);
    return true;
}

bool ControlPanels::handleMouse(const MouseEvent& event) const {
    if (!controls_.panelsShown())
        return false;
    // The rectangles of the last draw decide, not ImGui's wish for the mouse: that one was
    // computed at the last frame's cursor, and a press often arrives with the move that brought
    // the cursor onto a panel or away from it.
    const auto inside = [&event](const Rect& r) {
        return float(event.x) >= r.x && float(event.x) < r.x + r.width && float(event.y) >= r.y &&
               float(event.y) < r.y + r.height;
    };
    return inside(devicePanel_) || inside(mainPanel_);
}

}  // namespace ostrel
