// Interface of the scene renderer before its drawing lands: it keeps the settings, the matrices
// and the back-buffer size, draws nothing and reads back the background ID everywhere.
#include "render/cutscenerenderer.h"

namespace ostrel {

struct CutSceneRenderer::Impl {
    Scene* scene = nullptr;
    RenderSettings settings;
    Matrix4 projection = Matrix4::identity();
    Matrix4 view = Matrix4::identity();
    int width = 0;
    int height = 0;
};

CutSceneRenderer::CutSceneRenderer(Scene* scene) : impl_(std::make_unique<Impl>()) {
    impl_->scene = scene;
}
CutSceneRenderer::~CutSceneRenderer() = default;

HRESULT CutSceneRenderer::OnCreateDevice() { return S_OK; }
HRESULT CutSceneRenderer::OnCreateSwapChain(int width, int height) {
    impl_->width = width;
    impl_->height = height;
    return S_OK;
}
void CutSceneRenderer::SetProjection(const Matrix4& projection) { impl_->projection = projection; }
void CutSceneRenderer::OnReleasingSwapChain() {}
void CutSceneRenderer::OnDestroyDevice() {}
HRESULT CutSceneRenderer::SetOptimizedMesh(const TriangleMesh*) { return S_OK; }
void CutSceneRenderer::SetViewMatrix(const Matrix4& view) { impl_->view = view; }
void CutSceneRenderer::Render() {}
std::uint32_t CutSceneRenderer::GetObjectId(int, int) { return 0; }
void CutSceneRenderer::CollectObjectIds(int, int, int, int, std::set<std::uint32_t>&) {}

RenderSettings& CutSceneRenderer::settings() { return impl_->settings; }
const RenderSettings& CutSceneRenderer::settings() const { return impl_->settings; }
const Matrix4& CutSceneRenderer::projection() const { return impl_->projection; }
const Matrix4& CutSceneRenderer::viewMatrix() const { return impl_->view; }
int CutSceneRenderer::width() const { return impl_->width; }
int CutSceneRenderer::height() const { return impl_->height; }

}  // namespace ostrel
