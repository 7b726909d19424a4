#include "app/ShapeWorker.h"

#include <utility>

#include "voxel/IsoSurface.h"

namespace ostrel {

ShapeWorker::ShapeWorker() : thread_([this] { work(); }) {}

ShapeWorker::~ShapeWorker() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        waiting_.reset();
    }
    wake_.notify_one();
    thread_.join();
}

void ShapeWorker::submit(Volume<double, double> densities, double isoLevel) {
    {
        std::lock_guard lock(mutex_);
        waiting_ = std::move(densities);
        waitingIso_ = isoLevel;
        waitingNumber_ = ++submitted_;
    }
    wake_.notify_one();
}

std::optional<TriangleMesh> ShapeWorker::takeFinished() {
    std::lock_guard lock(mutex_);
    if (!finished_ || finishedNumber_ <= handedOver_) return std::nullopt;
    handedOver_ = finishedNumber_;
    std::optional<TriangleMesh> mesh = std::move(finished_);
    finished_.reset();
    return mesh;
}

void ShapeWorker::supersede() {
    std::lock_guard lock(mutex_);
    handedOver_ = submitted_;
    waiting_.reset();
    finished_.reset();
}

void ShapeWorker::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return !waiting_ && !running_; });
}

void ShapeWorker::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || waiting_; });
        if (stop_) return;
        Volume<double, double> densities = std::move(*waiting_);
        waiting_.reset();
        const double iso = waitingIso_;
        const uint64_t number = waitingNumber_;
        running_ = true;
        lock.unlock();
        // The extraction reads only the worker's own copy and writes only its own mesh.
        TriangleMesh mesh;
        extractIsoSurface(densities, iso, mesh, false);
        lock.lock();
        running_ = false;
        // A surface nobody may take any more (superseded meanwhile) is dropped at once.
        if (number > handedOver_) {
            finished_ = std::move(mesh);
            finishedNumber_ = number;
        }
        idle_.notify_all();
    }
}

}  // namespace ostrel
