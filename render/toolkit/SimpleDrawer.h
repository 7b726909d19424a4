#pragma once
// SimpleDrawEffect and SimpleDrawer: immediate-mode drawing of coloured points, lines and
// triangles (the coordinate axes and the light frustum) in batches of up to `capacity` vertices
// that reuse one vertex buffer.
//
// Batch rule of AddVertex, by mode, after the vertex is counted: 1 points flushes when the batch
// is full; 2 lines when the count is even and at least capacity - 1; 3 line strip when full,
// carrying the last vertex into the next batch; 4 triangles when the count is a multiple of 3
// and at least capacity - 2; 5 triangle strip when the count is even and at least capacity - 1,
// carrying the last two vertices.

#include <cstdint>
#include <functional>
#include <vector>

#include "geometry/Matrix4.h"
#include "render/toolkit/Effect.h"
#include "render/toolkit/Geometry.h"

namespace ostrel::gl {

struct ColoredVertex {
    ostrel::Vec3f position;
    float color[4];
};
static_assert(sizeof(ColoredVertex) == 28, "the line drawer's vertex is 28 bytes");

/// The batching rule without a GPU: vertices collect in `vertices`; `flush` is called with the
/// pending count whenever the rule says so.
class VertexBatch {
public:
    explicit VertexBatch(unsigned capacity) : capacity_(capacity < 3 ? 3 : capacity),
                                              vertices_(capacity_) {}
    void setMode(int mode) { mode_ = mode; }
    int mode() const { return mode_; }
    unsigned capacity() const { return capacity_; }
    unsigned pending() const { return pending_; }
    const ColoredVertex* data() const { return vertices_.data(); }
    /// Adds one vertex and flushes when the rule of the mode says so.
    void add(const ColoredVertex& v, const std::function<void(unsigned)>& flush);
    /// Flushes what is pending (if anything) and starts empty.
    void finish(const std::function<void(unsigned)>& flush);
    void clear() { pending_ = 0; }

private:
    unsigned capacity_;
    std::vector<ColoredVertex> vertices_;
    unsigned pending_ = 0;
    int mode_ = 2;
};

class SimpleDrawEffect : public Effect {
public:
    SimpleDrawEffect() : Effect(L"simpledraw.cso") {}
    bool bindVariables() override;

    EffectVariable* g_mProjection = nullptr;
    EffectVariable* g_mWorldView = nullptr;
    EffectTechnique* technique = nullptr;
    EffectPass* enableDepth = nullptr;
    EffectPass* disableDepth = nullptr;
    EffectPass* render = nullptr;
    EffectPass* renderUseCustomRasterizerState = nullptr;
    EffectPass* setDefaultRasterizerState = nullptr;
    InputLayout* layout = nullptr;
};

class SimpleDrawer {
public:
    explicit SimpleDrawer(unsigned capacity = 1024) : batch_(capacity) {}

    bool onCreateDevice();
    void onDestroyDevice();

    /// Starts a batch in mode 2 (line list) with the current matrices and depth setting.
    void begin();
    /// Sets the primitive mode (1 points .. 5 triangle strip) of the batch begun.
    void setMode(int mode) { batch_.setMode(mode); }
    void addVertex(const ostrel::Vec3f& position);
    /// Draws what is pending.
    void flush();
    /// Ends the batch: flushes what is pending.
    void end();

    void setProjection(const ostrel::Matrix4& m) { projection_ = m; }
    void setView(const ostrel::Matrix4& m) { view_ = m; }
    void setWorld(const ostrel::Matrix4& m) { world_ = m; }
    void setColor(float r, float g, float b, float a) { color_[0] = r, color_[1] = g, color_[2] = b, color_[3] = a; }
    void setUseDepth(bool use) { useDepth_ = use; }
    SimpleDrawEffect& effect() { return effect_; }

private:
    void draw(unsigned count);
    VertexBatch batch_;
    SimpleDrawEffect effect_;
    GlBuffer vertexBuffer_;
    bool useDepth_ = true;
    ostrel::Matrix4 projection_ = ostrel::Matrix4::identity();
    ostrel::Matrix4 view_ = ostrel::Matrix4::identity();
    ostrel::Matrix4 world_ = ostrel::Matrix4::identity();
    float color_[4] = {1, 0, 0, 1};
    bool begun_ = false;
};

}  // namespace ostrel::gl
