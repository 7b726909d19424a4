// ostrel-batch: the optimization without a window. See tools/BatchRun.h for the command line.
//
// Streams: the system's console lines on standard output (none with --quiet), then the
// summary; the progress line of every step, the console's "ERROR: " and "WARNING: " lines and
// the run's own errors on standard error. The console is routed before anything is printed,
// so its wide stream writes through the router too.
//
// SIGINT and SIGTERM are stop requests, counted, and what they do depends on the phase of the
// run (BatchPhase). During the steps the first lets the run finish the step in progress (and
// says so on standard error), the second stops it within one multigrid cycle, a third ends the
// process by the signal whatever it is doing. Before the steps (loading, voxelizing) and during
// the final files the first lets that phase finish and the second ends the process at once with
// status 130: nothing there polls the count, and a call that waits (a slow open) must not keep
// it going. A file cut short there stays under its temporary name; the next run into the folder
// removes it. The coarse solver's graph partitioner installs handlers of its own while it orders
// and then restores ours with other flags (reset after one signal, no restarted system calls),
// so the run puts ours back every time it asks for the count. SIGXFSZ is ignored, so that a
// file-size limit fails the write with its reason instead of ending the process.
//
// --engine petsc: the run on many processes (mpirun -n N ostrel-batch SCENE --engine petsc ...
// [-- PETSc options]). It lives in ostrel-batch-petsc, this source built with PETSc and MPI
// (OSTREL_HAVE_PETSC=1), to which ostrel-batch hands the command line (exec), so that
// ostrel-batch itself links neither. There every process performs the run (tools/BatchRun.h,
// BatchRanks), each with one worker thread unless --threads says otherwise; the processes
// other than 0 print nothing. A stop request on any process stops every process after the same
// step. An exception on a process (a failed PETSc call) prints its "ERROR: " line and ends every
// process.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/ProgramEnd.h"
#include "core/Console.h"
#include "core/MemoryLimit.h"
#include "core/Version.h"
#include "tools/BatchRun.h"
#include "tools/InputChecks.h"

#if OSTREL_HAVE_PETSC
#include <memory>

#include "optimization/Problem.h"
#include "optimization/petsc/EngineSolve.h"
#include "optimization/petsc/LayerSplit.h"
#include "optimization/petsc/PetscSession.h"
#else
#include "core/ExecutablePath.h"
#endif

namespace {

std::atomic<int> g_stopRequests{0};
std::atomic<int> g_phase{int(ostrel::BatchPhase::Setup)};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onSignal(int number);

void setSignalAction(void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;  // interrupted writes to the console resume
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

template <size_t N>
void say(const char (&line)[N]) {
    [[maybe_unused]] const ssize_t n = ::write(2, line, N - 1);
}

// Only async-signal-safe calls: atomic loads and adds, write, sigaction, raise and _exit.
extern "C" void onSignal(int number) {
    const int requests = g_stopRequests.fetch_add(1) + 1;
    const auto phase = ostrel::BatchPhase(g_phase.load());
    if (requests == 1) {
        if (phase == ostrel::BatchPhase::Setup)
            say("stopping before the first step; press Ctrl-C again to stop now\n");
        else if (phase == ostrel::BatchPhase::FinalFiles)
            say("finishing the final files; press Ctrl-C again to stop now\n");
        else
            say("stopping after this step; press Ctrl-C again to stop now\n");
        setSignalAction(onSignal);
    } else if (phase == ostrel::BatchPhase::Setup) {
        say("Stopped at once before the first step; nothing written\n");
        ::_exit(ostrel::kExitInterrupted);
    } else if (phase == ostrel::BatchPhase::FinalFiles) {
        say("Stopped at once while the final files were written; the files under their final "
            "names are complete\n");
        ::_exit(ostrel::kExitInterrupted);
    } else {
        setSignalAction(SIG_DFL);
        if (requests >= 3) std::raise(number);
    }
}

/// The stop requests so far; puts the handler back while it still counts.
int stopRequests() {
    const int requests = g_stopRequests.load();
    if (requests < 2) setSignalAction(onSignal);
    return requests;
}

#if !OSTREL_HAVE_PETSC
/// Whether the command line asks for the many-process engine (before any "--").
bool wantsPetscEngine(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size() && args[i] != "--"; ++i)
        if (args[i] == "--engine=petsc" ||
            (args[i] == "--engine" && i + 1 < args.size() && args[i + 1] == "petsc"))
            return true;
    return false;
}
#else
/// The largest of every process's value.
int largestOnAllRanks(int value) {
    int largest = value;
    ostrel::petscCheck(MPI_Allreduce(&value, &largest, 1, MPI_INT, MPI_MAX, PETSC_COMM_WORLD),
                       "MPI_Allreduce");
    return largest;
}

/// Every process's text in rank order on process 0.
std::vector<std::string> gatherOnRankZero(const std::string& text, int rank, int size) {
    const int length = int(text.size());
    std::vector<int> lengths(static_cast<size_t>(size)), offsets(static_cast<size_t>(size));
    ostrel::petscCheck(MPI_Gather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, 0,
                                  PETSC_COMM_WORLD),
                       "MPI_Gather");
    int total = 0;
    for (int r = 0; r < size; ++r) offsets[size_t(r)] = total, total += lengths[size_t(r)];
    std::string all(size_t(rank == 0 ? total : 0), '\0');
    ostrel::petscCheck(MPI_Gatherv(text.data(), length, MPI_CHAR, all.data(), lengths.data(),
                                   offsets.data(), MPI_CHAR, 0, PETSC_COMM_WORLD),
                       "MPI_Gatherv");
    std::vector<std::string> texts;
    if (rank == 0)
        for (int r = 0; r < size; ++r)
            texts.push_back(all.substr(size_t(offsets[size_t(r)]), size_t(lengths[size_t(r)])));
    return texts;
}

/// The run of this process of a many-process run (see the top of this file).
int runEngine(const std::vector<std::string>& args) {
    using namespace ostrel;
    // PETSc's options follow the first "--"; the run's own precede it.
    const auto split = std::find(args.begin(), args.end(), std::string("--"));
    const std::vector<std::string> own(args.begin(), split);
    const std::vector<std::string> petscArguments(split == args.end() ? split : split + 1,
                                                  args.end());
    std::unique_ptr<PetscSession> session;
    try {
        session = std::make_unique<PetscSession>(petscArguments);
    } catch (const PetscFailure& e) {
        std::cerr << "ERROR: " << e.what() << std::endl;
        return kExitFailed;
    }
    const int rank = session->rank(), size = session->size();
    // Before the console is routed, so that the router of the other processes writes nowhere.
    const RankConsole console(rank);
    BatchArguments parsed = parseBatchArguments(own);
    switch (parsed.action) {
        case BatchArguments::Action::Help: std::cout << batchHelp(); return kExitDone;
        case BatchArguments::Action::Version:
            std::cout << versionLine("ostrel-batch-petsc");
            return kExitDone;
        case BatchArguments::Action::Error:
            std::cerr << parsed.error << "\n"
                      << batchUsage() << "Try 'ostrel-batch --help' for more information.\n";
            return kExitUsage;
        case BatchArguments::Action::Run: break;
    }
    BatchOptions& options = parsed.options;
    options.engine = BatchEngine::Petsc;
    // One process per core: each process's design steps take one thread unless told otherwise.
    if (options.threads == 0) options.threads = 1;
    static std::ostream* const results = new std::ostream(routeConsoleByKind(options.quiet));
    setSignalAction(onSignal);
    std::signal(SIGXFSZ, SIG_IGN);
    exitOnFailedAllocation();
    std::unique_ptr<PetscEngineSolve> engine;
    std::unique_ptr<LayerSplit> designSplit;
    BatchRanks ranks;
    ranks.rank = rank;
    ranks.size = size;
    ranks.sizeHere = session->sizeHere();
    ranks.largest = largestOnAllRanks;
    ranks.gather = [rank, size](const std::string& text) {
        return gatherOnRankZero(text, rank, size);
    };
    VoxelLayerSplit voxelSplit(PETSC_COMM_WORLD);
    ranks.voxelSplit = &voxelSplit;
    ranks.attach = [&engine, &designSplit, size,
                    tolerance = options.tolerance](Problem& problem) -> DesignSplit* {
        engine = std::make_unique<PetscEngineSolve>(problem.model(), PETSC_COMM_WORLD, tolerance);
        problem.solver().setExternalSolve(engine.get());

        const PetscSolveShape& shape = engine->solver().shape();
        writeLine(&wideOut(), L"Solving on " + std::to_wstring(size) +
                                  (size == 1 ? L" process" : L" processes") +
                                  L" with PETSc: " + std::to_wstring(shape.levels) +
                                  L" multigrid levels, " + std::to_wstring(shape.dofs.front()) +
                                  L" unknowns on the finest, " +
                                  std::to_wstring(shape.dofs.back()) + L" on the coarsest" +
                                  (shape.coarse == CoarseSolve::None
                                       ? std::wstring()
                                       : L" (" + fromUtf8(coarseSolveName(shape.coarse)) + L")"));
        designSplit = std::make_unique<LayerSplit>(problem.model(), PETSC_COMM_WORLD);
        const std::vector<OwnLayers>& layers = designSplit->layers();
        const auto [fewest, most] = std::minmax_element(
            layers.begin(), layers.end(),
            [](const OwnLayers& a, const OwnLayers& b) { return a.count < b.count; });
        writeLine(&wideOut(), L"Design steps split by element layers: " +
                                  std::to_wstring(fewest->count) +
                                  (most->count == fewest->count
                                       ? L""
                                       : L" to " + std::to_wstring(most->count)) +
                                  L" elements a process");
        return designSplit.get();
    };
    int code = kExitFailed;
    try {
        code = runProgram([&] {
            return runBatch(options, *results, std::cerr, stopRequests,
                            [](BatchPhase phase) { g_phase.store(int(phase)); }, &ranks);
        });
    } catch (const std::exception& e) {
        std::cerr.rdbuf(console.errors());
        std::cerr << "ERROR: " << e.what() << std::endl;
        abortAllRanks(kExitFailed);
    }
    designSplit.reset();
    engine.reset();
    std::cout.flush();
    results->flush();
    return code;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    using namespace ostrel;
    const std::vector<std::string> args(argv + 1, argv + argc);
#if OSTREL_HAVE_PETSC
    return runEngine(args);
#else
    if (wantsPetscEngine(args)) {
        // The engine is the program beside this one, built from this source with PETSc and MPI:
        // it takes over this process, which keeps its place among the MPI ranks.
        const std::string engine = OSTREL_ENGINE_PROGRAM;
        if (!engine.empty()) {
            const std::string path = executableDirectory() + engine;
            std::vector<char*> words(argv, argv + argc);
            words[0] = const_cast<char*>(path.c_str());
            words.push_back(nullptr);
            ::execv(path.c_str(), words.data());
        }
        std::cerr << "ERROR: --engine petsc: this build has no many-process engine (it was "
                     "built without PETSc and MPI; scripts/setup installs them)\n";
        return kExitUsage;
    }
#endif
    const BatchArguments parsed = parseBatchArguments(args);
    switch (parsed.action) {
        case BatchArguments::Action::Help: std::cout << batchHelp(); return kExitDone;
        case BatchArguments::Action::Version: std::cout << batchVersion(); return kExitDone;
        case BatchArguments::Action::Error:
            std::cerr << parsed.error << "\n"
                      << batchUsage() << "Try 'ostrel-batch --help' for more information.\n";
            return kExitUsage;
        case BatchArguments::Action::Run: break;
    }
    if (const std::string error = launchedTogetherError("ostrel-batch", launchedProcesses());
        !error.empty()) {
        std::cerr << error << "\n";
        return kExitUsage;
    }

    // The summary goes to the real standard output, past the router of the console lines.
    static std::ostream* const results = new std::ostream(routeConsoleByKind(parsed.options.quiet));
    setSignalAction(onSignal);
    std::signal(SIGXFSZ, SIG_IGN);
    exitOnFailedAllocation();
    const int code = runProgram([&] {
        return runBatch(parsed.options, *results, std::cerr, stopRequests,
                        [](BatchPhase phase) { g_phase.store(int(phase)); });
    });
    std::cout.flush();
    results->flush();
    return code;
}
