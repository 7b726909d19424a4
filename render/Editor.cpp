#include "render/Editor.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <set>
#include <string>

#include "core/Console.h"
#include "fem/FemModel.h"
#include "optimization/LoadCaseForces.h"
#include "scene/Scene.h"

namespace ostrel {

namespace {

Vec3f normalised(const Vec4f& v) {
    const Vec3f d{v.x, v.y, v.z};
    const float n = length(d);
    return n > 0 ? d / n : d;
}

}  // namespace

Editor::Editor(ObjectIdSource* ids, RenderSettings* settings, Scene* scene, FemModel* model,
               std::wostream* console)
    : ids_(ids),
      settings_(settings),
      scene_(scene),
      model_(model),
      console_(console ? console : &wideOut()),
      forcesLog_(defaultForcesLogFile()) {}

std::filesystem::path Editor::defaultForcesLogFile() {
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return std::filesystem::path(home) / "Quenby" / "forces.txt";
}

bool Editor::onMouseEvent(const MouseEvent& event) {
    const int x = event.x, y = event.y;
    if (event.action == MouseAction::Move) {
        if (!dragging_ || mode_ != kForces)
            return false;
        forceDrag(x, y);
        return true;
    }
    if (event.isPress(MouseButton::Right)) {
        switch (mode_) {
            case kView: {
                const std::uint32_t id = ids_->getObjectId(x, y);
                if (objectKind(id) != ObjectKind::SurfaceVertex)
                    return false;
                writeLine(console_, L"Clicked surface vertex " + std::to_wstring(objectIndex(id)));
                return true;
            }
            case kFixations:
                dragging_ = true;
                pressX_ = x;
                pressY_ = y;
                return true;
            case kForces:
                return forcePress(x, y);
            default:
                return false;
        }
    }
    if (event.isRelease(MouseButton::Right)) {
        if (!dragging_)
            return false;
        if (mode_ == kFixations)
            fixationRelease(x, y);
        else if (mode_ == kForces)
            forceRelease(x, y);
        dragging_ = false;
        return true;
    }
    return false;
}

void Editor::setMode(int mode) {
    const bool wasEditing = mode_ != kView, editing = mode != kView;
    mode_ = mode;
    if (!settings_)
        return;
    settings_->editorActive = editing;
    if (editing && !wasEditing) {
        handlesChoice_ = settings_->renderForcesVertices;
        settings_->renderForcesVertices = true;
    } else if (!editing && wasEditing) {
        settings_->renderForcesVertices = handlesChoice_;
    }
}

void Editor::updateCameraAxes(const Matrix4& view) {
    const Matrix4 inv = inverse(view);
    const Vec4f eye = inv * Vec4f{0, 0, 0, 1};
    eye_ = {eye.x, eye.y, eye.z};
    viewDirection_ = normalised(inv * Vec4f{0, 0, -1, 0});
    right_ = normalised(inv * Vec4f{1, 0, 0, 0});
    up_ = normalised(inv * Vec4f{0, 1, 0, 0});
}

int Editor::vertexCount() const {
    const FemModel* model = scene_ ? model_ : nullptr;
    return model ? model->numVertices(0) : 0;
}

int Editor::simulationVertex(std::uint32_t id) const {
    const std::uint32_t index = objectIndex(id);
    // The buffer holds the IDs of the last frame; a model changed since then may be smaller.
    return index < std::uint32_t(vertexCount()) ? int(index) : -1;
}

Vec3f Editor::gridPosition(int v) const {
    const GridPos p = unpack(model_->vertexPosition(0)[size_t(v)]);
    const Vec3d& s = scene_->voxelSize_;
    return {float(p.x) * float(s.x), float(p.y) * float(s.y), float(p.z) * float(s.z)};
}

double Editor::squaredDistance(int a, int b) const {
    const std::vector<uint32_t>& position = model_->vertexPosition(0);
    const GridPos pa = unpack(position[size_t(a)]), pb = unpack(position[size_t(b)]);
    const Vec3d& s = scene_->voxelSize_;
    const double dx = double(pa.x - pb.x) * s.x, dy = double(pa.y - pb.y) * s.y,
                 dz = double(pa.z - pb.z) * s.z;
    return dx * dx + dy * dy + dz * dz;
}

void Editor::fixationRelease(int x, int y) {
    if (std::abs(x - pressX_) < 1 && std::abs(y - pressY_) < 1) {
        const std::uint32_t id = ids_->getObjectId(pressX_, pressY_);
        if (objectKind(id) == ObjectKind::VertexHandle) {
            const int v = simulationVertex(id);
            if (v < 0)
                return;
            writeLine(console_, L"Toggled fixation of vertex " + std::to_wstring(v));
            model_->setFixed(v, !model_->isFixed(v));
        } else if (objectKind(id) == ObjectKind::SurfaceVertex) {
            writeLine(console_, L"Clicked surface vertex " + std::to_wstring(objectIndex(id)));
        }
        return;
    }

    std::set<std::uint32_t> ids;
    ids_->collectObjectIds(pressX_, pressY_, x, y, ids);
    std::vector<int> handles;
    for (std::uint32_t id : ids)
        if (objectKind(id) == ObjectKind::VertexHandle)
            if (const int v = simulationVertex(id); v >= 0)
                handles.push_back(v);
    if (handles.empty())
        return;
    int numFixed = 0, numFree = 0;
    for (int v : handles)
        (model_->isFixed(v) ? numFixed : numFree) += 1;
    // Most are free: fix them all; most are fixed, or as many of each: free them all.
    const bool fix = numFixed < numFree;
    for (int v : handles)
        model_->setFixed(v, fix);
}

bool Editor::forcePress(int x, int y) {
    const std::uint32_t id = ids_->getObjectId(x, y);
    const ObjectKind kind = objectKind(id);
    if (kind != ObjectKind::VertexHandle && kind != ObjectKind::ForceArrow)
        return false;
    const int picked = simulationVertex(id);
    if (picked < 0)
        return false;

    dragging_ = true;
    pressX_ = x;
    pressY_ = y;
    pickedVertex_ = picked;
    pickedPosition_ = gridPosition(picked);

    // The soft sphere: Gaussian weights of the vertices strictly inside the radius, summing to 1.
    forceSelection_.clear();
    const double r = scene_->view().forceSphereRadius;
    const double r2 = r * r;
    const int n = vertexCount();
    double sum = 0;
    for (int v = 0; v < n; ++v) {
        const double d2 = squaredDistance(v, picked);
        if (r2 > d2) {
            const double w = std::exp(-1.6 * d2 / r2);
            forceSelection_.emplace_back(v, w);
            sum += w;
        }
    }
    std::vector<std::pair<int, Vec3f>> cleared;
    for (auto& [v, w] : forceSelection_) {
        w /= sum;
        cleared.emplace_back(v, Vec3f{0.0f, 0.0f, 0.0f});
    }
    applyForces(cleared);
    return true;
}

void Editor::forceDrag(int x, int y) {
    const double dx = x - pressX_, dy = y - pressY_;
    const double perPixel = scene_->view().forcePerPixel;
    const double F[3] = {(double(right_.x) * dx - double(up_.x) * dy) * perPixel,
                         (double(right_.y) * dx - double(up_.y) * dy) * perPixel,
                         (double(right_.z) * dx - double(up_.z) * dy) * perPixel};
    const size_t n = size_t(vertexCount());
    std::vector<std::pair<int, Vec3f>> changes;
    for (const auto& [v, w] : forceSelection_) {
        if (size_t(v) >= n)
            continue;
        changes.emplace_back(v, Vec3f{float(w * F[0]), float(w * F[1]), float(w * F[2])});
    }
    applyForces(changes);
    lastForce_ = {float(F[0]), float(F[1]), float(F[2])};
}

void Editor::forceRelease(int x, int y) {
    appendForcesLogLine();
    if (std::abs(x - pressX_) > 2 || std::abs(y - pressY_) > 2)
        return;
    // A click: clear the forces within twice the sphere radius of the picked vertex. A drag that
    // began in another mode may have no picked vertex of this model.
    if (pickedVertex_ < 0 || pickedVertex_ >= vertexCount())
        return;
    pickedPosition_ = gridPosition(pickedVertex_);
    const double r2 = 4.0 * scene_->view().forceSphereRadius * scene_->view().forceSphereRadius;
    const int n = vertexCount();
    std::vector<std::pair<int, Vec3f>> cleared;
    for (int v = 0; v < n; ++v)
        if (squaredDistance(v, pickedVertex_) < r2)
            cleared.emplace_back(v, Vec3f{0.0f, 0.0f, 0.0f});
    applyForces(cleared);
}

void Editor::applyForces(const std::vector<std::pair<int, Vec3f>>& changes) {
    if (cases_) {
        cases_->setForces(changes);
        return;
    }
    for (const auto& [v, f] : changes)
        model_->setForce(v, f);
}

void Editor::appendForcesLogLine() const {
    if (forcesLog_.empty())
        return;
    std::error_code ec;
    if (!std::filesystem::is_directory(forcesLog_.parent_path(), ec))
        return;
    std::ofstream log(forcesLog_, std::ios::app);
    if (!log)
        return;
    log << pickedPosition_.x << ' ' << pickedPosition_.y << ' ' << pickedPosition_.z << "   "
        << lastForce_.x << ' ' << lastForce_.y << ' ' << lastForce_.z << '\n';
}

}  // namespace ostrel
