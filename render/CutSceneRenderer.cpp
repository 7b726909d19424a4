// The scene renderer on OpenGL. The draw framebuffer bound when render() is called is the back
// buffer, cleared by the caller. While handles are shown the frame is drawn into the renderer's
// own frame target (colour, depth-stencil and the object-ID buffer as a second colour
// attachment, which the back buffer cannot carry): it starts cleared to the caller's clear
// colour and is copied onto the back buffer at the end, the frame's one full-window copy.
// Otherwise the frame is drawn straight into the back buffer and the object IDs stay 0.
#include "render/CutSceneRenderer.h"

#include <array>
#include <cmath>
#include <vector>

#include "core/FatalError.h"
#include "fem/FemModel.h"
#include "optimization/LoadCaseForces.h"
#include "render/CutSceneRendererEffect.h"
#include "render/EnclosedHandles.h"
#include "render/ObjectIdBuffer.h"
#include "render/RendererMath.h"
#include "render/ShadowMap.h"
#include "render/toolkit/GpuMesh.h"
#include "render/toolkit/InstanceBuffer.h"
#include "render/toolkit/SimpleDrawer.h"
#include "scene/Scene.h"

namespace ostrel {

using namespace ostrel::gl;

namespace {

constexpr const char* kRendererSourceFile = "cutscenerenderer";

/// The colour and depth-stencil targets of the frame, with the object-ID texture attached as
/// the second colour target.
class FrameTarget {
public:
    bool create(int width, int height, GLuint idTexture) {
        release();
        glClean();
        color_ = makeTexture();
        glBindTexture(GL_TEXTURE_2D, color_.get());
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glBindTexture(GL_TEXTURE_2D, 0);
        GLuint rb = 0;
        glGenRenderbuffers(1, &rb);
        depth_.reset(rb);
        glBindRenderbuffer(GL_RENDERBUFFER, rb);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
        glBindRenderbuffer(GL_RENDERBUFFER, 0);
        GLint previous = 0;
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous);
        framebuffer_ = makeFramebuffer();
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer_.get());
        glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, color_.get(), 0);
        glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, idTexture, 0);
        glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, rb);
        const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, GLuint(previous));
        if (!complete || !glClean()) {
            release();
            return false;
        }
        width_ = width;
        height_ = height;
        return true;
    }
    void release() {
        framebuffer_.reset();
        depth_.reset();
        color_.reset();
        width_ = height_ = 0;
    }
    bool exists() const { return bool(framebuffer_); }
    GLuint framebuffer() const { return framebuffer_.get(); }
    /// Colour alone, or colour and object IDs.
    void setTargets(bool withIds) const {
        const GLenum both[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
        const GLenum colour[2] = {GL_COLOR_ATTACHMENT0, GL_NONE};
        glDrawBuffers(2, withIds ? both : colour);
    }
    /// Clears the object IDs to 0 (binds this target).
    void clearIds() const {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_.get());
        setTargets(true);
        const GLuint zero[4] = {0, 0, 0, 0};
        glClearBufferuiv(GL_COLOR, 1, zero);
        setTargets(false);
    }
    /// Copies the colour onto the framebuffer `to` (the back buffer).
    void copyTo(GLuint to) const {
        glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_.get());
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, to);
        glBlitFramebuffer(0, 0, width_, height_, 0, 0, width_, height_, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    }

private:
    GlTexture color_;
    GlRenderbuffer depth_;
    GlFramebuffer framebuffer_;
    int width_ = 0, height_ = 0;
};

/// What the enclosed handles were found for.
struct EnclosedKey {
    const FemModel* model = nullptr;
    int vertices = -1;
    const TriangleMesh* surface = nullptr;
    size_t triangles = 0;
    float radius = 0;
    bool operator==(const EnclosedKey&) const = default;
};

/// What the cached shadow map was rendered from.
struct ShadowKey {
    std::uint64_t meshGeneration = 0;
    Matrix4 lightView;
    bool headLight = false;
    bool operator==(const ShadowKey&) const = default;
};

Vec4f vec4(float x, float y, float z, float w) { return {x, y, z, w}; }

}  // namespace

struct CutSceneRenderer::Impl {
    Scene* scene = nullptr;
    FemModel* sceneModel = nullptr;
    const LoadCaseForces* loadCases = nullptr;
    bool deviceCreated = false;
    CutSceneRendererEffect effect;
    int width = 0, height = 0;
    Matrix4 projection = Matrix4::identity();
    Matrix4 view = Matrix4::identity();
    SimpleDrawer lineDrawer;
    InstanceBuffer handlePositions, handleTypes, arrowVertices, arrowMatrices;
    std::vector<Vec3f> hostPositions;
    std::vector<std::uint8_t> hostTypes;
    std::vector<std::int32_t> hostArrowVertices;
    std::vector<Matrix4> hostArrowMatrices;
    GpuMesh arrowMesh, groundMesh;
    EnclosedHandles enclosedHandles;
    EnclosedKey enclosedKey;
    GlBuffer shownHandles;  ///< element buffer of enclosedHandles.shown
    ObjectIdBuffer objectIds;
    FrameTarget frame;
    GpuMesh inputMesh;
    GpuMesh optimizedMesh;
    bool optimizedMeshPresent = false;
    const TriangleMesh* optimizedSource = nullptr;
    ShadowMap shadowMap;
    RenderSettings settings;

    std::uint64_t meshGeneration = 1;
    bool shadowValid = false;
    bool idsWritten = true;  ///< the object IDs may be non-zero (a fresh buffer is cleared once)
    ShadowKey shadowKey;
    int shadowRenders = 0;
    int handlesDrawn = 0;

    float lengthScale() const { return scene ? scene->view().lengthScale : 1.0f; }
    FemModel* model() const {
        return scene && scene->isLoaded() ? sceneModel : nullptr;
    }
    const GpuMesh* surfaceMesh() const {
        if (optimizedMeshPresent && optimizedMesh.vertexCount() > 0) return &optimizedMesh;
        return inputMesh.vertexCount() > 0 ? &inputMesh : nullptr;
    }
    Matrix4 lightView() const {
        if (settings.enableHeadLight || !scene) return view;
        const float* m = scene->view().lightView;
        return Matrix4::fromRows({m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9],
                                  m[10], m[11], m[12], m[13], m[14], m[15]});
    }
    bool buildOptimized() {
        optimizedMesh.release();
        if (!optimizedSource || optimizedSource->vertices.empty() || optimizedSource->triangles.empty())
            return true;
        return optimizedMesh.build(Mesh<VPN>(optimizedSource));
    }
    void releaseDevice();
    void uploadInstances();
    void updateEnclosedHandles(const FemModel& m);
    bool skipsEnclosedHandles() const;
    void renderShadowMap(const Matrix4& lightView);
    void drawCoordinateSystem(const Matrix4& lightView);
    void drawGround();
    void drawHandlesAndArrows();
    bool readIds(const PixelRect& rect, std::vector<std::uint32_t>& ids);
};

void CutSceneRenderer::Impl::releaseDevice() {
    optimizedMesh.release();
    inputMesh.release();
    shadowMap.release();
    groundMesh.release();
    arrowMesh.release();
    arrowMatrices.release();
    arrowVertices.release();
    handleTypes.release();
    handlePositions.release();
    shownHandles.reset();
    lineDrawer.onDestroyDevice();
    effect.release();
    shadowValid = false;
    deviceCreated = false;
}

CutSceneRenderer::CutSceneRenderer(Scene* scene, FemModel* model)
    : impl_(std::make_unique<Impl>()) {
    impl_->scene = scene;
    impl_->sceneModel = model;
}

CutSceneRenderer::~CutSceneRenderer() {
    // Device resources are released by onReleasingSwapChain / onDestroyDevice while the context
    // is current; a renderer destroyed without them leaks nothing as long as no device exists.
    if (impl_->deviceCreated || impl_->frame.exists()) {
        onReleasingSwapChain();
        onDestroyDevice();
    }
}

bool CutSceneRenderer::onCreateDevice() {
    Impl& r = *impl_;
    r.deviceCreated = true;
    if (r.effect.load() != LoadStatus::Ok) return false;
    if (!r.lineDrawer.onCreateDevice()) return false;
    if (!r.handlePositions.create(12)) return false;
    if (!r.handleTypes.create(1)) return false;
    if (!r.arrowVertices.create(4)) return false;
    if (!r.arrowMatrices.create(64)) return false;
    if (!r.arrowMesh.build(Arrow<VPN>(32, 0.1f, 0.2f, 0.6f, 0.4f))) return false;
    if (!r.groundMesh.build(UnitPlane<VPN>(true))) return false;
    if (r.scene && r.scene->isLoaded() && !r.scene->mesh().vertices.empty() &&
        !r.scene->mesh().triangles.empty())
        if (!r.inputMesh.build(Mesh<VPN>(&r.scene->mesh()))) return false;
    if (!r.shadowMap.create()) return false;
    if (r.optimizedMeshPresent)
        if (!r.buildOptimized()) return false;
    r.lineDrawer.setProjection(r.projection);
    r.effect.g_mProjection->setMatrix(r.projection);
    r.shadowValid = false;
    ++r.meshGeneration;
    return true;
}

bool CutSceneRenderer::onCreateSwapChain(int width, int height) {
    Impl& r = *impl_;
    r.width = width;
    r.height = height;
    return r.objectIds.create(width, height) &&
           r.frame.create(width, height, r.objectIds.texture());
}

void CutSceneRenderer::setProjection(const Matrix4& projection) {
    Impl& r = *impl_;
    r.projection = projection;
    if (r.effect.g_mProjection) r.effect.g_mProjection->setMatrix(projection);
    r.lineDrawer.setProjection(projection);
}

void CutSceneRenderer::onReleasingSwapChain() {
    impl_->frame.release();
    impl_->objectIds.release();
}

void CutSceneRenderer::onDestroyDevice() { impl_->releaseDevice(); }

bool CutSceneRenderer::setOptimizedMesh(const TriangleMesh* mesh) {
    Impl& r = *impl_;
    r.optimizedMesh.release();
    r.optimizedSource = mesh;
    r.optimizedMeshPresent = mesh != nullptr;
    ++r.meshGeneration;
    if (!mesh || !r.deviceCreated) return true;
    return r.buildOptimized();
}

void CutSceneRenderer::setViewMatrix(const Matrix4& view) { impl_->view = view; }

void CutSceneRenderer::setLoadCases(const LoadCaseForces* cases) { impl_->loadCases = cases; }

void CutSceneRenderer::Impl::uploadInstances() {
    const FemModel* m = model();
    if (!m) {
        hostPositions.clear();
        hostTypes.clear();
        hostArrowVertices.clear();
        hostArrowMatrices.clear();
        return;
    }
    buildHandleInstances(*m, hostPositions, hostTypes);
    updateEnclosedHandles(*m);
    const auto n = std::uint32_t(hostPositions.size());
    if (!handlePositions.resize(n) || !handleTypes.resize(n)) {
        hostPositions.clear();
        hostTypes.clear();
    }
    handlePositions.update(hostPositions.data(), std::uint32_t(hostPositions.size()));
    handleTypes.update(hostTypes.data(), std::uint32_t(hostTypes.size()));

    const float radius = scene->view().vertexHandleRadius;
    const float longest = longestArrow(scene->mesh().halfSize, scene->view().forceArrowScaling);
    if (loadCases && loadCases->count() > 1) {
        // The chosen case's arrows as always, every other case's dimmed behind them.
        hostArrowVertices.clear();
        hostArrowMatrices.clear();
        for (int c = 1; c <= loadCases->count(); ++c)
            if (c == loadCases->chosen())
                appendArrowInstances(*m, loadCases->forces(c), hostPositions, view, radius,
                                     longest, false, hostArrowVertices, hostArrowMatrices);
        for (int c = 1; c <= loadCases->count(); ++c)
            if (c != loadCases->chosen())
                appendArrowInstances(*m, loadCases->forces(c), hostPositions, view, radius,
                                     longest, true, hostArrowVertices, hostArrowMatrices);
    } else {
        buildArrowInstances(*m, hostPositions, view, radius, longest, hostArrowVertices,
                            hostArrowMatrices);
    }
    if (!hostArrowVertices.empty()) {
        const auto a = std::uint32_t(hostArrowVertices.size());
        if (!arrowVertices.resize(a) || !arrowMatrices.resize(2 * a)) {
            hostArrowVertices.clear();
            hostArrowMatrices.clear();
            return;
        }
        arrowVertices.update(hostArrowVertices.data(), a);
        arrowMatrices.update(hostArrowMatrices.data(), 2 * a);
    }
}

void CutSceneRenderer::Impl::updateEnclosedHandles(const FemModel& m) {
    const TriangleMesh& surface = scene->mesh();
    const EnclosedKey key{&m, m.numVertices(0), &surface, surface.triangles.size(),
                          scene->view().vertexHandleRadius};
    if (!(key == enclosedKey)) {
        enclosedHandles = findEnclosedHandles(m, surface, scene->view().vertexHandleRadius);
        enclosedKey = key;
        shownHandles.reset();
    }
    if (shownHandles || enclosedHandles.enclosed == 0) return;
    // A buffer that cannot be made leaves every handle drawn.
    glClean();
    GlBuffer buffer = makeBuffer();
    glBindBuffer(GL_ARRAY_BUFFER, buffer.get());
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(enclosedHandles.shown.size() * sizeof(std::uint32_t)),
                 enclosedHandles.shown.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    if (glClean()) shownHandles = std::move(buffer);
}

bool CutSceneRenderer::Impl::skipsEnclosedHandles() const {
    return settings.skipEnclosedHandles && settings.renderSurface && !settings.wireFrame &&
           surfaceMesh() == &inputMesh && shownHandles &&
           enclosedHandlesHidden(enclosedHandles, transformPoint(inverse(view), Vec3f(0, 0, 0)),
                                 nearPlaneReach(projection));
}

void CutSceneRenderer::Impl::renderShadowMap(const Matrix4& lightView) {
    const GpuMesh* mesh = surfaceMesh();
    const ShadowKey key{meshGeneration, lightView, settings.enableHeadLight};
    // The map depends only on the surface and the light: render it again only when one of
    // them changed since it was last drawn.
    if (mesh && !(shadowValid && key == shadowKey)) {
        shadowMap.bindForDrawing();
        glViewport(0, 0, ShadowMap::kSize, ShadowMap::kSize);
        glDepthRange(0.0, 1.0);
        glDepthMask(GL_TRUE);
        glClearDepth(1.0);
        glClearStencil(0);
        glClear(GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
        effect.g_mWorldLightSMProjection->setMatrix(lightProjection(lengthScale()) * lightView);
        mesh->draw(effect.renderMeshIntoShadowMap, effect.layouts[0]);
        shadowKey = key;
        shadowValid = true;
        ++shadowRenders;
    }
    const Matrix4 inverseView = inverse(view);
    effect.g_mShadowMap->setMatrix(shadowTextureMatrix() * lightProjection(lengthScale()) *
                                   lightView * inverseView);
    effect.g_mInvViewLight->setMatrix(lightView * inverseView);
    effect.g_txShadowMap->setResource(shadowMap.texture());
}

void CutSceneRenderer::Impl::drawCoordinateSystem(const Matrix4& lightView) {
    const Vec3d s = scene ? scene->voxelSize_ : Vec3d(1, 1, 1);
    lineDrawer.setView(view);
    lineDrawer.setWorld(Matrix4::identity());
    lineDrawer.begin();
    const Vec3f o(0, 0, 0);
    const Vec3f axes[3] = {{5 * float(s.x), 0, 0}, {0, 5 * float(s.y), 0}, {0, 0, 5 * float(s.z)}};
    for (int a = 0; a < 3; ++a) {
        lineDrawer.setColor(a == 0, a == 1, a == 2, 1);
        lineDrawer.addVertex(o);
        lineDrawer.addVertex(axes[a]);
    }
    lineDrawer.flush();
    lineDrawer.end();

    lineDrawer.setWorld(inverse(lightProjection(lengthScale()) * lightView));
    lineDrawer.begin();
    lineDrawer.setColor(1, 1, 1, 1);
    const auto corner = [](int i, float z) {
        const float x = (i == 1 || i == 2) ? 1.0f : -1.0f, y = i >= 2 ? 1.0f : -1.0f;
        return Vec3f(x, y, z);
    };
    for (float z : {0.0f, 1.0f})
        for (int i = 0; i < 4; ++i) {
            lineDrawer.addVertex(corner(i, z));
            lineDrawer.addVertex(corner((i + 1) % 4, z));
        }
    for (int i = 0; i < 4; ++i) {
        lineDrawer.addVertex(corner(i, 0));
        lineDrawer.addVertex(corner(i, 1));
    }
    lineDrawer.flush();
    lineDrawer.end();
}

void CutSceneRenderer::Impl::drawGround() {
    const float hx = scene->mesh().halfSize.x, hy = scene->mesh().halfSize.y;
    if (!(hx + hy > 0)) return;
    effect.g_vAmbientColor->setFloatVector(vec4(230 / 255.0f, 175 / 255.0f, 120 / 255.0f, 0));
    effect.g_vDiffuseColor->setFloatVector(vec4(0, 0, 0, 0));
    effect.g_vSpecularColor->setFloatVector(vec4(0, 0, 0, 0));
    effect.g_vFogColor->setFloatVector(vec4(0, 0, 0, 0));
    effect.g_fFogExponent->setFloat(2);
    effect.g_fFogDensity->setFloat(fogDensity(hx, hy));
    effect.g_vSceneCenter->setFloatVector(vec4(hx, hy, 0, 0));
    const Matrix4 g = groundWorld(hx, hy);
    effect.g_mWorld->setMatrix(g);
    effect.g_mWorldView->setMatrix(view * g);
    effect.g_mTransInvWorldView->setMatrix(transpose(inverse(view * g)));
    effect.setSolidRenderMode->apply();
    groundMesh.draw(settings.shadowsActive() ? effect.renderMeshWithFogAndShadows
                                             : effect.renderMeshWithFog,
                    effect.layouts[1]);
    effect.g_mWorld->setMatrix(Matrix4::identity());
}

void CutSceneRenderer::Impl::drawHandlesAndArrows() {
    const auto n = GLsizei(hostPositions.size());
    if (n == 0) return;
    effect.g_fSphereRadius->setFloat(scene->view().vertexHandleRadius);
    effect.g_vViewportSize->setFloatVector(
        vec4(float(width), float(height), 1.0f / float(width), 1.0f / float(height)));
    frame.setTargets(true);

    // One point sprite per handle in a single draw: the vertex shader sizes each sprite to its
    // sphere's picture, the fragment shader casts the sphere. Handles that the surface hides
    // are left out through an index list; an indexed draw's vertex ID is the index, the ID.
    effect.renderSimulationVertices->apply();
    const VertexBufferBinding handleSlots[3] = {{0, 0, 0},
                                                {handlePositions.buffer(), 12, 0},
                                                {handleTypes.buffer(), 1, 0}};
    effect.layouts[4]->bind(handleSlots);
    glEnable(GL_PROGRAM_POINT_SIZE);
    if (skipsEnclosedHandles()) {
        handlesDrawn = int(enclosedHandles.shown.size());
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, shownHandles.get());
        glDrawElements(GL_POINTS, GLsizei(handlesDrawn), GL_UNSIGNED_INT, nullptr);
    } else {
        handlesDrawn = int(n);
        glDrawArrays(GL_POINTS, 0, n);
    }
    glDisable(GL_PROGRAM_POINT_SIZE);

    if (!hostArrowVertices.empty()) {
        effect.renderForceArrows->apply();
        const VertexBufferBinding arrowSlots[3] = {{arrowMesh.vertexBuffer(), 24, 0},
                                                   {arrowVertices.buffer(), 4, 0},
                                                   {arrowMatrices.buffer(), 128, 0}};
        effect.layouts[5]->bind(arrowSlots);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, arrowMesh.indexBuffer());
        glDrawElementsInstanced(GL_TRIANGLES, GLsizei(arrowMesh.indexCount()), GL_UNSIGNED_INT,
                                nullptr, GLsizei(hostArrowVertices.size()));
    }
    glBindVertexArray(0);
}

void CutSceneRenderer::render() {
    Impl& r = *impl_;
    if (!r.deviceCreated || !r.effect.loaded() || !r.frame.exists()) return;
    GLint backBuffer = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &backBuffer);
    const RenderSettings& s = r.settings;
    const bool handles = s.handlesShown() && r.model();

    // 1. Instance data.
    r.handlesDrawn = 0;
    if (handles) r.uploadInstances();
    else r.hostPositions.clear(), r.hostArrowVertices.clear();

    // 2. Shadow pass.
    const Matrix4 lightView = r.lightView();
    if (s.shadowsActive()) r.renderShadowMap(lightView);

    // 3. Main pass set-up. The object IDs are cleared whenever a frame may have written them.
    if (handles || r.idsWritten) r.frame.clearIds();
    r.idsWritten = handles;
    if (handles) {
        GLfloat clearColour[4] = {0, 0, 0, 0};
        glGetFloatv(GL_COLOR_CLEAR_VALUE, clearColour);
        glBindFramebuffer(GL_FRAMEBUFFER, r.frame.framebuffer());
        glClearBufferfv(GL_COLOR, 0, clearColour);
    } else {
        glBindFramebuffer(GL_FRAMEBUFFER, GLuint(backBuffer));
    }
    glViewport(0, 0, r.width, r.height);
    glDepthRange(0.0, 1.0);
    glDepthMask(GL_TRUE);
    glClearDepth(1.0);
    glClearStencil(0);
    glClear(GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    if (s.enableHeadLight || !r.scene) {
        r.effect.g_vLightPosCS->setFloatVector(vec4(0, 0, 0, 0));
    } else {
        const Vec3f p = r.scene->view().lightPos;
        r.effect.g_vLightPosCS->setFloatVector(r.view * Vec4f{p.x, p.y, p.z, 1});
    }
    r.effect.g_mWorld->setMatrix(Matrix4::identity());
    r.effect.g_mWorldView->setMatrix(r.view);
    r.effect.g_mTransInvWorldView->setMatrix(transpose(inverse(r.view)));

    // 4. Surface.
    if (s.renderSurface) {
        (s.wireFrame ? r.effect.setWireFrameRenderMode : r.effect.setSolidRenderMode)->apply();
        const Vec4f grey = vec4(0.2f, 0.2f, 0.2f, 0);
        r.effect.g_vAmbientColor->setFloatVector(grey);
        r.effect.g_vDiffuseColor->setFloatVector(grey);
        r.effect.g_vSpecularColor->setFloatVector(grey);
        if (const GpuMesh* mesh = r.surfaceMesh())
            mesh->draw(s.enableShadows && !s.wireFrame ? r.effect.renderMeshWithShadows
                                                       : r.effect.renderMesh,
                       r.effect.layouts[1]);
    }

    // 5. Coordinate system and the light's frustum.
    if (s.renderCoordinateSystem) r.drawCoordinateSystem(lightView);

    // 6. Ground with fog.
    if (s.renderGround && r.scene) r.drawGround();

    // 7. The view again.
    r.effect.g_mWorldView->setMatrix(r.view);
    r.effect.g_mTransInvWorldView->setMatrix(transpose(inverse(r.view)));

    // 8. Handles and arrows, also into the object-ID buffer.
    if (handles) r.drawHandlesAndArrows();

    // 9. The back buffer alone, default rasterizer state.
    if (handles) r.frame.setTargets(false);
    if (r.lineDrawer.effect().setDefaultRasterizerState)
        r.lineDrawer.effect().setDefaultRasterizerState->apply();
    glUseProgram(0);
    if (handles) r.frame.copyTo(GLuint(backBuffer));
    glBindFramebuffer(GL_FRAMEBUFFER, GLuint(backBuffer));
}

bool CutSceneRenderer::Impl::readIds(const PixelRect& rect, std::vector<std::uint32_t>& ids) {
    return objectIds.read(rect, ids);
}

std::uint32_t CutSceneRenderer::getObjectId(int x, int y) {
    Impl& r = *impl_;
    if (x < 0 || x >= r.width || y < 0 || y >= r.height) return 0;
    std::vector<std::uint32_t> ids;
    if (!r.readIds({x, y, x, y}, ids))
        reportFatalError(kRendererSourceFile, __LINE__, L"Mapping Object ID Buffer failed");
    return ids[0];
}

void CutSceneRenderer::collectObjectIds(int x0, int y0, int x1, int y1,
                                        std::set<std::uint32_t>& ids) {
    Impl& r = *impl_;
    const PixelRect rect = orderAndClip(x0, y0, x1, y1, r.width, r.height);
    if (rect.empty()) return;
    std::vector<std::uint32_t> values;
    if (!r.readIds(rect, values))
        reportFatalError(kRendererSourceFile, __LINE__, L"Mapping Object ID Buffer failed");
    // Runs of equal IDs are common (background, one handle): insert each run once.
    for (size_t i = 0; i < values.size(); ++i)
        if (i == 0 || values[i] != values[i - 1]) ids.insert(values[i]);
}

RenderSettings& CutSceneRenderer::settings() { return impl_->settings; }
const RenderSettings& CutSceneRenderer::settings() const { return impl_->settings; }
const Matrix4& CutSceneRenderer::projection() const { return impl_->projection; }
const Matrix4& CutSceneRenderer::viewMatrix() const { return impl_->view; }
int CutSceneRenderer::width() const { return impl_->width; }
int CutSceneRenderer::height() const { return impl_->height; }
int CutSceneRenderer::shadowMapRenders() const { return impl_->shadowRenders; }
int CutSceneRenderer::handlesDrawn() const { return impl_->handlesDrawn; }
float CutSceneRenderer::lengthScale() const { return impl_->lengthScale(); }

}  // namespace ostrel
