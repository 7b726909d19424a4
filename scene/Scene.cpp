#include "scene/Scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <sstream>

#include "core/Console.h"
#include "core/NumberText.h"
#include "geometry/MeshFile.h"
#include "scene/ViewFraming.h"

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

/// The whole text is one number (core/NumberText.h), blanks around it allowed.
bool parseOneNumber(const std::wstring& text, double& value) {
    return readReal(asciiText(trimBlanks(std::wstring_view(text))), value);
}

/// Reads FIXED_VERTICES' grid points (`points`) or FORCES' grid points with their forces
/// (`forces`) group by group while every read succeeds. Returns false when the reading stopped at
/// text that is not the next number; an incomplete last group of numbers is dropped without a
/// note, as the format has always had it.
bool scanGridPoint(NumberScanner& in, GridPoint& p) {
    return in.read(p.x) && in.read(p.y) && in.read(p.z);
}
bool scanSupportList(const std::wstring& text, std::vector<GridPoint>* points,
                     std::vector<PointForce>* forces) {
    NumberScanner in(scannableText(text));
    for (;;) {
        PointForce f;
        if (!scanGridPoint(in, f.at)) break;
        if (points) {
            points->push_back(f.at);
        } else {
            if (!(in.read(f.fx) && in.read(f.fy) && in.read(f.fz))) break;
            forces->push_back(f);
        }
    }
    return in.atEnd();
}

/// A further load case's forces, six numbers X Y Z FX FY FZ each, every word a number (unlike
/// FORCES, a fault is an error); on failure `why` completes a message that starts with the key.
bool parseCaseForces(const std::wstring& text, std::vector<PointForce>& forces, std::wstring& why) {
    const std::vector<std::wstring> words = blankSeparatedWords(text);
    std::vector<double> numbers;
    if (std::wstring word; !readRealList(text, numbers, word)) {
        why = L" holds '" + word + L"', which is not a number";
        return false;
    }
    if (numbers.size() % 6 != 0) {
        why = L" needs six numbers X Y Z FX FY FZ per force, not " +
              std::to_wstring(numbers.size()) + L" numbers";
        return false;
    }
    auto isGridCoordinate = [](double v) {
        return v == std::floor(v) && v >= std::numeric_limits<int>::min() &&
               v <= std::numeric_limits<int>::max();
    };
    forces.clear();
    for (size_t i = 0; i < numbers.size(); i += 6) {
        const double* v = &numbers[i];
        if (!isGridCoordinate(v[0]) || !isGridCoordinate(v[1]) || !isGridCoordinate(v[2])) {
            why = L" needs whole grid coordinates X Y Z, force " + std::to_wstring(i / 6 + 1) +
                  L" has others";
            return false;
        }
        PointForce f{{int(v[0]), int(v[1]), int(v[2])}};
        // Each component read once as the nearest float, as FORCES reads it.
        float* component[3] = {&f.fx, &f.fy, &f.fz};
        for (int k = 0; k < 3; ++k)
            if (!readReal(asciiText(words[i + 3 + k]), *component[k])) {
                why = L" holds the force component '" + words[i + 3 + k] +
                      L"', beyond the range of a force";
                return false;
            }
        forces.push_back(f);
    }
    return true;
}

/// Boxes of six numbers each; on failure returns false with the reason (without the key).
bool parseBoxes(const std::wstring& text, std::vector<WorldBox>& boxes, std::wstring& why) {
    std::vector<double> numbers;
    if (std::wstring word; !readRealList(text, numbers, word)) {
        why = L"'" + word + L"' is not a number";
        return false;
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

Scene::Scene() { resetScene(); }

void Scene::resetScene() {
    meshFile_.clear();
    voxelSize_ = {0.01, 0.01, 0.01};
    elasticModulus_ = 1e7;
    poissonRatio_ = 0.3;
    density_ = 1000;
    dampingFactor_ = 0.5;
    timeStep_ = 0.05;
    gravity_ = {0, 0, -9.81};
    view_.defaultViewPos = {-20, 0, 0};
    view_.defaultHeadingPitchRoll = {0, 0, 0};
    view_.lightPos = {0, 0, 1};
    view_.lightDir = {0, 0, -1};
    view_.lightUp = {0, 1, 0};
    view_.lengthScale = 1;
    designControls_ = {};
    listed_ = {};
    loaded_ = false;
    meshToModel_ = Matrix4::identity();
    view_.viewChanged = false;
    view_.lightChanged = false;

    view_.computeLightView();
    const double mean = (voxelSize_.x + voxelSize_.y + voxelSize_.z) / 3.0;
    view_.vertexHandleRadius = float(mean / 5.0);
    view_.forceSphereRadius = (voxelSize_.x + voxelSize_.y + voxelSize_.z) * 10.0 / 3.0;
    view_.forcePerPixel = 0.1;
    view_.forceArrowScale = float(0.001 / (mean * mean * mean));
    view_.forceArrowScaling = 1;
    view_.meanVoxelSize = float(mean);
}

bool Scene::loadScene(const std::wstring& fileName, std::wostream* log) {
    resetScene();
    if (!readParameters(fileName, log)) return false;
    if (!prepareMesh(fileName, log)) return false;
    if (!file_.getInt(L"NUM_LEVELS", numLevels_, log)) return false;
    addAdditionalSurfaceVoxels_ = false;
    file_.getBool(L"ADD_ADDITIONAL_SURFACE_VOXELS", addAdditionalSurfaceVoxels_, log);
    readView(log);
    if (!readDesignControls(log)) return false;
    if (!readSupportsAndLoads(log)) return false;
    loaded_ = true;
    rememberSaved({});
    return true;
}

bool Scene::readParameters(const std::wstring& fileName, std::wostream* log) {
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
    return true;
}

bool Scene::prepareMesh(const std::wstring& fileName, std::wostream* log) {
    std::wstring meshName;
    if (!file_.getString(L"MESH", meshName, log)) return false;
    meshName = decodeFileName(meshName);
    // An absolute MESH path is used as it is; a relative one is taken from the scene's folder.
    const std::wstring meshFile =
        isAbsolutePath(meshName) ? meshName : directoryPrefix(fileName) + meshName;
    meshFile_ = meshFile;
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
    return true;
}

void Scene::readView(std::wostream* log) {
    Vec3f headingPitchRoll;
    const bool viewRead =
        file_.getFloat3(L"RENDERER_DEFAULT_VIEW_POS", view_.defaultViewPos, log);
    if (viewRead &&
        file_.getFloat3(L"RENDERER_DEFAULT_HEADING_PITCH_ROLL", headingPitchRoll, log)) {
        view_.defaultHeadingPitchRoll = headingPitchRoll;
    } else {
        view_.defaultViewPos = {mesh_.center.x - 5.0f * mesh_.halfSize.x, mesh_.center.y,
                           mesh_.center.z};
        view_.defaultHeadingPitchRoll = {0, 0, 0};
    }

    // The default light stands above the origin at the model's scale.
    view_.lengthScale = lengthScale(mesh_.halfSize);
    view_.lightPos = {0, 0, view_.lengthScale};
    file_.getFloat3(L"RENDERER_LIGHT_POS", view_.lightPos, log);
    file_.getFloat3(L"RENDERER_LIGHT_DIR", view_.lightDir, log);
    file_.getFloat3(L"RENDERER_LIGHT_UP", view_.lightUp, log);
    view_.computeLightView();

    const double mean = (voxelSize_.x + voxelSize_.y + voxelSize_.z) / 3.0;
    view_.vertexHandleRadius = float(mean / 5.0);
    file_.getFloat(L"EDITOR_VERTEX_HANDLE_RADIUS", view_.vertexHandleRadius, log);
    file_.getDouble(L"EDITOR_FORCE_SPHERE_RADIUS", view_.forceSphereRadius, log, true);
    file_.getDouble(L"EDITOR_FORCE_PER_PIXEL", view_.forcePerPixel, log, true);
    view_.forceArrowScale = float(5e-7 / (mean * mean));
    float arrowScaling = 1;
    file_.getFloat(L"EDITOR_FORCE_ARROW_SCALING", arrowScaling, log);
    view_.forceArrowScale *= arrowScaling;
    view_.forceArrowScaling = arrowScaling;
    view_.meanVoxelSize = float(mean);
}

bool Scene::readSupportsAndLoads(std::wostream* log) {
    std::wstring list;
    if (file_.getString(L"FIXED_VERTICES", list, log, true))
        listed_.fixedUnreadable = !scanSupportList(list, &listed_.fixed, nullptr);
    if (file_.getString(L"FORCES", list, log, true))
        listed_.forcesUnreadable = !scanSupportList(list, nullptr, &listed_.forces);
    return readLoadCases(log);
}

bool Scene::readLoadCases(std::wostream* log) {
    auto fail = [&](const std::wstring& line) {
        writeLine(log, L"ERROR: " + line);
        return false;
    };
    // The case numbers the file names, each once (a key appears once in the file's entries).
    std::vector<int> numbers;
    for (const KeyValueFile::Entry& entry : file_.entries())
        if (const int number = loadCaseNumber(entry.first); number > 0) numbers.push_back(number);
    std::sort(numbers.begin(), numbers.end());
    for (size_t i = 0; i < numbers.size(); ++i)
        if (numbers[i] != int(i) + 2)
            return fail(loadCaseKey(numbers[i]) + L" follows no " + loadCaseKey(int(i) + 2) +
                        L" (load cases are numbered 2, 3, ... without a gap)");
    const int cases = 1 + int(numbers.size());
    if (cases > 1 && listed_.forces.empty())
        return fail(L"FORCES lists no force: load case 1 is empty");
    for (int c = 2; c <= cases; ++c) {
        const std::wstring key = loadCaseKey(c);
        std::wstring text, why;
        file_.getString(key, text, nullptr, true);
        std::vector<PointForce> forces;
        if (!parseCaseForces(text, forces, why)) return fail(key + why);
        if (forces.empty()) return fail(key + L" lists no force: load case " +
                                        std::to_wstring(c) + L" is empty");
        listed_.moreCases.push_back(std::move(forces));
    }
    std::wstring text, why;
    std::vector<double>& weights = designControls_.loadCaseWeights;
    weights.clear();
    if (file_.getString(L"LOAD_CASE_WEIGHTS", text, log, true)) {
        if (!parseLoadCaseWeights(text, cases, weights, why))
            return fail(L"LOAD_CASE_WEIGHTS " + why);
    } else if (cases > 1) {
        weights.assign(size_t(cases), 1.0);
    }
    // One case is its compliance alone.
    if (cases == 1) weights.clear();
    return true;
}

namespace {

bool samePlanes(const std::vector<SymmetryPlane>& a, const std::vector<SymmetryPlane>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k].axis != b[k].axis || a[k].centre != b[k].centre ||
            (!a[k].centre && a[k].coordinate != b[k].coordinate))
            return false;
    return true;
}

/// The planes as the value of SYMMETRY_PLANES lists them.
std::wstring planesText(const std::vector<SymmetryPlane>& planes) {
    std::wostringstream text;
    for (const SymmetryPlane& p : planes) {
        if (text.tellp() > 0) text << L"  ";
        text << axisName(p.axis);
        if (!p.centre) text << L' ' << p.coordinate;
    }
    return text.str();
}

/// The forces as the value of FORCES lists them.
std::wstring forcesText(const std::vector<PointForce>& forces) {
    std::wostringstream text;
    for (const PointForce& f : forces) {
        if (text.tellp() > 0) text << L"  ";
        text << f.at.x << L' ' << f.at.y << L' ' << f.at.z << L' ' << f.fx << L' ' << f.fy
             << L' ' << f.fz;
    }
    return text.str();
}

}  // namespace

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
    if (file_.getString(L"OPTIMIZATION_MIN_MEMBER", text, log, true)) {
        if (!parseOneNumber(text, c.minMember) ||
            !(c.minMember >= DesignControls::kMinMemberSize) ||
            !(c.minMember <= DesignControls::kMaxMemberSize))
            return fail(L"OPTIMIZATION_MIN_MEMBER must be a number from 2 to 8 (voxel lengths), "
                        L"not '" + text + L"'");
        if (c.filterRadiusGiven)
            return fail(L"OPTIMIZATION_MIN_MEMBER sets the filter radius: leave out "
                        L"OPTIMIZATION_FILTER_RADIUS");
        c.filterRadius = DesignControls::memberFilterRadius(c.minMember);
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
    if (file_.getString(L"SYMMETRY_PLANES", text, log, true) &&
        !parseSymmetryPlanes(text, c.symmetry, why))
        return fail(L"SYMMETRY_PLANES " + why);
    return true;
}

bool Scene::saveScene(const std::wstring& fileName, const SupportsAndLoads& current,
                      std::wostream* log) {
    if (!loaded_) return true;
    // With several load cases the file must hold a force in every case, or it would not load.
    for (size_t c = 0; !current.moreCases.empty() && c <= current.moreCases.size(); ++c) {
        if (!(c == 0 ? current.forces : current.moreCases[c - 1]).empty()) continue;
        writeLine(log, L"ERROR: Load case " + std::to_wstring(c + 1) + L" has no force, and a "
                       L"scene with several load cases must give each one (" +
                       loadCaseKey(int(c) + 1) + L"): place a force in it or remove the case; "
                       L"nothing was written to \"" + fileName + L"\"");
        return false;
    }
    std::wostringstream fixed;
    for (const GridPoint& p : current.fixed) {
        if (fixed.tellp() > 0) fixed << L"  ";
        fixed << p.x << L' ' << p.y << L' ' << p.z;
    }
    if (!current.fixed.empty())
        file_.setString(L"FIXED_VERTICES", fixed.str());
    else
        file_.remove(L"FIXED_VERTICES");
    if (!current.forces.empty())
        file_.setString(L"FORCES", forcesText(current.forces));
    else
        file_.remove(L"FORCES");
    // Every further case in its key; the keys of cases beyond them go.
    for (size_t c = 0; c < current.moreCases.size(); ++c)
        file_.setString(loadCaseKey(int(c) + 2), forcesText(current.moreCases[c]));
    std::vector<std::wstring> stale;
    for (const KeyValueFile::Entry& entry : file_.entries())
        if (const int number = loadCaseNumber(entry.first);
            number > int(current.moreCases.size()) + 1)
            stale.push_back(entry.first);
    for (const std::wstring& key : stale) file_.remove(key);
    // The weights, one per case with several cases: the file's value stays while it gives them.
    const int cases = 1 + int(current.moreCases.size());
    const std::vector<double> weights = caseWeights(cases);
    std::wstring listed, why;
    std::vector<double> read;
    const bool named = file_.getString(L"LOAD_CASE_WEIGHTS", listed, nullptr, true);
    const bool holds = named ? parseLoadCaseWeights(listed, cases, read, why) &&
                                   (cases == 1 || read == weights)
                             : std::all_of(weights.begin(), weights.end(),
                                           [](double w) { return w == 1.0; });
    if (!holds && cases == 1) {
        file_.remove(L"LOAD_CASE_WEIGHTS");
    } else if (!holds) {
        std::wostringstream text;
        for (double w : weights) text << (text.tellp() > 0 ? L" " : L"") << w;
        file_.setString(L"LOAD_CASE_WEIGHTS", text.str());
    }
    // The mirror planes, written when they differ from the file's.
    std::vector<SymmetryPlane> filePlanes;
    if (file_.getString(L"SYMMETRY_PLANES", listed, nullptr, true))
        parseSymmetryPlanes(listed, filePlanes, why);
    if (!samePlanes(filePlanes, designControls_.symmetry)) {
        if (designControls_.symmetry.empty())
            file_.remove(L"SYMMETRY_PLANES");
        else
            file_.setString(L"SYMMETRY_PLANES", planesText(designControls_.symmetry));
    }

    auto vec = [](const Vec3f& v) { return joinWords({v.x, v.y, v.z}); };
    if (view_.viewChanged) {
        file_.setString(L"RENDERER_DEFAULT_VIEW_POS", vec(view_.defaultViewPos));
        file_.setString(L"RENDERER_DEFAULT_HEADING_PITCH_ROLL",
                        vec(view_.defaultHeadingPitchRoll));
    }
    if (view_.lightChanged) {
        file_.setString(L"RENDERER_LIGHT_POS", vec(view_.lightPos));
        file_.setString(L"RENDERER_LIGHT_DIR", vec(view_.lightDir));
        file_.setString(L"RENDERER_LIGHT_UP", vec(view_.lightUp));
    }
    // The projection mode is the one design control the window changes; a file that does not
    // name it keeps it unnamed while it is the default.
    std::wstring projection;
    if (!file_.getString(L"OPTIMIZATION_PROJECTION", projection, nullptr, true)) projection = L"0";
    if (projection != std::to_wstring(designControls_.projection))
        file_.setString(L"OPTIMIZATION_PROJECTION", std::to_wstring(designControls_.projection));
    if (!file_.write(fileName, log)) return false;
    rememberSaved(current);
    return true;
}

void Scene::rememberSaved(const SupportsAndLoads& current) {
    saved_ = {current.fixed,  current.forces, current.moreCases, view_.defaultViewPos, view_.defaultHeadingPitchRoll,
              view_.lightPos, view_.lightDir, view_.lightUp,  designControls_.projection,
              caseWeights(1 + int(current.moreCases.size())), designControls_.symmetry};
}

std::vector<double> Scene::caseWeights(int cases) const {
    std::vector<double> weights = designControls_.loadCaseWeights;
    if (cases == 1)
        weights.clear();
    else
        weights.resize(size_t(cases), 1.0);
    return weights;
}

std::vector<std::wstring> Scene::unsavedEdits(const SupportsAndLoads& current) const {
    std::vector<std::wstring> edits;
    if (!loaded_) return edits;
    const SavedState& s = saved_;
    if (current.fixed != s.fixed) edits.push_back(L"fixations");
    if (current.forces != s.forces || current.moreCases != s.moreCases)
        edits.push_back(L"forces");
    // saveScene writes the view and the light only once the user has set them.
    if (view_.viewChanged &&
        (view_.defaultViewPos != s.viewPos || view_.defaultHeadingPitchRoll != s.headingPitchRoll))
        edits.push_back(L"view");
    if (view_.lightChanged &&
        (view_.lightPos != s.lightPos || view_.lightDir != s.lightDir ||
         view_.lightUp != s.lightUp))
        edits.push_back(L"light");
    if (designControls_.projection != s.projection ||
        caseWeights(1 + int(current.moreCases.size())) != s.weights ||
        !samePlanes(designControls_.symmetry, s.symmetry))
        edits.push_back(L"design controls");
    return edits;
}

std::wstring Scene::sceneSummary(int elements, int vertices) const {
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

    text << L"# #Elements: " << elements << L", #Vertices: " << vertices << L", #DOFs: "
         << 3 * vertices << L"\n";
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
    if (has(L"OPTIMIZATION_MIN_MEMBER"))
        text << L"# Minimum Member: " << c.minMember << L" voxels\n";
    auto boxes = [&](const wchar_t* caption, const std::vector<WorldBox>& list) {
        text << caption << list.size();
        for (const WorldBox& b : list)
            text << L",  " << b.lo.x << L' ' << b.lo.y << L' ' << b.lo.z << L" to " << b.hi.x
                 << L' ' << b.hi.y << L' ' << b.hi.z;
        text << L"\n";
    };
    if (has(L"KEEP_SOLID_BOXES")) boxes(L"# Keep-Solid Boxes: ", c.keepSolid);
    if (has(L"KEEP_EMPTY_BOXES")) boxes(L"# Keep-Empty Boxes: ", c.keepEmpty);
    if (!c.loadCaseWeights.empty()) {
        text << L"# Load Cases: " << c.loadCaseWeights.size() << L", weights";
        for (double w : c.loadCaseWeights) text << L' ' << w;
        text << L"\n";
    }
    if (has(L"SYMMETRY_PLANES")) {
        text << L"# Symmetry Planes: " << c.symmetry.size();
        for (const SymmetryPlane& p : c.symmetry) text << L",  " << describePlane(p);
        text << L"\n";
    }
    return text.str();
}

}  // namespace ostrel
