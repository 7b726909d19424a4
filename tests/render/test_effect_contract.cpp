// The effect build step's checks without a GPU: what the renderer asks of an effect (technique,
// passes, variables and their kinds) and the interface between each pass's vertex and fragment
// shaders, over tables of broken effects with their exact messages; the program's own effect
// files pass; and ostrel-effectc itself fails on broken files without writing the packed file.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "render/CutSceneRendererContract.h"
#include "render/toolkit/EffectContract.h"
#include "support/ScratchFolder.h"

namespace ostrel {
namespace {

using namespace ostrel::gl;

EffectDescription parsed(const std::string& text) {
    EffectDescription d;
    std::string error;
    EXPECT_TRUE(parseEffect(text, "x.fx", d, error)) << error;
    return d;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Line 1-2 the variables, the vertex shader from line 4, the fragment shader after it.
std::string twoStageEffect(const std::string& vertexBody, const std::string& fragmentBody) {
    return "variable matrix g_mA\nvariable scalar g_fB\n"
           "glsl vertex V\n" + vertexBody + "end\n"
           "glsl fragment F\n" + fragmentBody + "end\n"
           "technique T\npass State\n  fill solid\npass Draw\n  vertex V\n  fragment F\n";
}

struct InterfaceCase {
    const char* name;
    std::string vertex, fragment;
    std::vector<std::string> errors;
};

class StageInterfaces : public ::testing::TestWithParam<InterfaceCase> {};

TEST_P(StageInterfaces, EveryFragmentInputIsWrittenByTheVertexShader) {
    const InterfaceCase& c = GetParam();
    std::vector<std::string> errors;
    EXPECT_EQ(checkStageInterfaces(parsed(twoStageEffect(c.vertex, c.fragment)), "x.fx", errors),
              c.errors.empty());
    EXPECT_EQ(errors, c.errors);
}

const std::string kVs =
    "in vec3 POSITION;\nout vec3 vA;\nflat out int vB;\n"
    "void main() {\n  vA = POSITION;\n  vB = 1;\n  gl_Position = vec4(POSITION, 1.0);\n}\n";
const std::string kFsHead = "in vec3 vA;\nflat in int vB;\n";
const std::string kFsMain = "layout(location = 0) out vec4 c;\nvoid main() { c = vec4(vA, vB); }\n";
// The fragment shader starts on line 14: after the vertex shader's 8 lines from line 4, "end"
// and "glsl fragment F".
constexpr const char* kNotAnOutput =
    "x.fx(16): pass \"Draw\": input \"vC\" of fragment shader \"F\" is not an output of vertex "
    "shader \"V\"";

INSTANTIATE_TEST_SUITE_P(
    EffectContract, StageInterfaces,
    ::testing::Values(
        InterfaceCase{"matching", kVs, kFsHead + kFsMain, {}},
        InterfaceCase{"fewer_inputs_than_outputs", kVs, "in vec3 vA;\n" + kFsMain, {}},
        InterfaceCase{"not_declared", kVs, kFsHead + "in vec2 vC;\n" + kFsMain, {kNotAnOutput}},
        InterfaceCase{"other_type",
                      kVs,
                      "in vec4 vA;\nflat in int vB;\n" + kFsMain,
                      {"x.fx(14): pass \"Draw\": input \"vA\" of fragment shader \"F\" is a vec4 "
                       "but vertex shader \"V\" writes a vec3 (line 5)"}},
        InterfaceCase{"flat_only_in_the_fragment_shader",
                      kVs,
                      "flat in vec3 vA;\nflat in int vB;\n" + kFsMain,
                      {"x.fx(14): pass \"Draw\": input \"vA\" of fragment shader \"F\" is flat "
                       "but the output of vertex shader \"V\" is not (line 5)"}},
        InterfaceCase{"declared_but_never_written",
                      "in vec3 POSITION;\nout vec3 vA;\nflat out int vB;\n"
                      "void main() {\n  // vA = POSITION;\n  vB = 1;\n  if (vA == POSITION) "
                      "vB = 2;\n}\n",
                      kFsHead + kFsMain,
                      {"x.fx(14): pass \"Draw\": input \"vA\" of fragment shader \"F\" is never "
                       "written by vertex shader \"V\" (declared on line 5)"}},
        InterfaceCase{"written_through_a_swizzle_and_an_index",
                      "out vec3 vA;\nflat out int vB[2];\nvoid main() {\n  vA.xy = vec2(1.0);\n"
                      "  vB[1] += 1;\n}\n\n\n",
                      "in vec3 vA;\nflat in int vB[2];\n" + kFsMain,
                      {}},
        InterfaceCase{"several_names_in_one_declaration",
                      "out vec3 vA, vC;\nflat out int vB;\n"
                      "void main() {\n  vA = vec3(0.0);\n  vC = vA;\n  vB = 0;\n}\n\n",
                      kFsHead + "in vec3 vC;\n" + kFsMain,
                      {}},
        InterfaceCase{"commented_declarations_do_not_count",
                      kVs,
                      kFsHead + "/* in vec2 vD; */ // in vec2 vE;\nin vec2 vC;\n" + kFsMain,
                      {"x.fx(17): pass \"Draw\": input \"vC\" of fragment shader \"F\" is not an "
                       "output of vertex shader \"V\""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StageInterfaces, InputsOfTheCommonFragmentBlockCountWithTheirLine) {
    const std::string text =
        "glsl common fragment\nin vec3 vShared;\nend\n"
        "glsl vertex V\nout vec3 vA;\nvoid main() { vA = vec3(0.0); }\nend\n"
        "glsl fragment F\nin vec3 vA;\nvoid main() {}\nend\n"
        "technique T\npass Draw\n  vertex V\n  fragment F\n";
    std::vector<std::string> errors;
    EXPECT_FALSE(checkStageInterfaces(parsed(text), "x.fx", errors));
    EXPECT_EQ(errors, std::vector<std::string>{
                          "x.fx(2): pass \"Draw\": input \"vShared\" of fragment shader \"F\" is "
                          "not an output of vertex shader \"V\""});
    // A function's out parameter is no stage output.
    const std::vector<StageVariable> outs = stageVariables(
        parsed("glsl vertex V\nvec3 f(out vec3 o) { o = vec3(1.0); return o; }\n"
               "layout(location = 0) out vec3 vA;\nvoid main() { vA = f(vA); }\nend\n"
               "glsl fragment F\nvoid main() {}\nend\ntechnique T\npass P\n  vertex V\n"
               "  fragment F\n"),
        ShaderSource{"V", true, "vec3 f(out vec3 o) { o = vec3(1.0); return o; }\n"
                                "layout(location = 0) out vec3 vA;\nvoid main() {}\n", 2},
        true);
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_EQ(outs[0].name, "vA");
    EXPECT_EQ(outs[0].type, "vec3");
    EXPECT_EQ(outs[0].line, 3);
}

struct ContractCase {
    const char* name;
    std::string text;
    std::vector<std::string> errors;
};

class Contracts : public ::testing::TestWithParam<ContractCase> {};

const EffectContract kContract{
    "T", {"State", "Draw"}, {{"g_mA", VariableKind::Matrix}, {"g_fB", VariableKind::Scalar}}};
const std::string kShaders =
    "glsl vertex V\nvoid main() {}\nend\nglsl fragment F\nvoid main() {}\nend\n";

TEST_P(Contracts, TheRendererFindsEveryNameItAsksFor) {
    const ContractCase& c = GetParam();
    std::vector<std::string> errors;
    EXPECT_EQ(checkEffectContract(parsed(c.text), kContract, "x.fx", errors), c.errors.empty());
    EXPECT_EQ(errors, c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    EffectContract, Contracts,
    ::testing::Values(
        ContractCase{"complete", twoStageEffect("void main() {}\n", "void main() {}\n"), {}},
        ContractCase{"technique_missing",
                     "variable matrix g_mA\nvariable scalar g_fB\n" + kShaders +
                         "technique Other\npass State\n",
                     {"x.fx(9): technique \"T\" is not declared"}},
        ContractCase{"passes_missing",
                     "variable matrix g_mA\nvariable scalar g_fB\n" + kShaders +
                         "technique T\npass Drew\n",
                     {"x.fx(9): technique \"T\" has no pass \"State\"",
                      "x.fx(9): technique \"T\" has no pass \"Draw\""}},
        ContractCase{"variable_missing_and_of_another_kind",
                     "variable vector g_mA\n" + kShaders + "technique T\npass State\npass Draw\n",
                     {"x.fx(1): variable \"g_mA\" is a vector, not a matrix",
                      "x.fx(1): scalar variable \"g_fB\" is not declared"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EffectContract, TheProgramsEffectFilesKeepTheirContracts) {
    const std::pair<const char*, const EffectContract*> effects[] = {
        {"cutscenerenderer.fx", &cutSceneRendererContract()},
        {"simpledraw.fx", &simpleDrawContract()}};
    for (const auto& [file, contract] : effects) {
        const std::string text = readFile(std::filesystem::path(OSTREL_EFFECT_SOURCE_DIR) / file);
        EffectDescription d;
        std::string error;
        ASSERT_TRUE(parseEffect(text, file, d, error)) << error;
        std::vector<std::string> errors;
        EXPECT_TRUE(checkEffectContract(d, *contract, file, errors)) << errors.front();
        EXPECT_TRUE(checkStageInterfaces(d, file, errors)) << errors.front();
    }
    EXPECT_EQ(cutSceneRendererContract().passes.size(), 15u);
    EXPECT_EQ(cutSceneRendererContract().variables.size(), 22u);
}

/// Runs ostrel-effectc; its exit status, standard error in `err`.
int runCompiler(const std::string& arguments, std::string& err) {
    const std::string command = std::string("'") + OSTREL_EFFECTC + "' " + arguments + " 2>&1";
    std::FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), p)) > 0;) err.append(buffer, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(EffectCompiler, BrokenEffectFilesFailTheBuildWithFileAndLine) {
    testing::ScratchFolder folder("effectc");
    const std::string source =
        readFile(std::filesystem::path(OSTREL_EFFECT_SOURCE_DIR) / "cutscenerenderer.fx");
    struct Case {
        const char* name;
        std::string from, to;
        std::string error;
    };
    // Each breaks the renderer's effect in one place.
    const Case cases[] = {
        {"pass_renamed", "pass RenderForceArrows\n", "pass RenderForceArrow\n",
         "technique \"CutSceneRenderer\" has no pass \"RenderForceArrows\""},
        {"technique_renamed", "technique CutSceneRenderer\n", "technique Cut\n",
         "technique \"CutSceneRenderer\" is not declared"},
        {"output_never_written", "    vPosWorld = (g_mWorld * vec4(POSITION, 1.0)).xyz;\n    vCut",
         "    vCut",
         "input \"vPosWorld\" of fragment shader \"CutMeshClipShadowFS\" is never written by "
         "vertex shader \"CutMeshVS\""},
    };
    for (const Case& c : cases) {
        std::string text = source;
        const size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos) << c.name;
        text.replace(at, c.from.size(), c.to);
        const auto fx = folder / "cutscenerenderer.fx";
        const auto cso = folder / "cutscenerenderer.cso";
        std::ofstream(fx, std::ios::binary) << text;
        std::string err;
        // The validator "true" passes every shader (and is quick): only the checks can fail.
        EXPECT_EQ(runCompiler("--contract cutscenerenderer true '" + fx.string() + "' '" +
                                  cso.string() + "'",
                              err),
                  1)
            << c.name;
        EXPECT_NE(err.find("ERROR: cutscenerenderer.fx("), std::string::npos) << c.name << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << c.name << err;
        EXPECT_FALSE(std::filesystem::exists(cso)) << c.name;
    }
    // The unbroken effect packs; an unknown contract is a wrong command line.
    const auto fx = folder / "cutscenerenderer.fx";
    std::ofstream(fx, std::ios::binary) << source;
    std::string err;
    EXPECT_EQ(runCompiler("--contract cutscenerenderer " + std::string(OSTREL_GLSLANG) + " '" +
                              fx.string() + "' '" + (folder / "ok.cso").string() + "'",
                          err),
              0)
        << err;
    EXPECT_TRUE(std::filesystem::exists(folder / "ok.cso"));
    err.clear();
    EXPECT_EQ(runCompiler("--contract nothing x.fx y.fx z.cso", err), 2);
    EXPECT_EQ(err.rfind("ERROR: no effect contract \"nothing\"\n", 0), 0u) << err;
}

}  // namespace
}  // namespace ostrel
