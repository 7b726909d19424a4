// The rendering toolkit without a GPU: geometry generators, the instance-buffer rule, the line
// drawer's batches, file extensions, the effect wrapper's error reports, the effect parser and
// input-layout resolution.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <tuple>

#include "core/Console.h"
#include "render/toolkit/Effect.h"
#include "render/toolkit/Geometry.h"
#include "render/toolkit/InstanceBuffer.h"
#include "render/toolkit/SimpleDrawer.h"

namespace {

using namespace ostrel::gl;
using ostrel::Vec3f;

/// Signed volume of a triangle soup (positive when wound counter-clockwise from outside).
double signedVolume(const std::vector<Vec3f>& p, const std::vector<std::uint32_t>& idx) {
    double v = 0;
    for (size_t t = 0; t + 2 < idx.size(); t += 3)
        v += dot(p[idx[t]], cross(p[idx[t + 1]], p[idx[t + 2]])) / 6.0;
    return v;
}

/// True when every directed edge (between welded positions) is matched by its reverse exactly
/// once: the surface is closed and consistently wound.
bool closedAndConsistent(const std::vector<Vec3f>& p, const std::vector<std::uint32_t>& idx) {
    std::map<std::tuple<float, float, float>, int> weld;
    std::vector<int> id(p.size());
    for (size_t i = 0; i < p.size(); ++i)
        id[i] = weld.emplace(std::make_tuple(p[i].x, p[i].y, p[i].z), int(weld.size())).first->second;
    std::map<std::pair<int, int>, int> edges;
    for (size_t t = 0; t + 2 < idx.size(); t += 3)
        for (int k = 0; k < 3; ++k) {
            const int a = id[idx[t + k]], b = id[idx[t + (k + 1) % 3]];
            if (a == b) continue;  // the tip's own degenerate edges do not occur; be safe
            ++edges[{a, b}];
        }
    for (const auto& [e, n] : edges) {
        auto r = edges.find({e.second, e.first});
        if (n != 1 || r == edges.end() || r->second != 1) return false;
    }
    return true;
}

TEST(Arrow, ThirtyTwoSegmentsGiveTheDesignCountsAndAClosedOutwardSolid) {
    Arrow<VPN> arrow(32, 0.1f, 0.2f, 0.6f, 0.4f);
    std::vector<VPN> v;
    std::vector<std::uint32_t> idx;
    arrow.getVertices(v);
    arrow.getIndices(idx);
    ASSERT_EQ(v.size(), 225u);
    ASSERT_EQ(idx.size(), 576u);
    EXPECT_EQ(arrow.getTopology(), kTriangleList);
    for (auto i : idx) EXPECT_LT(i, 225u);
    std::vector<Vec3f> p;
    for (const auto& x : v) p.push_back(x.position);
    EXPECT_TRUE(closedAndConsistent(p, idx));
    // Shaft cylinder plus cone: pi r^2 l + pi R^2 h / 3, approximated by 32-gons.
    const double exact = 3.14159265 * (0.01 * 0.6 + 0.04 * 0.4 / 3);
    EXPECT_GT(signedVolume(p, idx), 0.97 * exact);
    EXPECT_LT(signedVolume(p, idx), exact);
    EXPECT_FLOAT_EQ(v[224].position.z, 1.0f);  // the last tip
    // Every triangle's normal agrees with its vertices' normals (wound outward).
    for (size_t t = 0; t < idx.size(); t += 3) {
        const Vec3f n = cross(p[idx[t + 1]] - p[idx[t]], p[idx[t + 2]] - p[idx[t]]);
        EXPECT_GT(dot(n, v[idx[t]].normal), 0) << "triangle " << t / 3;
    }
}

TEST(UnitPlane, OneSidedAndTwoSided) {
    std::vector<VPN> v;
    std::vector<std::uint32_t> idx{1};
    UnitPlane<VPN>(false).getVertices(v);
    UnitPlane<VPN>(false).getIndices(idx);
    EXPECT_EQ(v.size(), 6u);
    EXPECT_TRUE(idx.empty());
    for (const auto& x : v) EXPECT_EQ(x.normal, Vec3f(0, 0, 1));
    UnitPlane<VPN>(true).getVertices(v);
    ASSERT_EQ(v.size(), 12u);
    for (size_t i = 6; i < 12; ++i) EXPECT_EQ(v[i].normal, Vec3f(0, 0, -1));
    // Each face is wound counter-clockwise seen from its normal's side.
    for (size_t t = 0; t < 12; t += 3) {
        const Vec3f n = cross(v[t + 1].position - v[t].position, v[t + 2].position - v[t].position);
        EXPECT_GT(dot(n, v[t].normal), 0);
    }
}

TEST(MeshGenerator, OneVertexPerMeshVertexAndTheTriangleCorners) {
    ostrel::TriangleMesh m;
    m.vertices = {{{0, 0, 0}, {0, 0, 1}}, {{1, 0, 0}, {0, 0, 1}}, {{0, 1, 0}, {0, 0, 1}}};
    m.triangles = {{{0, 1, 2}, {}}, {{2, 1, 0}, {}}};
    std::vector<VPN> v;
    std::vector<std::uint32_t> idx;
    Mesh<VPN>(&m).getVertices(v);
    Mesh<VPN>(&m).getIndices(idx);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[1].position, Vec3f(1, 0, 0));
    EXPECT_EQ(idx, (std::vector<std::uint32_t>{0, 1, 2, 2, 1, 0}));
}

TEST(InstanceBufferRule, GrowsAndShrinksInStepsAboveTheMinimum) {
    struct Case {
        std::uint32_t capacity, count, expected;
    };
    const Case cases[] = {
        {100000, 100001, 150000}, {150000, 10, 100000},   {200000, 120000, 200000},
        {100000, 100000, 100000}, {100000, 0, 100000},    {100000, 99999, 100000},
        {150000, 100000, 150000}, {200000, 100000, 150000}, {100000, 250001, 300000},
        {300000, 249999, 300000}, {300000, 200000, 250000}, {100000, 4000000000u, 4000000000u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(instanceCapacity(c.capacity, c.count), c.expected)
            << c.capacity << " asked for " << c.count;
}

TEST(VertexBatch, FlushPointsOfEveryMode) {
    struct Case {
        int mode;
        unsigned added;
        std::vector<unsigned> flushes;  // pending counts handed to the flush
        unsigned pendingAfter;
    };
    const Case cases[] = {
        {kPointList, 1024, {1024}, 0},
        {kPointList, 2049, {1024, 1024}, 1},
        {kLineList, 1023, {}, 1023},
        {kLineList, 1024, {1024}, 0},
        {kLineList, 2048, {1024, 1024}, 0},
        {kLineStrip, 1024, {1024}, 1},
        {kLineStrip, 2047, {1024, 1024}, 1},
        {kTriangleList, 1021, {}, 1021},
        {kTriangleList, 1023, {1023}, 0},
        {kTriangleStrip, 1024, {1024}, 2},
        {kTriangleStrip, 2046, {1024, 1024}, 2},
    };
    for (const auto& c : cases) {
        VertexBatch batch(1024);
        batch.setMode(c.mode);
        std::vector<unsigned> flushes;
        for (unsigned i = 0; i < c.added; ++i)
            batch.add({Vec3f(float(i), 0, 0), {1, 1, 1, 1}}, [&](unsigned n) { flushes.push_back(n); });
        EXPECT_EQ(flushes, c.flushes) << "mode " << c.mode << ", " << c.added << " vertices";
        EXPECT_EQ(batch.pending(), c.pendingAfter) << "mode " << c.mode;
    }
}

TEST(VertexBatch, LineListFirstFlushAtThe1024thVertexAndOddCountsNeverFlush) {
    VertexBatch batch(1024);
    batch.setMode(kLineList);
    unsigned firstFlushAt = 0, added = 0;
    for (; added < 1024; ++added)
        batch.add({}, [&](unsigned) {
            if (!firstFlushAt) firstFlushAt = added + 1;
            EXPECT_EQ((added + 1) % 2, 0u);
        });
    EXPECT_EQ(firstFlushAt, 1024u);
}

TEST(VertexBatch, StripsCarryTheirLastVerticesIntoTheNextBatch) {
    VertexBatch batch(4);
    batch.setMode(kTriangleStrip);
    for (int i = 0; i < 4; ++i) batch.add({Vec3f(float(i), 0, 0), {}}, [](unsigned) {});
    ASSERT_EQ(batch.pending(), 2u);
    EXPECT_EQ(batch.data()[0].position.x, 2.0f);
    EXPECT_EQ(batch.data()[1].position.x, 3.0f);
    VertexBatch small(1);  // never below 3
    EXPECT_EQ(small.capacity(), 3u);
}

TEST(FileExtension, TheTextAfterTheLastDotOfTheFileName) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"effect.Fx", L"FX"},         {L"effect.CSO", L"CSO"}, {L"effect", L""},
        {L"old.dir\\effect", L""},    {L"old.dir/effect", L""}, {L"a.b.fx", L"FX"},
        {L"dir\\effect.cso", L"CSO"}, {L"effect.", L""},
    };
    for (const auto& [name, ext] : cases) EXPECT_EQ(fileExtension(name), ext) << ostrel::toUtf8(name);
}

// ---- error reports ----

std::vector<std::pair<std::wstring, std::wstring>> g_boxes;
void recordBox(const std::wstring& caption, const std::wstring& text) { g_boxes.emplace_back(caption, text); }

/// A file next to the test executable, removed at the end of the test.
class ExeDirFile {
public:
    ExeDirFile(const std::string& name, const std::string& content)
        : path_(ostrel::toUtf8(executableDirectory()) + name) {
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~ExeDirFile() { std::remove(path_.c_str()); }

private:
    std::string path_;
};

struct Report {
    std::string stderrText;
    LoadStatus status;
};
Report load(const std::wstring& name) {
    Effect e(name);
    ::testing::internal::CaptureStderr();
    const LoadStatus status = e.load();
    return {::testing::internal::GetCapturedStderr(), status};
}

TEST(EffectLoad, ErrorsOfTheLoadWithTheirCaptionsAndTexts) {
    const std::string dir = ostrel::toUtf8(executableDirectory());
    const std::string pid = std::to_string(getpid());
    const std::string missingFx = "missing" + pid + ".Fx", missingCso = "missing" + pid + ".CSO";
    Report r = load(ostrel::fromUtf8(missingFx));
    EXPECT_EQ(r.stderrText, "Effect Error (" + missingFx + ")\nEffect file \"" + dir + missingFx +
                                "\" not found\n");
    EXPECT_EQ(r.status, LoadStatus::FileNotFound);

    r = load(ostrel::fromUtf8(missingCso));
    EXPECT_EQ(r.stderrText, "Effect Error (" + missingCso + ")\nEffect file \"" + dir + missingCso +
                                "\" could not be loaded\n");
    EXPECT_EQ(r.status, LoadStatus::Failed);

    for (const wchar_t* name : {L"effect", L"old.dir\\effect", L"effect.hlsl"}) {
        r = load(name);
        const std::string shortName = name == std::wstring(L"old.dir\\effect") ? "effect" : ostrel::toUtf8(name);
        EXPECT_EQ(r.stderrText, "Effect Error (" + shortName + ")\nUnknown file extension\n");
        EXPECT_EQ(r.status, LoadStatus::Failed);
    }

    const std::string damaged = "damaged" + pid + ".cso";
    ExeDirFile file(damaged, "OSTREL-EFFECT 1\n5 123\nhello");
    r = load(ostrel::fromUtf8(damaged));
    EXPECT_EQ(r.stderrText, "Effect Error (" + damaged + ")\nEffect could not be created\n");
    EXPECT_EQ(r.status, LoadStatus::Failed);
}

TEST(EffectLoad, AnFxFileThatDoesNotParseReportsTheParserLine) {
    const std::string name = "broken" + std::to_string(getpid()) + ".fx";
    ExeDirFile file(name, "variable matrix g_mA\n\nvariable colour g_vB\n");
    const Report r = load(ostrel::fromUtf8(name));
    EXPECT_EQ(r.stderrText, "Effect Error (" + name + ")\n" + name + "(3): unknown variable kind \"colour\"\n");
    EXPECT_EQ(r.status, LoadStatus::Failed);
}

TEST(EffectLookup, EachMissingNameHasItsCaptionAndText) {
    Effect e(L"some.cso");  // never loaded: every lookup fails
    EffectTechnique* t = nullptr;
    EffectPass* p = nullptr;
    EffectVariable* v = nullptr;
    const std::string caption = "Effect Compile Error (some.cso)\n";
    struct Case {
        std::function<bool()> call;
        std::string text;
    };
    const Case cases[] = {
        {[&] { return e.getTechnique("CutSceneRenderer", t); }, "Technique \"CutSceneRenderer\" not found"},
        {[&] { return e.getPass(nullptr, "RenderMesh", p); }, "Pass \"RenderMesh\" not found"},
        {[&] { return e.getScalar("g_fFogDensity", v); }, "Scalar variable \"g_fFogDensity\" not found"},
        {[&] { return e.getVector("g_vFogColor", v); }, "Vector variable \"g_vFogColor\" not found"},
        {[&] { return e.getMatrix("g_mWorld", v); }, "Matrix variable \"g_mWorld\" not found"},
        {[&] { return e.getShaderResource("g_txShadowMap", v); },
         "Shader resource variable \"g_txShadowMap\" not found"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(c.call());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), caption + c.text + "\n");
    }
}

TEST(EffectErrors, TheErrorBoxShowsOnlyOnceLoadTurnedItOn) {
    g_boxes.clear();
    Effect e(L"nothing.fx.txt");
    e.setErrorBoxHook(recordBox);
    EffectTechnique* t = nullptr;
    ::testing::internal::CaptureStderr();
    e.getTechnique("T", t);  // before Load: standard error only
    EXPECT_TRUE(g_boxes.empty());
    e.load();  // unknown extension, now with the box
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].first, L"Effect Error (nothing.fx.txt)");
    EXPECT_EQ(g_boxes[0].second, L"Unknown file extension");
    e.setShowErrorBoxes(false);
    ::testing::internal::CaptureStderr();
    e.getTechnique("T", t);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_boxes.size(), 1u);
    // The hook belongs to the effect: another effect shows no box.
    Effect other(L"nothing.fx.txt");
    ::testing::internal::CaptureStderr();
    other.load();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_boxes.size(), 1u);
}

// ---- the effect file format ----

TEST(EffectParser, BrokenFilesReportTheirLine) {
    const std::string shaders = "glsl vertex V\nvoid main() {}\nend\nglsl fragment F\nvoid main() {}\nend\n";
    const std::pair<std::string, std::string> cases[] = {
        {"variable matrix\n", "x.fx(1): \"variable\" takes a kind and a name"},
        {"// c\nvariable colour g_a\n", "x.fx(2): unknown variable kind \"colour\""},
        {"variable scalar 1abc\n", "x.fx(1): invalid variable name \"1abc\""},
        {"variable scalar g_a\nvariable vector g_a\n", "x.fx(2): variable \"g_a\" declared twice"},
        {"variable texture g_t\n", "x.fx(1): a texture variable takes a name and a sampler type"},
        {"variable texture g_t vec4\n", "x.fx(1): \"vec4\" is not a sampler type"},
        {"glsl vertex V\nvoid main() {}\n", "x.fx(1): glsl block without \"end\""},
        {"glsl geometry G\nend\n",
         "x.fx(1): expected \"glsl common\", \"glsl common fragment\", \"glsl vertex NAME\" or \"glsl fragment NAME\""},
        {"pass P\n", "x.fx(1): \"pass\" outside a technique"},
        {"fill solid\n", "x.fx(1): unexpected \"fill\""},
        {shaders + "technique T\npass P\n  fill dotted\n", "x.fx(9): unknown value \"dotted\" for \"fill\""},
        {shaders + "technique T\npass P\n  colour red\n", "x.fx(9): unknown pass setting \"colour\""},
        {shaders + "technique T\npass P\n  offset 1\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  offset inf 1\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  offset 1 nan\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  offset 0x10 1\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  offset 1e39 1\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  offset 1,5 2\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  offset 1.5x 2\n", "x.fx(9): \"offset\" takes two numbers or \"off\""},
        {shaders + "technique T\npass P\n  vertex V\n", "x.fx(8): pass \"P\" needs both a vertex and a fragment shader"},
        {shaders + "technique T\npass P\n  vertex W\n  fragment F\n", "x.fx(8): vertex shader \"W\" not declared"},
        {shaders + "technique T\npass P\npass P\n", "x.fx(9): pass \"P\" declared twice"},
        {shaders + "technique T\n", "x.fx(7): technique \"T\" has no pass"},
        {shaders + "technique T\npass P\ntechnique U\n", "x.fx(9): technique \"U\" has no pass"},
        {shaders, "x.fx(6): the effect declares no technique"},
        {shaders + "technique T\npass P\nvariable scalar g_late\n", "x.fx(9): variables must come before the techniques"},
    };
    for (const auto& [text, error] : cases) {
        EffectDescription d;
        std::string e;
        EXPECT_FALSE(parseEffect(text, "x.fx", d, e)) << text;
        EXPECT_EQ(e, error) << text;
    }
}

TEST(EffectParser, ReadsVariablesShadersPassesAndTheirState) {
    const std::string text =
        "// comment\nvariable matrix g_mA\nvariable texture g_tx sampler2DShadow\n"
        "glsl common\nfloat f() { return 1.0; }\nend\n"
        "glsl vertex V\nvoid main() { gl_Position = g_mA * vec4(f()); }\nend\n"
        "glsl fragment F\nvoid main() {}\nend\n"
        "technique T\npass State\n  fill wireframe\npass Draw\n  vertex V\n  fragment F\n"
        "  depth off\n  blend premultiplied\n  offset 1.5 8\n";
    EffectDescription d;
    std::string e;
    ASSERT_TRUE(parseEffect(text, "x.fx", d, e)) << e;
    ASSERT_EQ(d.variables.size(), 2u);
    EXPECT_EQ(d.variables[1].samplerType, "sampler2DShadow");
    ASSERT_EQ(d.techniques.size(), 1u);
    const auto& passes = d.techniques[0].passes;
    ASSERT_EQ(passes.size(), 2u);
    EXPECT_EQ(passes[0].state.fill, FillMode::WireFrame);
    EXPECT_FALSE(passes[0].state.depthTest.has_value());
    EXPECT_EQ(passes[1].state.depthTest, false);
    EXPECT_EQ(passes[1].state.blend, BlendMode::Premultiplied);
    EXPECT_EQ(passes[1].state.polygonOffset, std::make_pair(1.5f, 8.0f));
    int prefix = 0;
    const std::string source = assembleShader(d, *d.findShader("V", true), &prefix);
    EXPECT_EQ(source.rfind("#version 330 core\nuniform mat4 g_mA;\nuniform sampler2DShadow g_tx;\n", 0), 0u);
    EXPECT_NE(source.find("#line 8\nvoid main()"), std::string::npos);
    EXPECT_EQ(prefix, 3);
}

TEST(EffectPacking, RoundTripsAndDetectsDamage) {
    const std::string text = "technique T\npass P\n  fill solid\n";
    std::string back;
    const std::string packed = packEffect(text);
    ASSERT_TRUE(unpackEffect(packed, back));
    EXPECT_EQ(back, text);
    std::string damaged = packed;
    damaged.back() = 'x';
    EXPECT_FALSE(unpackEffect(damaged, back));
    EXPECT_FALSE(unpackEffect(packed.substr(0, packed.size() - 1), back));
    EXPECT_FALSE(unpackEffect("technique T\n", back));
}

TEST(EffectPacking, TheBuiltEffectsSitNextToTheExecutable) {
    for (const char* name : {"cutscenerenderer.cso", "simpledraw.cso"}) {
        std::ifstream in(ostrel::toUtf8(executableDirectory()) + name, std::ios::binary);
        ASSERT_TRUE(in) << name;
        std::stringstream s;
        s << in.rdbuf();
        std::string text;
        EXPECT_TRUE(unpackEffect(s.str(), text)) << name;
        EffectDescription d;
        std::string e;
        EXPECT_TRUE(parseEffect(text, name, d, e)) << e;
    }
}

// ---- input layouts ----

TEST(InputLayoutResolution, ElementsFeedTheInputsByNameWithMatrixRows) {
    const std::vector<ShaderInput> inputs = {{"POSITION", GL_FLOAT_VEC3, 0, 1, false},
                                             {"VERTEX", GL_INT, 1, 1, true},
                                             {"WORLD_VIEW", GL_FLOAT_MAT4, 2, 4, false}};
    std::vector<InputElementDesc> e = {
        {"POSITION", 0, Format::R32G32B32_FLOAT, 0, 0, false, 0},
        {"NORMAL", 0, Format::R32G32B32_FLOAT, 0, kAppendAligned, false, 0},
        {"VERTEX", 0, Format::R32_SINT, 1, 0, true, 1},
        {"WORLD_VIEW", 0, Format::R32G32B32A32_FLOAT, 2, 0, true, 1},
        {"WORLD_VIEW", 1, Format::R32G32B32A32_FLOAT, 2, kAppendAligned, true, 1},
        {"WORLD_VIEW", 2, Format::R32G32B32A32_FLOAT, 2, kAppendAligned, true, 1},
        {"WORLD_VIEW", 3, Format::R32G32B32A32_FLOAT, 2, kAppendAligned, true, 1}};
    std::vector<InputLayout::Attribute> out;
    std::string why;
    ASSERT_TRUE(resolveInputLayout(inputs, e.data(), unsigned(e.size()), out, why)) << why;
    ASSERT_EQ(out.size(), 6u);  // NORMAL feeds nothing here and is ignored
    EXPECT_EQ(out[1].location, 1u);
    EXPECT_TRUE(out[1].integer);
    EXPECT_EQ(out[1].divisor, 1u);
    EXPECT_EQ(out[5].location, 5u);
    EXPECT_EQ(out[5].offset, 48u);
    EXPECT_EQ(out[0].divisor, 0u);

    // A missing matrix row, a missing input and a float element for an integer input fail.
    auto missingRow = e;
    missingRow.pop_back();
    EXPECT_FALSE(resolveInputLayout(inputs, missingRow.data(), unsigned(missingRow.size()), out, why));
    EXPECT_EQ(why, "the pass's input \"WORLD_VIEW\" is not fed by the layout");
    EXPECT_FALSE(resolveInputLayout(inputs, e.data(), 2, out, why));
    auto wrongType = e;
    wrongType[2].format = Format::R32G32B32_FLOAT;
    EXPECT_FALSE(resolveInputLayout(inputs, wrongType.data(), unsigned(wrongType.size()), out, why));
}

}  // namespace
