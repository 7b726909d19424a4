#include "scene/Scene.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ostream>
#include <sstream>

#include "core/Console.h"
#include "fem/CoarseSolver.h"
#include "fem/ModelSize.h"
#include "geometry/MeshFile.h"
#include "gpu/MultigridSolver.h"
#include "scene/MemoryEstimate.h"
#include "scene/ViewFraming.h"
#include "voxel/SurfaceVoxels.h"
#include "voxel/Voxelizer.h"

namespace ostrel {
namespace {

constexpr float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

bool isAbsolutePath(const std::wstring& path) { return !path.empty() && path[0] == L'/'; }

template <typename T>
std::wstring joinWords(std::initializer_list<T> values) {
    std::wostringstream text;
    bool first = true;
    for (const T& v : values) {
        if (!first) text << L' ';
        text << v;
        first = false;
    }
    return text.str();
}

/// The whole text is one finite number (blanks around it allowed).
bool parseOneNumber(const std::wstring& text, double& value) {
    std::wistringstream in(text);
    double v;
    if (!(in >> v) || !std::isfinite(v)) return false;
    in >> std::ws;
    if (!in.eof()) return false;
    value = v;
    return true;
}

/// Boxes of six numbers each; on failure returns false with the reason (without the key).
bool parseBoxes(const std::wstring& text, std::vector<WorldBox>& boxes, std::wstring& why) {
    std::wistringstream in(text);
    std::vector<double> numbers;
    for (std::wstring word; in >> word;) {
        double v;
        if (!parseOneNumber(word, v)) {
            why = L"'" + word + L"' is not a number";
            return false;
        }
        numbers.push_back(v);
    }
    if (numbers.size() % 6 != 0) {
        why = L"needs six numbers X0 Y0 Z0 X1 Y1 Z1 per box, not " +
              std::to_wstring(numbers.size()) + L" numbers";
        return false;
    }
    boxes.clear();
    for (size_t i = 0; i < numbers.size(); i += 6) {
        const WorldBox box{{numbers[i], numbers[i + 1], numbers[i + 2]},
                           {numbers[i + 3], numbers[i + 4], numbers[i + 5]}};
        if (box.lo.x > box.hi.x || box.lo.y > box.hi.y || box.lo.z > box.hi.z) {
            why = L"box " + std::to_wstring(i / 6 + 1) +
                  L" needs X0 <= X1, Y0 <= Y1 and Z0 <= Z1";
            return false;
        }
        boxes.push_back(box);
    }
    return true;
}

// A value holds the file's bytes, one per character; a file name in it is UTF-8 text.
std::wstring decodeFileName(const std::wstring& value) {
    std::string bytes;
    for (wchar_t c : value) bytes.push_back(char(static_cast<unsigned char>(c & 0xff)));
    return fromUtf8(bytes);
}

}  // namespace

std::wstring directoryPrefix(const std::wstring& fileName) {
    const size_t last = fileName.find_last_of(L"/\\");
    return last == std::wstring::npos ? std::wstring() : fileName.substr(0, last + 1);
}

Scene::Scene(const DeviceOptions& device) : device_(device) { resetScene(); }

Scene::~Scene() { releaseModel(); }

void Scene::releaseModel() {
    if (solver_) solver_->release();
    solver_.reset();
    model_.reset();
}

void Scene::resetScene() {
    voxelSize_ = {0.01, 0.01, 0.01};
    elasticModulus_ = 1e7;
    poissonRatio_ = 0.3;
    density_ = 1000;
    dampingFactor_ = 0.5;
    timeStep_ = 0.05;
    gravity_ = {0, 0, -9.81};
    defaultViewPos_ = {-20, 0, 0};
    defaultHeadingPitchRoll_ = {0, 0, 0};
    lightPos_ = {0, 0, 1};
    lightDir_ = {0, 0, -1};
    lightUp_ = {0, 1, 0};
    lengthScale_ = 1;
    designControls_ = {};
    loaded_ = false;
    meshToModel_ = Matrix4::identity();
    viewChanged_ = false;
    lightChanged_ = false;

    computeLightView();
    const double mean = (voxelSize_.x + voxelSize_.y + voxelSize_.z) / 3.0;
    vertexHandleRadius_ = float(mean / 5.0);
    forceSphereRadius_ = (voxelSize_.x + voxelSize_.y + voxelSize_.z) * 10.0 / 3.0;
    forcePerPixel_ = 0.1;
    forceArrowScale_ = float(0.001 / (mean * mean * mean));
    forceArrowScaling_ = 1;
    meanVoxelSize_ = float(mean);
}

void Scene::computeLightView() {
    const Vec3f z = -lightDir_ / length(lightDir_);
    const Vec3f ux = cross(lightUp_, z);
    const Vec3f x = ux / length(ux);
    const Vec3f y = cross(z, x);
    const float m[16] = {x.x, x.y, x.z, -dot(lightPos_, x), y.x, y.y, y.z, -dot(lightPos_, y),
                         z.x, z.y, z.z, -dot(lightPos_, z), 0,   0,   0,   1};
    std::copy(m, m + 16, lightView_);
}

bool Scene::loadScene(const std::wstring& fileName, std::wostream* log) {
    resetScene();
    if (!file_.read(fileName, log)) return false;

    if (!file_.getDouble3(L"VOXEL_SIZE", voxelSize_, log)) return false;
    if (!file_.getDouble(L"ELASTIC_MODULUS", elasticModulus_, log)) return false;
    if (!file_.getDouble(L"POISSON_RATIO", poissonRatio_, log)) return false;
    if (!file_.getDouble(L"DENSITY", density_, log)) return false;
    if (!file_.getDouble(L"DAMPING_FACTOR", dampingFactor_, log)) return false;
    if (!file_.getDouble(L"TIME_STEP", timeStep_, log)) return false;
    if (voxelSize_.x <= 0 || voxelSize_.y <= 0 || voxelSize_.z <= 0) {
        writeLine(log, L"ERROR: VOXEL_SIZE must be positive in every axis");
        return false;
    }

    gravity_ = {0, 0, 0};
    file_.getDouble3(L"GRAVITY", gravity_, log, true);

    std::wstring meshName;
    if (!file_.getString(L"MESH", meshName, log)) return false;
    meshName = decodeFileName(meshName);
    // An absolute MESH path is used as it is; a relative one is taken from the scene's folder.
    const std::wstring meshFile =
        isAbsolutePath(meshName) ? meshName : directoryPrefix(fileName) + meshName;
    if (!readMeshFile(mesh_, meshFile, log)) return false;
    std::wostream& out = wideOut();
    out << L"Mesh #Triangles: " << mesh_.triangles.size() << L"\n";

    float scaleTo = 0;
    if (file_.getFloat(L"MESH_SCALE_TO", scaleTo, log)) {
        const float longest = std::max({mesh_.halfSize.x, mesh_.halfSize.y, mesh_.halfSize.z});
        const float factor = scaleTo / (2.0f * longest);
        mesh_.scale(factor);
        meshToModel_ = scaling(factor);
    }
    out << L"Volume of the object: " << mesh_.computeVolume() << L"\n";

    float transformation[16];
    if (file_.getMatrix4x4(L"MESH_TRANSFORMATION", transformation, log)) {
        mesh_.transform(transformation);
        Matrix4 affine = Matrix4::fromRows(std::to_array(transformation));
        affine(3, 0) = affine(3, 1) = affine(3, 2) = 0.0f;
        affine(3, 3) = 1.0f;
        meshToModel_ = affine * meshToModel_;
    }

    float toOrigin[16];
    std::copy(kIdentity, kIdentity + 16, toOrigin);
    toOrigin[3] = -(mesh_.center.x - mesh_.halfSize.x);
    toOrigin[7] = -(mesh_.center.y - mesh_.halfSize.y);
    toOrigin[11] = -(mesh_.center.z - mesh_.halfSize.z);
    mesh_.transform(toOrigin);
    meshToModel_ = translation(toOrigin[3], toOrigin[7], toOrigin[11]) * meshToModel_;

    if (!file_.getInt(L"NUM_LEVELS", numLevels_, log)) return false;
    addAdditionalSurfaceVoxels_ = false;
    file_.getBool(L"ADD_ADDITIONAL_SURFACE_VOXELS", addAdditionalSurfaceVoxels_, log);

    if (numLevels_ < kMinLevels || numLevels_ > kMaxLevels) {
        writeLine(log, modelSizeError({}, numLevels_));
        return false;
    }

    // The grid is sized and its memory need estimated before anything large is allocated.
    Vec3i resolution;
    const bool gridOk = addAdditionalSurfaceVoxels_
                            ? marginResolution(mesh_, voxelSize_, resolution, log)
                            : boundsResolution(mesh_, voxelSize_, resolution, log);
    if (!gridOk) return false;
    // The host device's worker threads each reserve a stack and an allocator arena, the
    // coarsest level's BLAS threads their work buffers.
    const MemoryLimit memoryLimit =
        memoryLimit_.bytes > 0
            ? memoryLimit_
            : processMemoryLimit(device_.hostThreads > 0 ? device_.hostThreads
                                                         : omp_get_max_threads(),
                                 CoarseSolver::laterMappedBytes());
    // A proposed voxel size is judged as this check will judge it when the scene is loaded again.
    auto sizeAt = [&](double factor) {
        Vec3i r;
        const Vec3d voxel = voxelSize_ * factor;
        const bool ok = addAdditionalSurfaceVoxels_ ? marginResolution(mesh_, voxel, r, nullptr)
                                                    : boundsResolution(mesh_, voxel, r, nullptr);
        return expectedSize(ok ? r : resolution, voxel);
    };
    if (const std::wstring error =
            memoryError(expectedSize(resolution, voxelSize_), voxelSize_, memoryLimit, sizeAt);
        !error.empty()) {
        writeLine(log, error);
        return false;
    }

    const auto start = std::chrono::steady_clock::now();
    Volume<bool, double> voxels;
    if (addAdditionalSurfaceVoxels_) {
        const Vec3d offset = Vec3d(mesh_.center) - Vec3d(mesh_.halfSize) - voxelSize_;
        voxels.init(resolution, voxelSize_, offset, false);
        if (!voxelize(mesh_, voxels, kIdentity, log)) return false;
        addSurfaceVoxels(voxels, mesh_);
    } else {
        if (!voxelizeToBounds(mesh_, voxels, voxelSize_, log)) return false;
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    out << L"Voxelization (" << voxels.resolution().x << L" " << voxels.resolution().y << L" "
        << voxels.resolution().z << L") took " << ms << L"ms\n";

    // The model's own limits and its memory need with the exact counts; the model is built only
    // when both pass, so a scene never reaches the model's process-ending construction errors.
    const ModelSize counts = measureModel(voxels);
    if (const std::wstring error = modelSizeError(counts, numLevels_); !error.empty()) {
        writeLine(log, error);
        return false;
    }
    SceneSize size;
    size.voxelGrid = voxels.resolution();
    size.surfaceVoxels = addAdditionalSurfaceVoxels_;
    size.extent = {double(counts.extent[0]), double(counts.extent[1]), double(counts.extent[2])};
    size.elements = double(counts.elements);
    size.vertices = double(counts.vertices);
    size.levels = numLevels_;
    if (const std::wstring error = memoryError(size, voxelSize_, memoryLimit, sizeAt);
        !error.empty()) {
        writeLine(log, error);
        return false;
    }

    releaseModel();
    model_ = std::make_unique<FemModel>(voxels, numLevels_);
    solver_ = std::make_unique<MultigridSolver>(*model_, device_);
    solver_->setup();

    std::wstring list;
    if (file_.getString(L"FIXED_VERTICES", list, log, true)) applyFixations(list, log);
    if (file_.getString(L"FORCES", list, log, true)) applyForces(list, log);

    Vec3f headingPitchRoll;
    const bool viewRead = file_.getFloat3(L"RENDERER_DEFAULT_VIEW_POS", defaultViewPos_, log);
    if (viewRead &&
        file_.getFloat3(L"RENDERER_DEFAULT_HEADING_PITCH_ROLL", headingPitchRoll, log)) {
        defaultHeadingPitchRoll_ = headingPitchRoll;
    } else {
        defaultViewPos_ = {mesh_.center.x - 5.0f * mesh_.halfSize.x, mesh_.center.y,
                           mesh_.center.z};
        defaultHeadingPitchRoll_ = {0, 0, 0};
    }

    // The default light stands above the origin at the model's scale.
    lengthScale_ = lengthScale(mesh_.halfSize);
    lightPos_ = {0, 0, lengthScale_};
    file_.getFloat3(L"RENDERER_LIGHT_POS", lightPos_, log);
    file_.getFloat3(L"RENDERER_LIGHT_DIR", lightDir_, log);
    file_.getFloat3(L"RENDERER_LIGHT_UP", lightUp_, log);
    computeLightView();

    const double mean = (voxelSize_.x + voxelSize_.y + voxelSize_.z) / 3.0;
    vertexHandleRadius_ = float(mean / 5.0);
    file_.getFloat(L"EDITOR_VERTEX_HANDLE_RADIUS", vertexHandleRadius_, log);
    file_.getDouble(L"EDITOR_FORCE_SPHERE_RADIUS", forceSphereRadius_, log, true);
    file_.getDouble(L"EDITOR_FORCE_PER_PIXEL", forcePerPixel_, log, true);
    forceArrowScale_ = float(5e-7 / (mean * mean));
    float arrowScaling = 1;
    file_.getFloat(L"EDITOR_FORCE_ARROW_SCALING", arrowScaling, log);
    forceArrowScale_ *= arrowScaling;
    forceArrowScaling_ = arrowScaling;
    meanVoxelSize_ = float(mean);

    if (!readDesignControls(log)) return false;

    loaded_ = true;
    rememberSavedState();
    return true;
}

bool Scene::readDesignControls(std::wostream* log) {
    DesignControls& c = designControls_;
    std::wstring text;
    auto fail = [&](const std::wstring& line) {
        writeLine(log, L"ERROR: " + line);
        return false;
    };
    if (file_.getString(L"OPTIMIZATION_VOLUME_FRACTION", text, log, true)) {
        if (!parseOneNumber(text, c.volumeFraction) || !(c.volumeFraction > 0) ||
            !(c.volumeFraction < 1))
            return fail(L"OPTIMIZATION_VOLUME_FRACTION must be a number between 0 and 1 "
                        L"(both excluded), not '" + text + L"'");
    }
    if (file_.getString(L"OPTIMIZATION_FILTER_RADIUS", text, log, true)) {
        if (!parseOneNumber(text, c.filterRadius) ||
            !(c.filterRadius >= DesignControls::kMinFilterRadius) ||
            !(c.filterRadius <= DesignControls::kMaxFilterRadius))
            return fail(L"OPTIMIZATION_FILTER_RADIUS must be a number from 1 to 10 (voxel "
                        L"lengths), not '" + text + L"'");
        c.filterRadiusGiven = true;
    }
    if (file_.getString(L"OPTIMIZATION_PROJECTION", text, log, true)) {
        if (text == L"0" || text == L"1")
            c.projection = text == L"1" ? 1 : 0;
        else
            return fail(L"OPTIMIZATION_PROJECTION must be 0 or 1, not '" + text + L"'");
    }
    std::wstring why;
    if (file_.getString(L"KEEP_SOLID_BOXES", text, log, true) &&
        !parseBoxes(text, c.keepSolid, why))
        return fail(L"KEEP_SOLID_BOXES " + why);
    if (file_.getString(L"KEEP_EMPTY_BOXES", text, log, true) &&
        !parseBoxes(text, c.keepEmpty, why))
        return fail(L"KEEP_EMPTY_BOXES " + why);
    return true;
}

SceneSize Scene::expectedSize(const Vec3i& resolution, const Vec3d& voxelSize) const {
    // Before voxelizing, the element count is the mesh's volume in voxels and the vertices are
    // as many again as the surface has voxel faces (a closed mesh; both capped by the grid).
    double area = 0, sixVolumes = 0;
    for (const MeshTriangle& t : mesh_.triangles) {
        area += 0.5 * double(length(t.normal));
        sixVolumes += dot(Vec3d(mesh_.vertices[size_t(t.indices[0])].position), Vec3d(t.normal));
    }
    const double volume = std::abs(sixVolumes / 6.0);
    const double voxel = voxelSize.x * voxelSize.y * voxelSize.z;
    const double face = std::min({voxelSize.x * voxelSize.y, voxelSize.y * voxelSize.z,
                                  voxelSize.x * voxelSize.z});
    SceneSize size;
    size.voxelGrid = resolution;
    size.surfaceVoxels = addAdditionalSurfaceVoxels_;
    size.extent = {double(resolution.x), double(resolution.y), double(resolution.z)};
    const double cells = size.extent[0] * size.extent[1] * size.extent[2];
    const double points = (size.extent[0] + 1) * (size.extent[1] + 1) * (size.extent[2] + 1);
    size.elements = std::min(cells, volume / voxel);
    size.vertices = std::min(points, size.elements + area / face);
    size.levels = numLevels_;
    return size;
}

void Scene::applyFixations(const std::wstring& list, std::wostream* log) {
    std::wistringstream in(list);
    int x, y, z;
    while (in >> x >> y >> z) {
        const int v = model_->vertexAt(0, GridPos{x, y, z});
        if (v >= 0)
            model_->isVertexFixed_[size_t(v)] = 1;
        else
            writeLine(log, L"WARNING: Vertex fixation: No vertex found at position " +
                         joinWords({x, y, z}));
    }
    if (!in.eof()) writeLine(log, L"WARNING: Error while parsing vertex fixation");
}

void Scene::applyForces(const std::wstring& list, std::wostream* log) {
    std::wistringstream in(list);
    int x, y, z;
    float fx, fy, fz;
    while (in >> x >> y >> z >> fx >> fy >> fz) {
        const int v = model_->vertexAt(0, GridPos{x, y, z});
        if (v >= 0) {
            model_->force_[3 * size_t(v) + 0] = fx;
            model_->force_[3 * size_t(v) + 1] = fy;
            model_->force_[3 * size_t(v) + 2] = fz;
        } else {
            writeLine(log, L"WARNING: Vertex fixation: No vertex found at position " +
                         joinWords({x, y, z}));
        }
    }
    if (!in.eof()) writeLine(log, L"WARNING: Error while parsing forces");
}

bool Scene::saveScene(const std::wstring& fileName, std::wostream* log) {
    if (!loaded_ || !model_) return true;
    const FemModel& m = *model_;
    const int nV = m.numVertices(0);

    std::wostringstream fixed, forces;
    bool anyFixed = false, anyForce = false;
    for (int v = 0; v < nV; ++v) {
        const GridPos p = unpack(m.vertexPosition_[0][size_t(v)]);
        if (m.isVertexFixed_[size_t(v)]) {
            if (anyFixed) fixed << L"  ";
            fixed << p.x << L' ' << p.y << L' ' << p.z;
            anyFixed = true;
        }
        const float* f = &m.force_[3 * size_t(v)];
        if (f[0] != 0 || f[1] != 0 || f[2] != 0) {
            if (anyForce) forces << L"  ";
            forces << p.x << L' ' << p.y << L' ' << p.z << L' ' << f[0] << L' ' << f[1] << L' '
                   << f[2];
            anyForce = true;
        }
    }
    if (anyFixed)
        file_.setString(L"FIXED_VERTICES", fixed.str());
    else
        file_.remove(L"FIXED_VERTICES");
    if (anyForce)
        file_.setString(L"FORCES", forces.str());
    else
        file_.remove(L"FORCES");

    auto vec = [](const Vec3f& v) { return joinWords({v.x, v.y, v.z}); };
    if (viewChanged_) {
        file_.setString(L"RENDERER_DEFAULT_VIEW_POS", vec(defaultViewPos_));
        file_.setString(L"RENDERER_DEFAULT_HEADING_PITCH_ROLL", vec(defaultHeadingPitchRoll_));
    }
    if (lightChanged_) {
        file_.setString(L"RENDERER_LIGHT_POS", vec(lightPos_));
        file_.setString(L"RENDERER_LIGHT_DIR", vec(lightDir_));
        file_.setString(L"RENDERER_LIGHT_UP", vec(lightUp_));
    }
    // The projection mode is the one design control the window changes; a file that does not
    // name it keeps it unnamed while it is the default.
    std::wstring projection;
    if (!file_.getString(L"OPTIMIZATION_PROJECTION", projection, nullptr, true)) projection = L"0";
    if (projection != std::to_wstring(designControls_.projection))
        file_.setString(L"OPTIMIZATION_PROJECTION", std::to_wstring(designControls_.projection));
    if (!file_.write(fileName, log)) return false;
    rememberSavedState();
    return true;
}

void Scene::rememberSavedState() {
    saved_ = {model_->isVertexFixed_, model_->force_, defaultViewPos_, defaultHeadingPitchRoll_,
              lightPos_, lightDir_, lightUp_, designControls_.projection};
}

std::vector<std::wstring> Scene::unsavedEdits() const {
    std::vector<std::wstring> edits;
    if (!loaded_ || !model_) return edits;
    const SavedState& s = saved_;
    if (model_->isVertexFixed_ != s.fixed) edits.push_back(L"fixations");
    if (model_->force_ != s.forces) edits.push_back(L"forces");
    // saveScene writes the view and the light only once the user has set them.
    if (viewChanged_ &&
        (defaultViewPos_ != s.viewPos || defaultHeadingPitchRoll_ != s.headingPitchRoll))
        edits.push_back(L"view");
    if (lightChanged_ &&
        (lightPos_ != s.lightPos || lightDir_ != s.lightDir || lightUp_ != s.lightUp))
        edits.push_back(L"light");
    if (designControls_.projection != s.projection) edits.push_back(L"design controls");
    return edits;
}

std::wstring Scene::sceneSummary() const {
    std::wostringstream text;
    std::wstring meshName;
    file_.getString(L"MESH", meshName, nullptr, true);
    text << L"# Mesh: \"" << decodeFileName(meshName) << L"\"\n";

    float transformation[16];
    std::copy(kIdentity, kIdentity + 16, transformation);
    file_.getMatrix4x4(L"MESH_TRANSFORMATION", transformation, nullptr);
    text << L"# Mesh Transformation:";
    for (float v : transformation) text << L' ' << v;
    text << L"\n";

    const int nE = model_ ? model_->numElements_[0] : 0;
    const int nV = model_ ? model_->numVertices(0) : 0;
    text << L"# #Elements: " << nE << L", #Vertices: " << nV << L", #DOFs: " << 3 * nV << L"\n";
    text << L"# Voxel Size: " << voxelSize_.x << L' ' << voxelSize_.y << L' ' << voxelSize_.z
         << L"\n";
    text << L"# Elastic Modulus: " << elasticModulus_ << L"Pa, Poisson Ratio: " << poissonRatio_
         << L", Density: " << density_ << L"kg/m^3\n";
    text << L"# Damping Factor: " << dampingFactor_ << L", Time Step: " << timeStep_ << L"s\n";

    const DesignControls& c = designControls_;
    std::wstring value;
    auto has = [&](const wchar_t* key) { return file_.getString(key, value, nullptr, true); };
    if (has(L"OPTIMIZATION_VOLUME_FRACTION"))
        text << L"# Volume Fraction: " << c.volumeFraction << L"\n";
    if (has(L"OPTIMIZATION_FILTER_RADIUS"))
        text << L"# Filter Radius: " << c.filterRadius << L" voxels\n";
    if (has(L"OPTIMIZATION_PROJECTION")) text << L"# Projection: " << c.projection << L"\n";
    auto boxes = [&](const wchar_t* caption, const std::vector<WorldBox>& list) {
        text << caption << list.size();
        for (const WorldBox& b : list)
            text << L",  " << b.lo.x << L' ' << b.lo.y << L' ' << b.lo.z << L" to " << b.hi.x
                 << L' ' << b.hi.y << L' ' << b.hi.z;
        text << L"\n";
    };
    if (has(L"KEEP_SOLID_BOXES")) boxes(L"# Keep-Solid Boxes: ", c.keepSolid);
    if (has(L"KEEP_EMPTY_BOXES")) boxes(L"# Keep-Empty Boxes: ", c.keepEmpty);
    return text.str();
}

}  // namespace ostrel
