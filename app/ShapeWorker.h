#pragma once
// Extracts shape surfaces on a worker thread of its own, so that the next design iteration runs
// while the last one's surface is made (the window's view of the design).
//
// submit() hands over a job: the densities in a padded volume (Optimizer::paddedDensityCopy, a
// copy the worker alone reads) and the iso level. Jobs are numbered in the order they come; a
// job that has not started when a newer one comes is dropped, since only the newest shape is
// shown. takeFinished() gives the surface of the newest finished job once, and only when it is
// newer than everything taken or superseded before: a surface is never handed over while the
// worker still writes it, nor after a newer one. supersede() marks every job so far as out of
// date (the caller has shown a newer shape of its own, extracted on its thread).
//
// The thread starts with the object and ends with it: the destructor drops the waiting job,
// lets the running extraction finish and joins. submit, takeFinished, supersede and waitIdle
// are for one owning thread (the main thread); the worker shares nothing else with it.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "geometry/TriangleMesh.h"
#include "geometry/Volume.h"

namespace ostrel {

class ShapeWorker {
public:
    ShapeWorker();
    ~ShapeWorker();
    ShapeWorker(const ShapeWorker&) = delete;
    ShapeWorker& operator=(const ShapeWorker&) = delete;

    /// Queues the surface of `densities` at `isoLevel`, replacing a job that has not started.
    void submit(Volume<double, double> densities, double isoLevel);
    /// The surface of the newest finished job, if it is newer than all taken or superseded.
    std::optional<TriangleMesh> takeFinished();
    /// Every job submitted so far is out of date: its surface will not be handed over.
    void supersede();
    /// Blocks until no job waits or runs (tests, and callers that need the last surface).
    void waitIdle();

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;   // a job came, or the end
    std::condition_variable idle_;   // a job finished
    std::optional<Volume<double, double>> waiting_;
    double waitingIso_ = 0.5;
    uint64_t waitingNumber_ = 0;
    uint64_t submitted_ = 0;   // jobs numbered so far
    uint64_t handedOver_ = 0;  // newest number taken or superseded
    bool running_ = false;
    std::optional<TriangleMesh> finished_;
    uint64_t finishedNumber_ = 0;
    bool stop_ = false;
    std::thread thread_;  // last: starts once every other member is ready
};

}  // namespace ostrel
