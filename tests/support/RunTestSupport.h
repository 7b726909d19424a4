#pragma once
// Helpers of the run-control and batch tests: line counts, the tiny cantilever scene, a mesh
// check (closed, consistently oriented) and a child process with pipes. The scratch folder and
// file reading come from support/ScratchFolder.h.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "geometry/TriangleMesh.h"
#include "support/ScratchFolder.h"

namespace ostrel::testing {

inline int lineCount(const std::filesystem::path& file) {
    const std::string text = readFile(file);
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

/// Writes a cantilever scene into `folder`: a 2 x 0.5 x 0.5 box in voxels of 2/nx (nx x nx/4 x
/// nx/4 elements), clamped at x = 0, pulled down along the lower edge of the free end. Returns
/// the scene file.
inline std::filesystem::path writeCantileverScene(const std::filesystem::path& folder, int nx) {
    {
        std::ofstream mesh(folder / "beam.obj");
        mesh << "v 0 0 0\nv 2 0 0\nv 2 0.5 0\nv 0 0.5 0\nv 0 0 0.5\nv 2 0 0.5\nv 2 0.5 0.5\n"
                "v 0 0.5 0.5\n\n"
                "f 1 3 2\nf 5 6 7\nf 1 4 3\nf 5 7 8\nf 1 2 6\nf 1 6 5\nf 2 3 7\nf 2 7 6\n"
                "f 3 4 8\nf 3 8 7\nf 4 1 5\nf 4 5 8\n";
    }
    const int n = nx / 4;
    std::ostringstream fixed, forces;
    for (int z = 0; z <= n; ++z)
        for (int y = 0; y <= n; ++y) fixed << (fixed.tellp() > 0 ? "  " : "") << "0 " << y << ' ' << z;
    for (int y = 0; y <= n; ++y)
        forces << (y ? "  " : "") << nx << ' ' << y << " 0 0 0 " << -100.0 / (n + 1);
    const std::filesystem::path scene = folder / "scene.txt";
    std::ofstream file(scene);
    file << "VOXEL_SIZE: " << 2.0 / nx << ' ' << 2.0 / nx << ' ' << 2.0 / nx << "\n"
         << "ELASTIC_MODULUS: 2e9\nPOISSON_RATIO: 0.394\nDENSITY: 1000\nDAMPING_FACTOR: 0.5\n"
         << "TIME_STEP: 0.05\nMESH: beam.obj\nNUM_LEVELS: 3\nADD_ADDITIONAL_SURFACE_VOXELS: 0\n"
         << "FIXED_VERTICES: " << fixed.str() << "\nFORCES: " << forces.str() << "\n";
    return scene;
}

/// Empty when every edge of the mesh is used once in each direction (closed, consistently
/// oriented, manifold at its edges); otherwise a description of the first fault.
inline std::string edgePairingFault(const TriangleMesh& mesh) {
    std::map<std::pair<int, int>, int> directed;
    for (const MeshTriangle& t : mesh.triangles)
        for (int k = 0; k < 3; ++k) ++directed[{t.indices[k], t.indices[(k + 1) % 3]}];
    for (const auto& [edge, count] : directed) {
        if (count != 1)
            return "edge " + std::to_string(edge.first) + "-" + std::to_string(edge.second) +
                   " used " + std::to_string(count) + " times in one direction";
        if (!directed.count({edge.second, edge.first}))
            return "edge " + std::to_string(edge.first) + "-" + std::to_string(edge.second) +
                   " has no opposite edge";
    }
    return {};
}

/// A child process with its standard output and error on pipes.
class Child {
public:
    /// Starts `program` with `args` in the folder `workingDirectory` (empty = this one's).
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::filesystem::path& workingDirectory = {}) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
        pid_ = ::fork();
        if (pid_ < 0) std::abort();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
            if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) ::close(outFd_);
        if (errFd_ >= 0) ::close(errFd_);
    }

    /// Reads until standard output holds a line containing `text`; false when the output ends
    /// first.
    bool waitForOutput(const std::string& text) {
        while (out_.find(text) == std::string::npos)
            if (!pump()) return false;
        return true;
    }
    /// Reads until standard error holds `text`; false when the output ends first.
    bool waitForError(const std::string& text) {
        while (err_.find(text) == std::string::npos)
            if (!pump()) return false;
        return true;
    }
    void signal(int number) { ::kill(pid_, number); }
    /// The longest silence of the program after which a read gives up (default 30 s): a
    /// program that stays silent longer counts as ended.
    void setSilenceLimit(int seconds) { silenceMs_ = seconds * 1000; }
    pid_t pid() const { return pid_; }
    /// Reads everything and waits for the end; returns the exit code, or 128 + the signal.
    int finish() {
        while (pump()) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    /// finish() for a program that may hang: one that has not ended `seconds` after the call is
    /// killed, and the result is kHung.
    static constexpr int kHung = -1;
    int finishWithin(int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                waited_ = true;
                return kHung;
            }
            if (!pump(int(std::min<long long>(left.count(), 100))))
                ::usleep(10000);  // both pipes ended: the process is about to end
        }
        waited_ = true;
        while (pump()) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    /// One read from whichever pipe has data; false when both have ended or, waiting without a
    /// timeout (negative), the program stayed silent past the silence limit. With a timeout,
    /// true when it passes without data.
    bool pump(int timeoutMilliseconds = -1) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (outFd_ < 0 && errFd_ < 0) return false;
        const bool untilSilence = timeoutMilliseconds < 0;
        const int ready = ::poll(fds, 2, untilSilence ? silenceMs_ : timeoutMilliseconds);
        if (ready < 0 || (ready == 0 && untilSilence)) return false;
        if (ready == 0) return true;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[k].fd);
                (k == 0 ? outFd_ : errFd_) = -1;
            } else {
                (k == 0 ? out_ : err_).append(buffer, size_t(n));
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    bool waited_ = false;
    int silenceMs_ = 30000;
    std::string out_, err_;
};

}  // namespace ostrel::testing
