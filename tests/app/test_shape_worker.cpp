// The shape worker: the surface it hands over is the one extractIsoSurface makes of the job's
// densities, the newest job wins over the ones that had not started, a superseded job's surface
// never comes, each surface comes once, and the worker ends cleanly with work queued.

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "support/MeshBuilders.h"
#include "app/ShapeWorker.h"
#include "voxel/IsoSurface.h"

namespace ostrel {
namespace {

/// A ball of density 1 and radius `radius` cells in a padded cube of `n` cells a side.
Volume<double, double> ball(int n, double radius) {
    Volume<double, double> v;
    v.init({n, n, n}, {1.0, 1.0, 1.0}, {0.0, 0.0, 0.0}, 0.001);
    const double c = 0.5 * (n - 1);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const double d =
                    std::sqrt((x - c) * (x - c) + (y - c) * (y - c) + (z - c) * (z - c));
                v(x, y, z) = d < radius ? 1.0 : 0.001;
            }
    return v;
}

TriangleMesh extracted(const Volume<double, double>& v) {
    TriangleMesh mesh;
    extractIsoSurface(v, 0.5, mesh, false);
    return mesh;
}

TEST(ShapeWorker, HandsOverTheSurfaceOfTheJobsDensitiesOnce) {
    ShapeWorker worker;
    EXPECT_FALSE(worker.takeFinished());
    const Volume<double, double> v = ball(14, 4.5);
    worker.submit(v, 0.5);
    worker.waitIdle();
    std::optional<TriangleMesh> mesh = worker.takeFinished();
    ASSERT_TRUE(mesh);
    const TriangleMesh expected = extracted(v);
    ASSERT_FALSE(expected.triangles.empty());
    EXPECT_TRUE(test::sameSurface(*mesh, expected));
    EXPECT_FALSE(worker.takeFinished());
}

TEST(ShapeWorker, TheNewestJobWins) {
    ShapeWorker worker;
    // A large job first, so that the later ones wait; of those, only the last runs.
    worker.submit(ball(60, 25.0), 0.5);
    worker.submit(ball(14, 3.0), 0.5);
    const Volume<double, double> newest = ball(14, 5.5);
    worker.submit(newest, 0.5);
    worker.waitIdle();
    std::optional<TriangleMesh> mesh = worker.takeFinished();
    ASSERT_TRUE(mesh);
    EXPECT_TRUE(test::sameSurface(*mesh, extracted(newest)));
    EXPECT_FALSE(worker.takeFinished());
}

TEST(ShapeWorker, ASupersededJobsSurfaceNeverComes) {
    ShapeWorker worker;
    worker.submit(ball(40, 15.0), 0.5);  // running or waiting when superseded
    worker.supersede();
    worker.waitIdle();
    EXPECT_FALSE(worker.takeFinished());
    // A job after that comes as usual.
    worker.submit(ball(14, 4.0), 0.5);
    worker.waitIdle();
    EXPECT_TRUE(worker.takeFinished());
}

TEST(ShapeWorker, EndsCleanlyWithAJobRunningAndOneWaiting) {
    for (int k = 0; k < 3; ++k) {
        ShapeWorker worker;
        worker.submit(ball(50, 20.0), 0.5);
        worker.submit(ball(50, 18.0), 0.5);
    }
    ShapeWorker idle;  // and without any job
    SUCCEED();
}

}  // namespace
}  // namespace ostrel
