#pragma once
// The kernel time of a device: the launches that begin() and end() bracket, summed. On the host
// device a launch runs to completion on the calling thread, so it is the wall time between the
// two calls. A CUDA device would need the driver's events, which the driver layer does not
// offer yet: there available() is false and nothing is measured (the split then leaves the
// kernel and host parts out rather than print launch times as kernel times).
//
// The solver and the device optimizer bracket every launch when one is set on the solver
// (MultigridSolver::setKernelTimer). Main thread only.

#include <chrono>

namespace ostrel {

class Driver;

class KernelTimer {
public:
    explicit KernelTimer(const Driver& driver);

    bool available() const { return available_; }
    void begin();
    void end();
    /// Kernel seconds of every launch bracketed so far.
    double seconds() const { return seconds_; }

private:
    bool available_;
    double seconds_ = 0.0;
    std::chrono::steady_clock::time_point start_{};
};

}  // namespace ostrel
