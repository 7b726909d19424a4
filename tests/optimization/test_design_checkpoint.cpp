// The checkpoint value's bytes: every field comes back, and bytes that do not hold a whole,
// consistent checkpoint are refused.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "optimization/DesignCheckpoint.h"

namespace ostrel {
namespace {

DesignCheckpoint sample(int projection) {
    DesignCheckpoint c;
    c.projection = projection;
    c.volumeReductionGoal = 0.64;
    c.volumeTarget = 0.7;
    c.beta = 4;
    c.rhoBeta = 2;
    c.lastMultiplier = 1e-3;
    c.lastStrainEnergy = 5.5;
    c.lastVolumeRatio = 0.71;
    c.lastSharpness = 0.3;
    c.lastDesignChange = 0.1;
    c.lastSearchPasses = 5;
    c.energy = 5.25;
    c.volume = 300.5;
    c.sharpnessSum = 12;
    c.caseCompliances = {1, 2};
    c.betaCounter = 7;
    c.referenceEnergy = 9;
    c.firstEnergyEvaluation = false;
    c.iteration = 11;
    c.totalSolveSeconds = 1.5;
    c.totalOptimizeSeconds = 0.5;
    const size_t n = 4, p = projection ? n : 0;
    c.x = {0.1f, 0.2f, 0.3f, 0.4f};
    c.rho = {0.5f, 0.6f, 0.7f, 0.8f};
    c.xTilde.assign(p, 0.25f);
    c.xTilde0.assign(n, 0.35f);
    c.moves.assign(p, 0.05f);
    c.lastChange.assign(p, -0.01f);
    c.W.assign(n, 3.0);
    c.q.assign(n, 1e-6);
    c.history = {"1\n2\n", "", "3\n"};
    c.displacements = {std::vector<double>(6, 0.5), std::vector<double>(6, -0.5)};
    c.solved = {1, 0};
    return c;
}

std::string bytesOf(const DesignCheckpoint& c) {
    ByteWriter w;
    encodeCheckpoint(c, w);
    return w.take();
}

TEST(DesignCheckpoint, EveryFieldComesBack) {
    for (int projection : {0, 1}) {
        const std::string bytes = bytesOf(sample(projection));
        ByteReader r(bytes);
        DesignCheckpoint back;
        ASSERT_TRUE(decodeCheckpoint(r, back));
        EXPECT_TRUE(r.atEnd());
        // Written again, the same bytes: no field was dropped on the way.
        EXPECT_EQ(bytesOf(back), bytes);
        EXPECT_EQ(back.iteration, 11);
        EXPECT_EQ(back.moves.size(), projection ? 4u : 0u);
        EXPECT_EQ(back.history, sample(0).history);
        EXPECT_EQ(back.solved, (std::vector<uint8_t>{1, 0}));
    }
}

TEST(DesignCheckpoint, CutOrInconsistentBytesAreRefused) {
    const std::string bytes = bytesOf(sample(1));
    for (size_t length = 0; length < bytes.size(); length += 7) {
        ByteReader r(std::string_view(bytes).substr(0, length));
        DesignCheckpoint back;
        EXPECT_FALSE(decodeCheckpoint(r, back)) << length;
    }
    struct Damage {
        const char* name;
        void (*apply)(DesignCheckpoint&);
    };
    const Damage damages[] = {
        {"short design", [](DesignCheckpoint& c) { c.x.pop_back(); }},
        {"short weight sums", [](DesignCheckpoint& c) { c.W.pop_back(); }},
        {"moves without projection", [](DesignCheckpoint& c) { c.projection = 0; }},
        {"short move limits", [](DesignCheckpoint& c) { c.moves.pop_back(); }},
        {"short energies", [](DesignCheckpoint& c) { c.q.push_back(0); }},
    };
    for (const Damage& d : damages) {
        DesignCheckpoint c = sample(1);
        d.apply(c);
        const std::string damaged = bytesOf(c);
        ByteReader r(damaged);
        DesignCheckpoint back;
        EXPECT_FALSE(decodeCheckpoint(r, back)) << d.name;
        EXPECT_FALSE(back.valid()) << d.name;
    }
}

}  // namespace
}  // namespace ostrel
