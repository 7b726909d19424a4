#pragma once
// The two panels of on-screen controls, drawn with Dear ImGui over the 3-D view.
//
// Device panel: 170 x 170, no caption, its top-right corner 10 pixels from the back buffer's
// top-right corner: "Toggle full screen" (1), "Change device (F2)" (3), "Toggle REF (F3)" (2),
// "Toggle WARP (F4)" (4). Panel "Main Controls": caption shown, background red at half opacity
// (0x80FF0000), 400 x 350, 10 pixels from the right and bottom edges (its top 30 pixels above
// the bottom while collapsed to its caption); buttons "Clear Forces" (7), "Clear Fixations" (8),
// "Reset Ostrel" (18), check box "Run Ostrel" (17), the renderer's check boxes 19 to 25 and
// check box "Crisp design (projection)" (26, below the others on the left, 200 wide for its
// caption); below it the line Controls::loadCaseText() (at 35, 210) and the load-case buttons
// "< Case" (27), "Case >" (28), "Add Case" (29), "Remove Case" (30), "Weight -" (31) and
// "Weight +" (32); at the bottom the check boxes "Mirror x" (33), "Mirror y" (34) and "Mirror z"
// (35).
// Positions are in pixels from the panel's top-left corner, below the caption for the main panel.
// Check boxes show the run flag and renderer flags of every frame.
//
// draw() runs between ImGui::NewFrame and ImGui::Render of the window's frame and sends every
// click to Controls::onControlEvent. The hotkeys W (check box 19), F2 (3), F3 (2) and F4 (4)
// arrive through handleKey. Both do nothing while the panels are hidden (key U). An ImGui
// context must be current. Window thread only.

#include <array>
#include <map>

#include "framework/InputEvents.h"
#include "render/DeviceCallbacks.h"

namespace ostrel {

class Controls;

/// One control of a panel.
struct ControlLayout {
    int id;
    const char* caption;
    bool checkBox;
    float x, y, width, height;  ///< pixels in the panel
    Key hotkey;                 ///< Key::None = none
};

extern const std::array<ControlLayout, 4> kDevicePanelControls;
extern const std::array<ControlLayout, 21> kMainPanelControls;
/// Where the load-case line starts in the main panel (pixels below the caption).
inline constexpr float kLoadCaseTextX = 35, kLoadCaseTextY = 210;

class ControlPanels {
  public:
    static constexpr float kDeviceWidth = 170, kDeviceHeight = 170;
    static constexpr float kMainWidth = 400, kMainHeight = 350;
    static constexpr float kMargin = 10, kCollapsedBottom = 30;
    static constexpr unsigned kMainBackground = 0x80FF0000u;  ///< ARGB
    static constexpr float kDeviceFontScale = 0.9f;

    explicit ControlPanels(Controls& controls) : controls_(controls) {}

    /// The part of a width x height back buffer that the shown panels and the statistics text
    /// leave free, where the picture is centred: left of the main panel (with a margin) and
    /// below the text's five lines, down to the bottom. Empty when that leaves less than a
    /// quarter of the width or the height.
    static PixelArea freeArea(int width, int height);

    /// Both panels for a back buffer of the given size (nothing while hidden).
    void draw(int backBufferWidth, int backBufferHeight);
    /// The hotkeys W, F2, F3 and F4 (pressed or repeated without Alt) while the panels are
    /// shown; true when a panel took the key.
    bool handleKey(const KeyEvent& event);
    /// True while the panels are shown and the event's cursor lies on a panel of the last draw.
    bool handleMouse(const MouseEvent& event) const;

    struct Rect {
        float x = 0, y = 0, width = 0, height = 0;
    };
    /// Screen rectangles of the last draw (empty while hidden): controls by identifier, panels.
    const std::map<int, Rect>& controlRects() const { return controlRects_; }
    const Rect& devicePanelRect() const { return devicePanel_; }
    const Rect& mainPanelRect() const { return mainPanel_; }
    bool mainCollapsed() const { return mainCollapsed_; }

  private:
    void drawDevicePanel(float width);
    void drawMainPanel(float width, float height);
    void drawControl(const ControlLayout& control, float top);
    void sendHotkey(Key key);

    Controls& controls_;
    std::map<int, Rect> controlRects_;
    Rect devicePanel_, mainPanel_;
    bool mainCollapsed_ = false;
};

}  // namespace ostrel
