#include "render/toolkit/SimpleDrawer.h"

#include "render/toolkit/GpuMesh.h"

namespace ostrel::gl {

void VertexBatch::add(const ColoredVertex& v, const std::function<void(unsigned)>& flush) {
    vertices_[pending_++] = v;
    const unsigned n = pending_, cap = capacity_;
    switch (mode_) {
        case kPointList:
            if (n == cap) flush(n), pending_ = 0;
            break;
        case kLineList:
            if (n % 2 == 0 && n >= cap - 1) flush(n), pending_ = 0;
            break;
        case kLineStrip:
            if (n == cap) {
                flush(n);
                vertices_[0] = vertices_[n - 1];
                pending_ = 1;
            }
            break;
        case kTriangleList:
            if (n % 3 == 0 && n >= cap - 2) flush(n), pending_ = 0;
            break;
        case kTriangleStrip:
            if (n % 2 == 0 && n >= cap - 1) {
                flush(n);
                vertices_[0] = vertices_[n - 2];
                vertices_[1] = vertices_[n - 1];
                pending_ = 2;
            }
            break;
        default:
            // An unknown mode never overflows the array.
            if (n == cap) flush(n), pending_ = 0;
            break;
    }
}

void VertexBatch::finish(const std::function<void(unsigned)>& flush) {
    if (pending_ > 0) flush(pending_);
    pending_ = 0;
}

bool SimpleDrawEffect::bindVariables() {
    // In the contract's order; the first missing name ends the lookups.
    EffectVariable** const variables[] = {&g_mProjection, &g_mWorldView};
    EffectPass** const passes[] = {&enableDepth, &disableDepth, &render,
                                   &renderUseCustomRasterizerState, &setDefaultRasterizerState};
    if (!bindContract(simpleDrawContract(), variables, technique, passes)) return false;
    const InputElementDesc elements[] = {
        {"POSITION", 0, Format::R32G32B32_FLOAT, 0, 0, false, 0},
        {"COLOR", 0, Format::R32G32B32A32_FLOAT, 0, kAppendAligned, false, 0},
    };
    return createInputLayout(render, elements, 2, &layout);
}

bool SimpleDrawer::onCreateDevice() {
    if (effect_.load() != LoadStatus::Ok) return false;
    glClean();
    vertexBuffer_ = makeBuffer();
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer_.get());
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(batch_.capacity() * sizeof(ColoredVertex)), nullptr,
                 GL_DYNAMIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return glClean();
}

void SimpleDrawer::onDestroyDevice() {
    vertexBuffer_.reset();
    batch_.clear();
    effect_.release();
    projection_ = view_ = world_ = ostrel::Matrix4::identity();
    setColor(1, 0, 0, 1);
    begun_ = false;
}

void SimpleDrawer::begin() {
    begun_ = true;
    batch_.setMode(kLineList);
    batch_.clear();
    if (!effect_.loaded()) return;
    (useDepth_ ? effect_.enableDepth : effect_.disableDepth)->apply();
    effect_.g_mProjection->setMatrix(projection_);
    effect_.g_mWorldView->setMatrix(view_ * world_);
    effect_.render->apply();
}

void SimpleDrawer::addVertex(const ostrel::Vec3f& position) {
    ColoredVertex v{position, {color_[0], color_[1], color_[2], color_[3]}};
    batch_.add(v, [this](unsigned n) { draw(n); });
}

void SimpleDrawer::flush() {
    draw(batch_.pending());
    batch_.clear();
}

void SimpleDrawer::end() {
    begun_ = false;
    batch_.finish([this](unsigned n) { draw(n); });
}

void SimpleDrawer::draw(unsigned count) {
    if (count == 0 || !vertexBuffer_ || !effect_.layout) return;
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer_.get());
    glBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(count * sizeof(ColoredVertex)), batch_.data());
    const VertexBufferBinding slot0{vertexBuffer_.get(), sizeof(ColoredVertex), 0};
    effect_.layout->bind({&slot0, 1});
    glDrawArrays(glPrimitive(batch_.mode()), 0, GLsizei(count));
    glBindVertexArray(0);
}

}  // namespace ostrel::gl
