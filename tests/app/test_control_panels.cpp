// The two ImGui panels without a window: an ImGui context with a built font atlas and no back
// end; mouse input is set on ImGuiIO directly, frame by frame.

#include <imgui.h>

#include "app/ControlPanels.h"
#include "tests/app/ControlsRig.h"

namespace ostrel {
namespace {

using namespace ostrel::testing;

class PanelsTest : public ControlsTest {
  protected:
    void SetUp() override {
        ControlsTest::SetUp();
        context_ = ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(800, 600);
        io.DeltaTime = 1.0f / 60.0f;
        unsigned char* pixels = nullptr;
        int w = 0, h = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
        panels_ = std::make_unique<ControlPanels>(*controls_);
        frame();
    }
    void TearDown() override { ImGui::DestroyContext(context_); }

    void frame(int width = 800, int height = 600) {
        ImGui::GetIO().DisplaySize = ImVec2(float(width), float(height));
        ImGui::NewFrame();
        panels_->draw(width, height);
        ImGui::Render();
    }
    /// Press and release the left button at (x, y), one frame each (and one to move there).
    void clickAt(float x, float y) {
        ImGuiIO& io = ImGui::GetIO();
        io.MousePos = ImVec2(x, y);
        frame();
        io.MouseDown[0] = true;
        frame();
        io.MouseDown[0] = false;
        frame();
    }
    void clickControl(int id) {
        const ControlPanels::Rect r = panels_->controlRects().at(id);
        clickAt(r.x + r.width / 2, r.y + r.height / 2);
    }
    bool hotkey(Key key) { return panels_->handleKey(keyPress(key)); }

    ImGuiContext* context_ = nullptr;
    std::unique_ptr<ControlPanels> panels_;
};

TEST_F(PanelsTest, DevicePanelAtTheTopRight) {
    const ControlPanels::Rect& panel = panels_->devicePanelRect();
    EXPECT_EQ(panel.x, 800 - 10 - 170);
    EXPECT_EQ(panel.y, 10);
    EXPECT_EQ(panel.width, 170);
    EXPECT_EQ(panel.height, 170);
    for (const ControlLayout& c : kDevicePanelControls) {
        const ControlPanels::Rect r = panels_->controlRects().at(c.id);
        EXPECT_EQ(r.x, panel.x + c.x) << c.caption;
        EXPECT_EQ(r.y, panel.y + c.y) << c.caption;
        EXPECT_EQ(r.width, 125) << c.caption;
        EXPECT_EQ(r.height, 22) << c.caption;
    }
}

TEST_F(PanelsTest, MainPanelAtTheBottomRightWithEveryControl) {
    const ControlPanels::Rect& panel = panels_->mainPanelRect();
    EXPECT_EQ(panel.x, 800 - 10 - 400);
    EXPECT_EQ(panel.y, 600 - 10 - 350);
    EXPECT_EQ(panel.width, 400);
    EXPECT_EQ(panel.height, 350);
    const float caption = ImGui::GetFrameHeight();
    const struct {
        int id;
        float x, y, w;
    } expected[] = {{7, 35, 10, 125},    {8, 35, 34, 125},   {18, 35, 58, 125},
                    {17, 35, 82, 125},   {19, 200, 10, 165}, {20, 200, 34, 165},
                    {21, 200, 58, 165},  {22, 200, 82, 165}, {23, 200, 106, 165},
                    {24, 200, 130, 165}, {25, 200, 154, 165}, {26, 35, 178, 200},
                    {27, 35, 234, 65},   {28, 105, 234, 65}, {29, 200, 234, 75},
                    {30, 280, 234, 90},  {31, 35, 258, 65},  {32, 105, 258, 65},
                    {33, 35, 290, 85},   {34, 125, 290, 85}, {35, 215, 290, 85}};
    ASSERT_EQ(panels_->controlRects().size(), 4u + 21u);
    for (const auto& e : expected) {
        const ControlPanels::Rect r = panels_->controlRects().at(e.id);
        EXPECT_EQ(r.x, panel.x + e.x) << e.id;
        EXPECT_EQ(r.y, panel.y + caption + e.y) << e.id;
        EXPECT_EQ(r.width, e.w) << e.id;
        EXPECT_EQ(r.height, 22) << e.id;
    }
    // Another back-buffer size moves both panels with their corners.
    frame(1024, 768);
    EXPECT_EQ(panels_->mainPanelRect().x, 1024 - 410);
    EXPECT_EQ(panels_->mainPanelRect().y, 768 - 360);
    EXPECT_EQ(panels_->devicePanelRect().x, 1024 - 180);
}

TEST_F(PanelsTest, MainPanelIsHalfTransparentRed) {
    EXPECT_EQ(ControlPanels::kMainBackground, 0x80FF0000u);
    // The colour of the panel's background in the draw data: the first filled rectangle of the
    // "Main Controls" window.
    const ImDrawData* data = ImGui::GetDrawData();
    bool found = false;
    for (int l = 0; l < data->CmdListsCount && !found; ++l) {
        const ImDrawList* list = data->CmdLists[l];
        for (int v = 0; v < list->VtxBuffer.Size; ++v) {
            const ImDrawVert& vert = list->VtxBuffer[v];
            if (vert.pos.x == 390 && vert.pos.y > 240 && vert.pos.y < 300) {
                // ImGui packs ABGR: red at alpha 0x80.
                EXPECT_EQ(vert.col, IM_COL32(0xFF, 0, 0, 0x80));
                found = true;
                break;
            }
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(PanelsTest, ButtonsSendTheirEvents) {
    ASSERT_TRUE(anyForce());
    clickControl(kClearForces);
    EXPECT_FALSE(anyForce());
    ASSERT_EQ(fixedCount(), 9);
    clickControl(kClearFixations);
    EXPECT_EQ(fixedCount(), 0);
    clickControl(kToggleRef);
    EXPECT_NE(toUtf8(wide_.str()).find("OpenGL driver cannot be switched"), std::string::npos);
}

TEST_F(PanelsTest, LoadCaseButtonsSendTheirEvents) {
    EXPECT_EQ(controls_->loadCaseText(), "Load case 1 of 1");
    clickControl(kAddCase);
    EXPECT_EQ(controls_->loadCaseText(), "Load case 2 of 2, weight 1");
    clickControl(kWeightUp);
    clickControl(kPreviousCase);
    EXPECT_EQ(controls_->loadCaseText(), "Load case 1 of 2, weight 1");
    clickControl(kWeightDown);
    clickControl(kNextCase);
    EXPECT_EQ(controls_->loadCaseText(), "Load case 2 of 2, weight 1.25");
    clickControl(kRemoveCase);
    EXPECT_EQ(controls_->loadCaseText(), "Load case 1 of 1");
    EXPECT_TRUE(scene_.designControls_.loadCaseWeights.empty());
    // The mirror boxes show and set the scene's planes.
    clickControl(kMirrorZ);
    EXPECT_TRUE(controls_->checkState(kMirrorZ));
    ASSERT_EQ(scene_.designControls_.symmetry.size(), 1u);
    EXPECT_EQ(scene_.designControls_.symmetry[0].axis, 2);
    clickControl(kMirrorZ);
    EXPECT_TRUE(scene_.designControls_.symmetry.empty());
}

TEST_F(PanelsTest, CheckBoxesShowAndSetTheFlags) {
    clickControl(kRunOstrel);
    EXPECT_TRUE(run_->isRunning());
    clickControl(kRunOstrel);
    EXPECT_FALSE(run_->isRunning());

    EXPECT_TRUE(settings_.renderGround);
    clickControl(kRenderGround);
    EXPECT_FALSE(settings_.renderGround);
    clickControl(kRenderForcesVertices);
    EXPECT_TRUE(settings_.renderForcesVertices);

    // A flag changed elsewhere is what the next click toggles from.
    settings_.wireFrame = true;
    clickControl(kWireFrame);
    EXPECT_FALSE(settings_.wireFrame);

    // The crisp-design box shows and sets the scene's projection mode.
    EXPECT_EQ(scene_.designControls_.projection, 0);
    clickControl(kCrispDesign);
    EXPECT_EQ(scene_.designControls_.projection, 1);
    EXPECT_TRUE(controls_->checkState(kCrispDesign));
    clickControl(kCrispDesign);
    EXPECT_EQ(scene_.designControls_.projection, 0);

    // A click beside the controls changes nothing.
    const RenderSettings before = settings_;
    clickAt(390 + 180, 600 - 360 + 100);
    EXPECT_EQ(std::memcmp(&before, &settings_, sizeof before), 0);
}

TEST_F(PanelsTest, HotkeysReachThePanelsOnlyWhileShown) {
    EXPECT_TRUE(hotkey(Key::W));
    EXPECT_TRUE(settings_.wireFrame);
    EXPECT_TRUE(hotkey(Key::W));
    EXPECT_FALSE(settings_.wireFrame);
    EXPECT_TRUE(hotkey(Key::F3));
    EXPECT_TRUE(hotkey(Key::F4));
    EXPECT_TRUE(hotkey(Key::F2));
    const std::string driver =
        "The OpenGL driver cannot be switched while Ostrel runs (start it with "
        "LIBGL_ALWAYS_SOFTWARE=1 for Mesa's software rasterizer); nothing changed\n";
    EXPECT_EQ(toUtf8(wide_.str()),
              driver + driver + "Change device: not available without a window; nothing changed\n");
    EXPECT_FALSE(hotkey(Key::Q));
    EXPECT_FALSE(panels_->handleKey(keyRelease(Key::W)));
    EXPECT_FALSE(panels_->handleKey(keyPress(Key::W, true)));  // Alt+W is no hotkey
    EXPECT_FALSE(settings_.wireFrame);

    wide_.str(L"");
    controls_->onKey(keyPress(Key::U));
    frame();
    EXPECT_TRUE(panels_->controlRects().empty());
    for (Key k : {Key::W, Key::F2, Key::F3, Key::F4})
        EXPECT_FALSE(hotkey(k));
    EXPECT_FALSE(settings_.wireFrame);
    EXPECT_EQ(toUtf8(wide_.str()), "");
    // Hidden panels take no clicks either.
    clickAt(390 + 35 + 60, 600 - 360 + ImGui::GetFrameHeight() + 10 + 11);
    EXPECT_TRUE(anyForce());

    controls_->onKey(keyPress(Key::U));
    frame();
    EXPECT_EQ(panels_->controlRects().size(), 25u);
    EXPECT_TRUE(hotkey(Key::W));
    EXPECT_TRUE(settings_.wireFrame);
}

TEST_F(PanelsTest, TheMouseIsThePanelsOverEitherPanelOnly) {
    ImGui::GetIO().MousePos = ImVec2(100, 100);  // ImGui's own cursor is over no window
    frame();
    struct Case {
        int x, y;
        bool panels;
    };
    const Case cases[] = {
        {600, 500, true},   // main panel, beside its controls
        {390, 240, true},   // its top-left corner
        {789, 589, true},   // its bottom-right pixel
        {790, 500, false},  // right of it
        {600, 239, false},  // above it
        {620, 10, true},    // device panel
        {789, 179, true},   // its bottom-right pixel
        {619, 100, false},  // left of it
        {400, 300 - 100, false},
        {100, 100, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(panels_->handleMouse(mouseMove(c.x, c.y)), c.panels) << c.x << ", " << c.y;
    // ImGui's wish for the mouse of the last frame does not count: the cursor has moved since.
    ImGui::GetIO().MousePos = ImVec2(600, 500);
    frame();
    ASSERT_TRUE(ImGui::GetIO().WantCaptureMouse);
    EXPECT_FALSE(panels_->handleMouse(mouseMove(100, 100)));
    // Hidden panels take no mouse.
    controls_->onKey(keyPress(Key::U));
    frame();
    EXPECT_FALSE(panels_->handleMouse(mouseMove(600, 500)));
}

TEST_F(PanelsTest, CollapsedMainPanelSitsThirtyPixelsFromTheBottom) {
    // A double click on the caption collapses the panel.
    const ControlPanels::Rect panel = panels_->mainPanelRect();
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = ImVec2(panel.x + 200, panel.y + 5);
    frame();
    for (int k = 0; k < 2; ++k) {
        io.MouseDown[0] = true;
        frame();
        io.MouseDown[0] = false;
        frame();
    }
    frame();
    ASSERT_TRUE(panels_->mainCollapsed());
    EXPECT_EQ(panels_->mainPanelRect().y, 600 - 30);
    EXPECT_EQ(panels_->mainPanelRect().x, 390);
    EXPECT_EQ(panels_->controlRects().count(kClearForces), 0u);
    EXPECT_EQ(panels_->controlRects().count(kToggleFullScreen), 1u);
}

}  // namespace
}  // namespace ostrel
