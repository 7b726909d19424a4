#pragma once
// The text writer: lines of text over the frame, drawn with Dear ImGui's foreground draw list.
// Colour, insertion point and line height as set; every drawn line moves the insertion point
// down by the line height. Use only between the framework's ImGui NewFrame and Render, i.e.
// inside the frame-render callback.

#include <string>

namespace ostrel {

struct TextColor {
    float r = 1, g = 1, b = 1, a = 1;
};

class TextWriter {
  public:
    explicit TextWriter(int lineHeight) : lineHeight_(lineHeight) {}
    void begin() {}
    void setInsertionPos(int x, int y) { x_ = x, y_ = y; }
    void setForegroundColor(TextColor color) { color_ = color; }
    void drawTextLine(const std::string& line);
    void end() {}
    int x() const { return x_; }
    int y() const { return y_; }
    int lineHeight() const { return lineHeight_; }

  private:
    int lineHeight_;
    int x_ = 0, y_ = 0;
    TextColor color_;
};

}  // namespace ostrel
