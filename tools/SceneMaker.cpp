#include "tools/SceneMaker.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Console.h"
#include "core/NumberText.h"
#include "geometry/MeshFile.h"
#include "geometry/TriangleMesh.h"
#include "gpu/Driver.h"
#include "optimization/Problem.h"
#include "scene/Scene.h"
#include "scene/ViewFraming.h"
#include "tools/InputChecks.h"

namespace ostrel {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

/// Whole-text numbers (core/NumberText.h).
bool parseDouble(const std::string& text, double& value) { return readReal(text, value); }

bool parseInt(const std::string& text, int& value) {
    long long v = 0;
    if (!readWhole(text, v) || v < INT32_MIN || v > INT32_MAX) return false;
    value = int(v);
    return true;
}

/// Splits a selection into words; '=' is a word of its own so "x=0" and "x = 0" agree.
std::vector<std::string> selectionWords(const std::string& text) {
    std::string spaced;
    for (char c : text) {
        if (c == '=') {
            spaced += " = ";
        } else {
            spaced += c;
        }
    }
    std::istringstream in(spaced);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

const char* const kAxisNames[3] = {"x", "y", "z"};

/// Shortest text that reads back as the same float (what the scene loader stores), so the
/// forces of a load still add up to its total after the round trip through the file.
std::string formatForce(float v) {
    if (v == 0) v = 0;  // no "-0"
    char text[32];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

std::string formatDouble(double v) {
    std::ostringstream s;
    s.precision(9);
    s << v;
    return s.str();
}

/// The comment block that teaches the format, and the keys.
/// The file's opening comments: the notes, the command line and what every key means.
std::string sceneFileHeader(const MakeSceneOptions& o) {
    std::ostringstream t;
    for (const std::string& note : o.notes) t << "// " << note << "\n";
    if (!o.notes.empty()) t << "//\n";
    t << "// Ostrel scene file. Written by ostrel-make-scene; regenerate it with\n"
      << "//   " << o.commandLine << "\n"
      << "//\n"
      << "// Format: one \"KEY: value\" per line. Keys are case-insensitive; numbers are\n"
      << "// separated by blanks; a line whose first word starts with // is a comment (there are\n"
      << "// no comments after a value). Saving the scene from the program rewrites the file\n"
      << "// without comments.\n"
      << "//\n"
      << "// VOXEL_SIZE       edge lengths x y z of one voxel, in mesh units after MESH_SCALE_TO.\n"
      << "//                  Every voxel whose centre lies inside the mesh becomes one\n"
      << "//                  hexahedral finite element; halving it gives eight times as many.\n"
      << "// ELASTIC_MODULUS, POISSON_RATIO, DENSITY, DAMPING_FACTOR, TIME_STEP\n"
      << "//                  material and time step (Pa, -, kg/m^3, -, s). Required; they are\n"
      << "//                  printed at start-up, but the model computes with its built-in\n"
      << "//                  material (E = 2e9 Pa, Poisson ratio 0.394), the values below.\n"
      << "// GRAVITY          optional gravitational acceleration x y z; the optimizer works with\n"
      << "//                  the applied forces alone and sets it to zero after loading.\n"
      << "// MESH             the closed triangle mesh (OBJ), relative to this file's folder.\n"
      << "// MESH_SCALE_TO    optional: scale the mesh so that its longest bounding-box edge has\n"
      << "//                  this length. The mesh is then moved so that its bounding box starts\n"
      << "//                  at the origin: world coordinates below are measured from there.\n"
      << "// NUM_LEVELS       multigrid levels (at least 3); each level halves the grid.\n"
      << "// ADD_ADDITIONAL_SURFACE_VOXELS\n"
      << "//                  1: also fill the empty voxels that hold a mesh vertex next to the\n"
      << "//                  solid, so that thin and curved parts keep their shape; 0: off.\n"
      << "// FIXED_VERTICES   grid points x y z of level-0 vertices held fixed (entries separated\n"
      << "//                  by two blanks). Grid point (x,y,z) lies at origin + (x,y,z) * voxel\n"
      << "//                  size, the origin being the minimum corner of the voxel model.\n"
      << "// FORCES           grid point x y z and force fx fy fz (N) per loaded vertex.\n"
      << "//                  A grid point without a vertex is skipped with a warning. Both lists\n"
      << "//                  are in the model's vertex order, as the program saves them.\n"
      << "// Optional keys not written here: MESH_TRANSFORMATION (16 numbers, row by row),\n"
      << "// RENDERER_LIGHT_POS, RENDERER_LIGHT_DIR, RENDERER_LIGHT_UP, EDITOR_VERTEX_HANDLE_RADIUS,\n"
      << "// EDITOR_FORCE_SPHERE_RADIUS, EDITOR_FORCE_PER_PIXEL, EDITOR_FORCE_ARROW_SCALING.\n"
      << "\n";
    return t.str();
}

/// The optional design controls: the volume fraction and the boxes kept solid or empty.
std::string designControlsText(const MakeSceneOptions& o) {
    std::ostringstream t;
    if (o.volumeFraction > 0 || !o.keepSolid.empty() || !o.keepEmpty.empty()) t << "\n";
    if (o.volumeFraction > 0)
        t << "// Fraction of the volume that the optimization keeps.\n"
          << "OPTIMIZATION_VOLUME_FRACTION: " << formatDouble(o.volumeFraction) << "\n";
    auto boxes = [&](const char* key, const char* comment, const std::vector<SelectionTerm>& list) {
        if (list.empty()) return;
        t << "// " << comment << "\n" << key << ":";
        for (size_t i = 0; i < list.size(); ++i) {
            const SelectionTerm& b = list[i];
            t << (i ? "  " : " ") << formatDouble(b.lo.x) << " " << formatDouble(b.lo.y) << " "
              << formatDouble(b.lo.z) << " " << formatDouble(b.hi.x) << " "
              << formatDouble(b.hi.y) << " " << formatDouble(b.hi.z);
        }
        t << "\n";
    };
    boxes("KEEP_SOLID_BOXES",
          "Elements whose centre lies in one of these boxes X0 Y0 Z0 X1 Y1 Z1 stay solid.",
          o.keepSolid);
    boxes("KEEP_EMPTY_BOXES",
          "Elements whose centre lies in one of these boxes stay empty (not part of the volume).",
          o.keepEmpty);
    return t.str();
}

std::string sceneText(const MakeSceneOptions& o, const std::string& meshValue,
                      const std::vector<std::string>& fixComments, const std::string& fixed,
                      const std::vector<std::string>& loadComments, const std::string& forces,
                      const std::string& view = "",
                      const std::vector<std::pair<std::vector<std::string>, std::string>>&
                          moreCases = {}) {
    std::ostringstream t;
    t << sceneFileHeader(o);
    const std::string s = formatDouble(o.voxel);
    t << "VOXEL_SIZE: " << s << " " << s << " " << s << "\n"
      << "ELASTIC_MODULUS: 2e9\n"
      << "POISSON_RATIO: 0.394\n"
      << "DENSITY: 1000\n"
      << "DAMPING_FACTOR: 0.5\n"
      << "TIME_STEP: 0.05\n"
      << "GRAVITY: 0 0 0\n"
      << "MESH: " << meshValue << "\n";
    if (o.scaleTo > 0) t << "MESH_SCALE_TO: " << formatDouble(o.scaleTo) << "\n";
    t << "NUM_LEVELS: " << o.levels << "\n"
      << "ADD_ADDITIONAL_SURFACE_VOXELS: " << (o.surfaceVoxels ? 1 : 0) << "\n";
    if (!view.empty())
        t << "\n// The camera at start: a three-quarter view of the whole model (Alt+X in the window\n"
          << "// stores the current view here).\n"
          << view;
    if (!fixed.empty()) {
        t << "\n";
        for (const std::string& c : fixComments) t << "// " << c << "\n";
        t << "FIXED_VERTICES: " << fixed << "\n";
    }
    if (!forces.empty()) {
        t << "\n";
        for (const std::string& c : loadComments) t << "// " << c << "\n";
        t << "FORCES: " << forces << "\n";
    }
    // The further load cases (--case), each under its comments.
    for (size_t c = 0; c < moreCases.size(); ++c) {
        t << "\n";
        if (c == 0)
            t << "// Further load cases: the optimization minimizes the sum of the cases'\n"
              << "// compliances (LOAD_CASE_WEIGHTS: one weight per case, case 1 first, default 1).\n";
        for (const std::string& comment : moreCases[c].first) t << "// " << comment << "\n";
        t << "FORCES_CASE_" << c + 2 << ": " << moreCases[c].second << "\n";
    }
    t << designControlsText(o);
    return t.str();
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

/// "X0 Y0 Z0 X1 Y1 Z1", as a box is given.
std::string formatBox(const Vec3d& lo, const Vec3d& hi) {
    return formatDouble(lo.x) + " " + formatDouble(lo.y) + " " + formatDouble(lo.z) + " " +
           formatDouble(hi.x) + " " + formatDouble(hi.y) + " " + formatDouble(hi.z);
}

/// The scene keys of the three-quarter view of the loaded scene's model.
std::string storedViewLines(const Scene& scene) {
    const StoredView v = threeQuarterView(scene.center(), scene.mesh().halfSize);
    const auto three = [](const Vec3f& a) {
        return formatDouble(a.x) + " " + formatDouble(a.y) + " " + formatDouble(a.z);
    };
    return "RENDERER_DEFAULT_VIEW_POS: " + three(v.position) +
           "\nRENDERER_DEFAULT_HEADING_PITCH_ROLL: " + three(v.headingPitchRoll) + "\n";
}

}  // namespace

bool parseSelection(const std::string& text, Selection& selection, std::string& error) {
    selection = {};
    selection.text = text;
    const std::vector<std::string> words = selectionWords(text);
    if (words.empty()) {
        error = "empty selection";
        return false;
    }
    size_t i = 0;
    while (true) {
        if (i >= words.size()) {
            error = "a term is missing after \"and\"";
            return false;
        }
        SelectionTerm term;
        const std::string head = lower(words[i]);
        if (head == "box") {
            term.kind = SelectionTerm::Kind::Box;
            double v[6];
            for (int k = 0; k < 6; ++k) {
                if (i + 1 + k >= words.size() || !parseDouble(words[i + 1 + k], v[k])) {
                    error = "\"box\" needs six numbers X0 Y0 Z0 X1 Y1 Z1";
                    return false;
                }
            }
            term.lo = {v[0], v[1], v[2]};
            term.hi = {v[3], v[4], v[5]};
            if (term.lo.x > term.hi.x || term.lo.y > term.hi.y || term.lo.z > term.hi.z) {
                error = "\"box\" needs X0 <= X1, Y0 <= Y1 and Z0 <= Z1";
                return false;
            }
            i += 7;
        } else if (head == "x" || head == "y" || head == "z") {
            term.axis = head[0] - 'x';
            if (i + 2 >= words.size() || words[i + 1] != "=") {
                error = "\"" + head + "\" must be followed by =0, =min, =max or =INDEX";
                return false;
            }
            const std::string value = lower(words[i + 2]);
            if (value == "max") {
                term.last = true;
            } else if (value == "min") {
                term.index = 0;
            } else if (!parseInt(value, term.index) || term.index < 0) {
                error = "\"" + words[i + 2] + "\" is not min, max or a grid index >= 0";
                return false;
            }
            i += 3;
        } else {
            error = "unknown term \"" + words[i] + "\" (expected x=, y=, z= or box)";
            return false;
        }
        selection.terms.push_back(term);
        if (i == words.size()) return true;
        if (lower(words[i]) != "and") {
            error = "expected \"and\" before \"" + words[i] + "\"";
            return false;
        }
        ++i;
    }
}

std::vector<int> selectVertices(const FemModel& model, const Selection& selection) {
    std::vector<int> result;
    const std::array<int, 3>& dims = model.vertexDims(0);
    const double size[3] = {model.voxelSize().x, model.voxelSize().y, model.voxelSize().z};
    const double origin[3] = {model.origin().x, model.origin().y, model.origin().z};
    const std::vector<uint32_t>& positions = model.vertexPosition(0);
    for (size_t v = 0; v < positions.size(); ++v) {
        const GridPos p = unpack(positions[v]);
        const int g[3] = {p.x, p.y, p.z};
        bool keep = true;
        for (const SelectionTerm& term : selection.terms) {
            if (term.kind == SelectionTerm::Kind::Plane) {
                const int plane = term.last ? dims[size_t(term.axis)] - 1 : term.index;
                keep = g[term.axis] == plane;
            } else {
                const double lo[3] = {term.lo.x, term.lo.y, term.lo.z};
                const double hi[3] = {term.hi.x, term.hi.y, term.hi.z};
                for (int a = 0; a < 3 && keep; ++a) {
                    // Bounds are inclusive; the tolerance absorbs rounding of grid positions.
                    const double w = origin[a] + g[a] * size[a];
                    const double eps = 1e-6 * size[a];
                    keep = w >= lo[a] - eps && w <= hi[a] + eps;
                }
            }
            if (!keep) break;
        }
        if (keep) result.push_back(int(v));
    }
    return result;
}

std::string makeSceneUsage() {
    return "Usage: ostrel-make-scene --mesh MESH.obj --voxel SIZE [options] -o SCENE.txt\n"
           "\n"
           "Writes a scene file for MESH.obj: voxelizes the mesh as the program will, selects\n"
           "vertex grid points and lists them as FIXED_VERTICES and FORCES. The scene file gets\n"
           "comments that explain every key. Options:\n"
           "  --mesh FILE            closed triangle mesh (OBJ, or STL binary or ASCII); the\n"
           "                         scene refers to it relative to the scene file's folder\n"
           "  --voxel SIZE           voxel edge length in mesh units (after --scale-to)\n"
           "  --levels L             multigrid levels, at least 3 (default 4)\n"
           "  --scale-to X           scale the mesh so that its longest bounding-box edge is X\n"
           "  --surface-voxels       ADD_ADDITIONAL_SURFACE_VOXELS: 1 (for curved meshes)\n"
           "  --fix SELECTION        fix every vertex of SELECTION (repeatable)\n"
           "  --load SELECTION FX FY FZ\n"
           "                         spread the total force (FX FY FZ) equally over the vertices\n"
           "                         of SELECTION (repeatable; forces of several loads add up)\n"
           "  --case N               the --load options after it belong to load case N\n"
           "                         (FORCES_CASE_N; case 1, FORCES, before any --case); the\n"
           "                         cases are numbered 1, 2, ... without a gap\n"
           "  --keep-solid BOX       KEEP_SOLID_BOXES: elements whose centre lies in BOX, one\n"
           "                         argument \"X0 Y0 Z0 X1 Y1 Z1\" in world coordinates, stay\n"
           "                         solid (repeatable)\n"
           "  --keep-empty BOX       KEEP_EMPTY_BOXES: elements in BOX stay empty (repeatable)\n"
           "  --volume-fraction F    OPTIMIZATION_VOLUME_FRACTION: the fraction of the volume\n"
           "                         the optimization keeps, between 0 and 1 (default 0.36)\n"
           "  --note TEXT            a description line for the top of the file (repeatable)\n"
           "  --mesh-coordinates     boxes (in selections, --keep-solid, --keep-empty) are in\n"
           "                         the mesh file's own coordinates, not world coordinates\n"
           "  --allow-unfixed        write the scene even if no vertex is fixed (without it,\n"
           "                         such a scene is refused: its system has no solution)\n"
           "  --allow-unloaded       write the scene even if no force acts on a vertex that is\n"
           "                         not fixed, for forces set in the window (without it, such\n"
           "                         a scene is refused: it has nothing to optimize)\n"
           "  -o, --output FILE      the scene file to write (replaced atomically)\n"
           "  -h, --help             this text\n"
           "  -V, --version          show the version and exit\n"
           "\n"
           "A SELECTION is one quoted argument: terms joined by \"and\", all of which must hold.\n"
           "  x=0  y=min  z=max  x=12   a plane of the level-0 vertex grid (min is 0, max the\n"
           "                            last plane: the faces of the voxel model's bounding box)\n"
           "  box X0 Y0 Z0 X1 Y1 Z1     a box in world coordinates, bounds included (the mesh\n"
           "                            after scaling, its bounding box moved to the origin;\n"
           "                            the mesh's own with --mesh-coordinates)\n"
           "The tool prints the mesh's box in its own and in world coordinates and the map\n"
           "between them.\n"
           "\n"
           "Example: a beam fixed at x = 0, 1000 N downward along the lower edge of its free end\n"
           "  ostrel-make-scene --mesh beam.obj --voxel 0.025 --fix \"x=0\" \\\n"
           "      --load \"x=max and z=0\" 0 0 -1000 -o beam.txt\n"
           "\n"
           "An open mesh and a voxel model in several pieces are reported as warnings.\n"
           "Exit status: 0 written, 1 failed (message on the console), 2 usage error (message\n"
           "on standard error).\n";
}

namespace {

/// `words` holds --load's SELECTION FX FY FZ; fills `load`'s place and total.
bool readLoad(const std::string* words, LoadSpec& load, std::string& error) {
    std::string why;
    if (!parseSelection(words[0], load.where, why)) {
        error = "--load " + quoted(words[0]) + ": " + why;
        return false;
    }
    double f[3];
    for (int k = 0; k < 3; ++k) {
        if (!parseDouble(words[1 + k], f[k])) {
            error = "--load " + quoted(words[0]) + ": " + quoted(words[1 + k]) + " is not a number";
            return false;
        }
    }
    load.total = {f[0], f[1], f[2]};
    if (f[0] == 0 && f[1] == 0 && f[2] == 0) {
        error = "--load " + quoted(words[0]) + ": the force is zero";
        return false;
    }
    return true;
}

/// What no single option can check: single-line arguments, load cases without a gap, the
/// required options.
bool checkMakeSceneArguments(const std::vector<std::string>& args, const MakeSceneOptions& options,
                             bool haveVoxel, std::string& error) {
    // Every argument goes into the file's comment lines (and the mesh name into MESH); a line
    // break would end a comment early and leave a line that no scene loader accepts.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].find_first_of("\r\n") != std::string::npos) {
            error = "argument " + std::to_string(i + 1) + " holds a line break; every argument "
                    "must be a single line";
            return false;
        }
    }
    // The load cases are numbered 1, 2, ... without a gap, each with a load.
    int lastCase = 0;
    for (const LoadSpec& l : options.loads) lastCase = std::max(lastCase, l.loadCase);
    for (int c = 1; c <= lastCase; ++c)
        if (std::none_of(options.loads.begin(), options.loads.end(),
                         [&](const LoadSpec& l) { return l.loadCase == c; })) {
            error = "load case " + std::to_string(c) + " has no --load, but case " +
                    std::to_string(lastCase) + " has; the cases are numbered without a gap";
            return false;
        }
    if (options.mesh.empty()) error = "--mesh is required";
    else if (!haveVoxel) error = "--voxel is required";
    else if (options.output.empty()) error = "-o SCENE.txt is required";
    return error.empty();
}

/// The command line as it would be typed again (arguments with blanks quoted), one option per
/// comment line after the first.
std::string commandLineComment(const std::vector<std::string>& args) {
    std::string line = "ostrel-make-scene";
    for (const std::string& a : args) {
        const bool plain = !a.empty() && a.find_first_of(" \t\"'$\\") == std::string::npos;
        const bool breakBefore = a == "--fix" || a == "--load" || a == "--case" ||
                                 a == "--note" || a == "-o" ||
                                 a == "--output" || a == "--keep-solid" || a == "--keep-empty";
        if (breakBefore) line += " \\\n//     ";
        else line += " ";
        line += plain ? a : quoted(a);
    }
    return line;
}

}  // namespace

namespace {

/// What the options before the one being read have set.
struct MakeSceneParse {
    bool haveVoxel = false;
    int loadCase = 1;  ///< of the --load options that follow
};

bool setMakeSceneFlag(const std::string& a, MakeSceneOptions& options) {
    if (a == "--surface-voxels") options.surfaceVoxels = true;
    else if (a == "--allow-unfixed") options.allowUnfixed = true;
    else if (a == "--mesh-coordinates") options.meshCoordinates = true;
    else if (a == "--allow-unloaded") options.allowUnloaded = true;
    else return false;
    return true;
}

bool takesOneValue(const std::string& a) {
    for (const char* option : {"--mesh", "-o", "--output", "--voxel", "--levels", "--scale-to",
                               "--fix", "--case", "--keep-solid", "--keep-empty",
                               "--volume-fraction", "--note"})
        if (a == option) return true;
    return false;
}

/// Reads the value `v` of the option `a` (one of takesOneValue's); false with `error` when the
/// value is refused.
bool readOneValue(const std::string& a, const std::string& v, MakeSceneParse& parse,
                  MakeSceneOptions& options, std::string& error) {
    if (a == "--mesh") {
        options.mesh = v;
    } else if (a == "-o" || a == "--output") {
        options.output = v;
    } else if (a == "--voxel") {
        if (!parseDouble(v, options.voxel) || !(options.voxel > 0))
            error = "--voxel needs a positive length, not " + quoted(v);
        parse.haveVoxel = true;
    } else if (a == "--levels") {
        if (!parseInt(v, options.levels) || options.levels < 3 || options.levels > 10)
            error = "--levels needs an integer from 3 to 10, not " + quoted(v);
    } else if (a == "--scale-to") {
        if (!parseDouble(v, options.scaleTo) || !(options.scaleTo > 0))
            error = "--scale-to needs a positive length, not " + quoted(v);
    } else if (a == "--fix") {
        Selection s;
        std::string why;
        if (parseSelection(v, s, why)) options.fixes.push_back(s);
        else error = "--fix " + quoted(v) + ": " + why;
    } else if (a == "--case") {
        double number = 0;
        if (!parseDouble(v, number) || number != std::floor(number) || number < 1 || number > 999)
            error = "--case " + quoted(v) + ": a load case is a whole number from 1 to 999";
        else parse.loadCase = int(number);
    } else if (a == "--keep-solid" || a == "--keep-empty") {
        Selection s;
        std::string why;
        if (!parseSelection("box " + v, s, why) || s.terms.size() != 1)
            error = a + " " + quoted(v) +
                    ": needs one argument of six numbers X0 Y0 Z0 X1 Y1 Z1 with X0 <= X1, "
                    "Y0 <= Y1 and Z0 <= Z1";
        else (a == "--keep-solid" ? options.keepSolid : options.keepEmpty).push_back(s.terms[0]);
    } else if (a == "--volume-fraction") {
        if (!parseDouble(v, options.volumeFraction) || !(options.volumeFraction > 0) ||
            !(options.volumeFraction < 1))
            error = "--volume-fraction needs a number between 0 and 1 (both excluded), not " +
                    quoted(v);
    } else {  // --note
        if (v.find_first_of("\r\n") != std::string::npos) error = "--note must be a single line";
        else options.notes.push_back(v);
    }
    return error.empty();
}

}  // namespace

ParseOutcome parseMakeSceneArguments(const std::vector<std::string>& args,
                                     MakeSceneOptions& options, std::string& error) {
    options = {};
    error.clear();
    MakeSceneParse parse;
    auto need = [&](size_t i, size_t count, const std::string& name) {
        if (i + count < args.size()) return true;
        error = name + " needs " + (count == 1 ? "a value" : std::to_string(count) + " values");
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") return ParseOutcome::Help;
        if (a == "-V" || a == "--version") return ParseOutcome::Version;
        if (setMakeSceneFlag(a, options)) continue;
        if (a == "--load") {
            if (!need(i, 4, a + " SELECTION")) return ParseOutcome::UsageError;
            LoadSpec load;
            load.loadCase = parse.loadCase;
            if (!readLoad(&args[i + 1], load, error)) return ParseOutcome::UsageError;
            options.loads.push_back(load);
            i += 4;
            continue;
        }
        if (!takesOneValue(a)) {
            error = "unknown argument " + quoted(a) + " (see --help)";
            return ParseOutcome::UsageError;
        }
        if (!need(i, 1, a) || !readOneValue(a, args[i + 1], parse, options, error))
            return ParseOutcome::UsageError;
        ++i;
    }
    if (!checkMakeSceneArguments(args, options, parse.haveVoxel, error))
        return ParseOutcome::UsageError;
    options.commandLine = commandLineComment(args);
    return ParseOutcome::Run;
}

std::string meshPathForScene(const std::string& meshFile, const std::string& sceneFile) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path mesh = fs::absolute(fs::path(meshFile), ec).lexically_normal();
    if (ec) return meshFile;
    const fs::path dir = fs::absolute(fs::path(sceneFile), ec).lexically_normal().parent_path();
    if (ec) return mesh.generic_string();
    const fs::path rel = mesh.lexically_relative(dir);
    return rel.empty() ? mesh.generic_string() : rel.generic_string();
}

bool writeTextAtomically(const std::string& path, const std::string& text, std::string& error) {
    const AtomicWriteResult result = writeFileAtomically(path, text);
    if (result) return true;
    error = !result.reason.empty() ? result.reason
            : result.status == AtomicWriteResult::Status::cannotCreate
                ? "cannot create a file in its folder"
                : "writing failed";
    return false;
}

namespace {

/// One run of ostrel-make-scene: its steps in order, each false after its error line.
class SceneMaking {
public:
    SceneMaking(const MakeSceneOptions& options, std::wostream& out)
        : options_(options), out_(out) {}

    int run() {
        const bool written = readMesh() && loadBaseModel() && selectFixed() && spreadLoads() &&
                             checkKeepBoxes() && listAndWrite();
        if (!written) return 1;
        reportHeld();
        return 0;
    }

private:
    bool fail(const std::string& message) {
        out_ << L"ERROR: " << fromUtf8(message) << std::endl;
        return false;
    }

    /// The mesh, its scaling and the grid size, checked before any model is built with
    /// messages in the tool's own words; boxes in mesh coordinates are converted to the world's.
    bool readMesh() {
        // A scene written over its own mesh would destroy the mesh it names.
        std::error_code ec;
        if (std::filesystem::equivalent(o_.mesh, o_.output, ec))
            return fail("The scene file " + quoted(o_.output) + " would replace the mesh " +
                        quoted(o_.mesh));
        if (!readMeshFile(mesh_, fromUtf8(o_.mesh), &out_)) return false;
        if (mesh_.triangles.empty())
            return fail("The mesh " + quoted(o_.mesh) + " has no triangles");
        checkMeshClosed(mesh_, fromUtf8(o_.mesh), &out_);
        meshLo_ = Vec3d(mesh_.center - mesh_.halfSize);
        const Vec3d meshHi(mesh_.center + mesh_.halfSize);
        if (o_.scaleTo > 0) {
            const float longest =
                std::max({mesh_.halfSize.x, mesh_.halfSize.y, mesh_.halfSize.z});
            if (!(longest > 0))
                return fail("The mesh " + quoted(o_.mesh) + " has no extent to scale");
            // As the scene loader scales it.
            const float f = float(o_.scaleTo) / (2.0f * longest);
            mesh_.scale(f);
            factor_ = double(f);
            const Vec3f h = mesh_.halfSize;
            if (!std::isfinite(h.x) || !std::isfinite(h.y) || !std::isfinite(h.z))
                return fail("The mesh " + quoted(o_.mesh) + " scaled to " +
                            formatDouble(o_.scaleTo) + " does not fit 32-bit floats");
        }
        out_ << coordinateReport(meshLo_, meshHi, factor_) << std::endl;
        if (o_.meshCoordinates) convertBoxesToWorld();
        // Voxel counts stay doubles until they are known to be small: a tiny voxel size gives
        // counts far beyond any integer type.
        double cells = 1;
        double n[3];
        for (int a = 0; a < 3; ++a) {
            n[a] = std::ceil(2.0 * double(mesh_.halfSize[a]) / o_.voxel) +
                   (o_.surfaceVoxels ? 2 : 0);
            cells *= std::max(n[a], 1.0);
        }
        if (!(n[0] <= 2046 && n[1] <= 2046 && n[2] <= 1022 && cells <= 1.0e9)) {
            auto count = [](double v) {
                return v < 1e15 ? std::to_string((long long)v) : formatDouble(v);
            };
            return fail("Voxel size " + formatDouble(o_.voxel) + " gives a grid of " +
                        count(n[0]) + " x " + count(n[1]) + " x " + count(n[2]) +
                        " voxels; at most 2046 x 2046 x 1022 (and 1e9 in all) fit the model");
        }
        if (std::min({n[0], n[1], n[2]}) < 1)
            return fail("The mesh " + quoted(o_.mesh) + " is flat");
        meshValue_ = meshPathForScene(o_.mesh, o_.output);
        return true;
    }

    void convertBoxesToWorld() {
        const Vec3d offset = meshLo_ * -factor_;
        auto toWorld = [&](SelectionTerm& box) {
            if (box.kind != SelectionTerm::Kind::Box) return;
            box.lo = box.lo * factor_ + offset;
            box.hi = box.hi * factor_ + offset;
        };
        for (Selection& s : options_.fixes)
            for (SelectionTerm& t : s.terms) toWorld(t);
        for (LoadSpec& l : options_.loads)
            for (SelectionTerm& t : l.where.terms) toWorld(t);
        for (SelectionTerm& t : options_.keepSolid) toWorld(t);
        for (SelectionTerm& t : options_.keepEmpty) toWorld(t);
    }

    /// The scene without fixations and forces, loaded and built to learn where the vertices
    /// are. The file sits next to the output so that MESH resolves the same way.
    bool loadBaseModel() {
        std::string error;
        const std::string base = o_.output + ".base-" + std::to_string(::getpid()) + ".txt";
        if (!writeTextAtomically(base, sceneText(o_, meshValue_, {}, "", {}, ""), error))
            return fail("Cannot write file " + quoted(o_.output) + ": " + error);
        ProblemOptions options;
        options.device.forceHost = true;
        ProblemBuild built;
        if (scene_.loadScene(fromUtf8(base), &out_)) built = buildProblem(scene_, options, &out_);
        std::remove(base.c_str());
        if (!built.problem) return fail("Cannot load the scene for " + quoted(o_.mesh));
        problem_ = std::move(built.problem);
        const FemModel& model = problem_->model();
        checkSinglePiece(elementPieceSizes(model), &out_);
        const std::array<int, 3>& planes = model.vertexDims(0);
        gridHi_ = {model.origin().x + (planes[0] - 1) * model.voxelSize().x,
                   model.origin().y + (planes[1] - 1) * model.voxelSize().y,
                   model.origin().z + (planes[2] - 1) * model.voxelSize().z};
        out_ << L"Vertex grid: planes x=0 to x=" << planes[0] - 1 << L", y=0 to y="
             << planes[1] - 1 << L", z=0 to z=" << planes[2] - 1 << L" (world box ("
             << fromUtf8(formatBox(model.origin(), gridHi_)) << L"))" << std::endl;
        fixedFlag_.assign(size_t(model.numVertices(0)), 0);
        force_.assign(3 * size_t(model.numVertices(0)), 0.0);
        return true;
    }

    /// Where the vertices are, for a selection that holds none.
    std::string vertexRange() const {
        const FemModel& model = problem_->model();
        const std::array<int, 3>& planes = model.vertexDims(0);
        std::string text = "; the vertices lie on the grid planes x=0 to x=" +
                           std::to_string(planes[0] - 1) + ", y=0 to y=" +
                           std::to_string(planes[1] - 1) + ", z=0 to z=" +
                           std::to_string(planes[2] - 1) + ", in the world box " +
                           formatBox(model.origin(), gridHi_);
        if (o_.meshCoordinates) {
            const Vec3d offset = meshLo_ * -factor_;
            text += " (mesh coordinates " +
                    formatBox((model.origin() - offset) * (1.0 / factor_),
                              (gridHi_ - offset) * (1.0 / factor_)) +
                    ")";
        }
        return text;
    }

    bool selectFixed() {
        for (const Selection& s : o_.fixes) {
            const std::vector<int> picked = selectVertices(problem_->model(), s);
            if (picked.empty())
                return fail("Selection " + quoted(s.text) + " holds no vertex" + vertexRange());
            for (int v : picked) fixedFlag_[size_t(v)] = 1;
            fixComments_.push_back("fixed: " + s.text + " (" + std::to_string(picked.size()) +
                                   " vertices)");
            out_ << L"Fix " << fromUtf8(quoted(s.text)) << L": " << picked.size()
                 << L" vertices" << std::endl;
        }
        return true;
    }

    bool spreadLoads() {
        for (const LoadSpec& l : o_.loads) {
            const std::vector<int> picked = selectVertices(problem_->model(), l.where);
            if (picked.empty())
                return fail("Selection " + quoted(l.where.text) + " holds no vertex" +
                            vertexRange());
            const double share = 1.0 / double(picked.size());
            // The scene file stores 32-bit floats: a share that rounds to zero or overflows
            // would silently drop the load or make the file unreadable.
            for (double component : {l.total.x, l.total.y, l.total.z}) {
                const float each = float(component * share);
                if (component != 0 && (each == 0 || !std::isfinite(each))) {
                    return fail("The force of load " + quoted(l.where.text) + " over " +
                                std::to_string(picked.size()) +
                                " vertices does not fit 32-bit floats per vertex");
                }
            }
            std::vector<double>& force = forcesOfCase(l.loadCase);
            for (int v : picked) {
                force[3 * size_t(v) + 0] += l.total.x * share;
                force[3 * size_t(v) + 1] += l.total.y * share;
                force[3 * size_t(v) + 2] += l.total.z * share;
            }
            std::ostringstream c;
            c << "load: " << l.total.x << " " << l.total.y << " " << l.total.z
              << " N in all, spread over " << l.where.text << " (" << picked.size()
              << " vertices, " << l.total.x * share << " " << l.total.y * share << " "
              << l.total.z * share << " N each)";
            if (l.loadCase == 1)
                loadComments_.push_back(c.str());
            else
                moreCases_[size_t(l.loadCase - 2)].first.push_back(c.str());
            out_ << L"Load " << fromUtf8(quoted(l.where.text)) << L": " << picked.size()
                 << L" vertices" << std::endl;
            // A fixed vertex does not move whatever force lies on it: that share of the load
            // is lost to the model, which is worth knowing before an optimization run.
            const size_t held = size_t(std::count_if(
                picked.begin(), picked.end(), [&](int v) { return fixedFlag_[size_t(v)]; }));
            if (held > 0) {
                out_ << L"WARNING: " << held << L" of the " << picked.size()
                     << L" vertices of load " << fromUtf8(quoted(l.where.text))
                     << L" are fixed; their share of the force has no effect" << std::endl;
            }
        }
        return true;
    }

    Vec3d centre(size_t e) const {
        const FemModel& model = problem_->model();
        const GridPos p = unpack(model.elementPosition(0)[e]);
        const Vec3d& voxel = model.voxelSize();
        return Vec3d{model.origin().x + (p.x + 0.5) * voxel.x,
                     model.origin().y + (p.y + 0.5) * voxel.y,
                     model.origin().z + (p.z + 0.5) * voxel.z};
    }
    static bool inBox(const Vec3d& c, const SelectionTerm& b) {
        return c.x >= b.lo.x && c.x <= b.hi.x && c.y >= b.lo.y && c.y <= b.hi.y &&
               c.z >= b.lo.z && c.z <= b.hi.z;
    }

    /// A keep box without an element centre would do nothing.
    bool checkKeepBoxes() {
        const FemModel& model = problem_->model();
        const size_t elements = model.elementPosition(0).size();
        for (const auto& [list, name] : {std::pair{&o_.keepSolid, "--keep-solid"},
                                         std::pair{&o_.keepEmpty, "--keep-empty"}})
            for (size_t b = 0; b < list->size(); ++b) {
                bool any = false;
                for (size_t e = 0; e < elements && !any; ++e) any = inBox(centre(e), (*list)[b]);
                if (!any) {
                    const SelectionTerm& box = (*list)[b];
                    const Vec3d half = model.voxelSize() * 0.5;
                    return fail(std::string(name) + " box " + std::to_string(b + 1) + " " +
                                quoted(formatBox(box.lo, box.hi)) +
                                (o_.meshCoordinates ? " (in world coordinates)" : "") +
                                " holds no element centre, so it would do nothing; the element "
                                "centres lie in the world box " +
                                formatBox(model.origin() + half, gridHi_ - half));
                }
            }
        return true;
    }

    /// The FIXED_VERTICES and FORCES lists, the refusals of a scene that holds nothing in
    /// place or has nothing to optimize, and the scene file.
    bool listAndWrite() {
        const FemModel& model = problem_->model();
        std::string fixed, forces;
        int numLoadedFree = 0;
        for (int v = 0; v < model.numVertices(0); ++v) {
            const GridPos p = unpack(model.vertexPosition(0)[size_t(v)]);
            const std::string at =
                std::to_string(p.x) + " " + std::to_string(p.y) + " " + std::to_string(p.z);
            if (fixedFlag_[size_t(v)]) {
                fixed += (fixed.empty() ? "" : "  ") + at;
                ++numFixed_;
            }
            const float f[3] = {float(force_[3 * size_t(v)]), float(force_[3 * size_t(v) + 1]),
                                float(force_[3 * size_t(v) + 2])};
            if (!std::isfinite(f[0]) || !std::isfinite(f[1]) || !std::isfinite(f[2]))
                return fail("The forces of the loads add up beyond 32-bit floats at a vertex");
            if (f[0] != 0 || f[1] != 0 || f[2] != 0) {
                forces += (forces.empty() ? "" : "  ") + at + " " + formatForce(f[0]) + " " +
                          formatForce(f[1]) + " " + formatForce(f[2]);
                ++numLoaded_;
                numLoadedFree += !fixedFlag_[size_t(v)];
            }
        }
        // Nothing holds such a model in place: every solve of a run of it fails.
        if (numFixed_ == 0 && o_.allowUnfixed)
            out_ << L"WARNING: No vertex is fixed; a run of this scene stops at its first step "
                    L"until FIXED_VERTICES holds the model in place"
                 << std::endl;
        if (numFixed_ == 0 && !o_.allowUnfixed)
            return fail("No vertex is fixed, so nothing holds the model in place and its system "
                        "has no solution; give --fix SELECTION (or --allow-unfixed to write the "
                        "scene anyway)");
        // Without a force on a free vertex every design has compliance 0: a run of the scene
        // would have nothing to optimize.
        if (numLoadedFree == 0) {
            const std::string cause = numLoaded_ == 0 ? "no --load is given"
                                                      : "every loaded vertex (" +
                                                            std::to_string(numLoaded_) +
                                                            ") is fixed";
            if (!o_.allowUnloaded)
                return fail("No force acts on a vertex that is not fixed: " + cause +
                            ", so a run of this scene has nothing to optimize; give --load "
                            "SELECTION FX FY FZ on vertices that are not fixed (or "
                            "--allow-unloaded to write the scene anyway, for forces set in the "
                            "window)");
            out_ << L"WARNING: No force acts on a vertex that is not fixed (" << fromUtf8(cause)
                 << L"); a run of this scene is refused until one does" << std::endl;
        }
        // The further cases' lists; each must load a vertex that is not fixed.
        for (size_t c = 0; c < moreForce_.size(); ++c) {
            std::string& list = moreCases_[c].second;
            int free = 0;
            for (int v = 0; v < model.numVertices(0); ++v) {
                const std::vector<double>& force = moreForce_[c];
                const float f[3] = {float(force[3 * size_t(v)]), float(force[3 * size_t(v) + 1]),
                                    float(force[3 * size_t(v) + 2])};
                if (!std::isfinite(f[0]) || !std::isfinite(f[1]) || !std::isfinite(f[2]))
                    return fail("The forces of the loads add up beyond 32-bit floats at a vertex");
                if (f[0] == 0 && f[1] == 0 && f[2] == 0) continue;
                const GridPos p = unpack(model.vertexPosition(0)[size_t(v)]);
                list += (list.empty() ? "" : "  ") + std::to_string(p.x) + " " +
                        std::to_string(p.y) + " " + std::to_string(p.z) + " " +
                        formatForce(f[0]) + " " + formatForce(f[1]) + " " + formatForce(f[2]);
                free += !fixedFlag_[size_t(v)];
            }
            if (free == 0)
                return fail("No force of load case " + std::to_string(c + 2) +
                            " acts on a vertex that is not fixed, so the case has nothing to "
                            "carry; give its --load on vertices that are not fixed");
        }
        std::string error;
        if (!writeTextAtomically(o_.output,
                                 sceneText(o_, meshValue_, fixComments_, fixed, loadComments_,
                                           forces, storedViewLines(scene_), moreCases_),
                                 error))
            return fail("Cannot write file " + quoted(o_.output) + ": " + error);
        return true;
    }

    /// The elements a run holds solid: those at a fixed or loaded vertex, those in keep-solid
    /// boxes.
    void reportHeld() {
        const FemModel& model = problem_->model();
        long long heldAtVertices = 0, heldInBoxes = 0;
        for (size_t e = 0; e < model.elementPosition(0).size(); ++e) {
            const GridPos p = unpack(model.elementPosition(0)[e]);
            bool held = false;
            for (int k = 0; k < 8 && !held; ++k) {
                const int v =
                    model.vertexAt(0, {p.x + (k & 1), p.y + (k >> 1 & 1), p.z + (k >> 2)});
                held = v >= 0 && (fixedFlag_[size_t(v)] || force_[3 * size_t(v)] != 0 ||
                                  force_[3 * size_t(v) + 1] != 0 ||
                                  force_[3 * size_t(v) + 2] != 0);
                for (const std::vector<double>& force : moreForce_)
                    held = held || (v >= 0 && (force[3 * size_t(v)] != 0 ||
                                               force[3 * size_t(v) + 1] != 0 ||
                                               force[3 * size_t(v) + 2] != 0));
            }
            if (held) {
                ++heldAtVertices;
                continue;
            }
            for (const SelectionTerm& b : o_.keepSolid)
                if (inBox(centre(e), b)) {
                    ++heldInBoxes;
                    break;
                }
        }
        out_ << L"Wrote " << fromUtf8(quoted(o_.output)) << L": " << model.numElements(0)
             << L" elements, " << model.numVertices(0) << L" vertices, " << numFixed_
             << L" fixed, " << numLoaded_ << L" loaded; a run holds " << heldAtVertices
             << L" elements solid at fixed or loaded vertices and " << heldInBoxes
             << L" more in keep-solid boxes" << std::endl;
    }

    // Boxes given in the mesh's own coordinates are converted once the map is known; the
    // steps read the options through o_.
    MakeSceneOptions options_;
    const MakeSceneOptions& o_ = options_;
    std::wostream& out_;
    TriangleMesh mesh_;
    Vec3d meshLo_;
    double factor_ = 1.0;
    std::string meshValue_;
    Scene scene_;
    std::unique_ptr<Problem> problem_;
    Vec3d gridHi_;
    std::vector<char> fixedFlag_;
    std::vector<double> force_;
    /// Load cases 2, 3, ...: per vertex 3 force components, and their comments and FORCES
    /// lists.
    std::vector<std::vector<double>> moreForce_;
    std::vector<std::pair<std::vector<std::string>, std::string>> moreCases_;
    /// The forces of load case `c` (1 for force_), sized for the model.
    std::vector<double>& forcesOfCase(int c) {
        if (c == 1) return force_;
        if (moreForce_.size() < size_t(c - 1)) {
            moreForce_.resize(size_t(c - 1), std::vector<double>(force_.size(), 0.0));
            moreCases_.resize(size_t(c - 1));
        }
        return moreForce_[size_t(c - 2)];
    }
    std::vector<std::string> fixComments_, loadComments_;
    int numFixed_ = 0, numLoaded_ = 0;
};

}  // namespace

int makeScene(const MakeSceneOptions& options, std::wostream& out) {
    return SceneMaking(options, out).run();
}

}  // namespace ostrel
