#include "optimization/DesignCheckpoint.h"

namespace ostrel {

namespace {

// One list of the fields for both directions, so that writing and reading cannot disagree.
template <typename Io, typename C>
void fields(Io& io, C& c) {
    io.value(c.projection);
    io.value(c.volumeReductionGoal);
    io.value(c.volumeTarget);
    io.value(c.beta);
    io.value(c.rhoBeta);
    io.value(c.lastMultiplier);
    io.value(c.lastStrainEnergy);
    io.value(c.lastVolumeRatio);
    io.value(c.lastSharpness);
    io.value(c.lastDesignChange);
    io.value(c.lastSearchPasses);
    io.value(c.energy);
    io.value(c.volume);
    io.value(c.sharpnessSum);
    io.value(c.memberVolumeScale);
    io.vector(c.caseCompliances);
    io.value(c.betaCounter);
    io.value(c.referenceEnergy);
    io.value(c.firstEnergyEvaluation);
    io.value(c.iteration);
    io.value(c.totalSolveSeconds);
    io.value(c.totalOptimizeSeconds);
    io.vector(c.x);
    io.vector(c.rho);
    io.vector(c.xTilde);
    io.vector(c.xTilde0);
    io.vector(c.moves);
    io.vector(c.lastChange);
    io.vector(c.W);
    io.vector(c.q);
    io.strings(c.history);
    io.vectors(c.displacements);
    io.vector(c.solved);
}

struct Writer {
    ByteWriter& w;
    template <typename T>
    void value(const T& v) { w.put(v); }
    template <typename T>
    void vector(const std::vector<T>& v) { w.putVector(v); }
    void strings(const std::vector<std::string>& v) {
        w.put<uint64_t>(v.size());
        for (const std::string& s : v) w.putString(s);
    }
    void vectors(const std::vector<std::vector<double>>& v) {
        w.put<uint64_t>(v.size());
        for (const std::vector<double>& u : v) w.putVector(u);
    }
};

struct Reader {
    ByteReader& r;
    // A count no larger than the bytes left can hold (each entry takes 8 bytes at least).
    static constexpr uint64_t kMaxEntries = uint64_t(1) << 32;
    template <typename T>
    void value(T& v) { r.get(v); }
    template <typename T>
    void vector(std::vector<T>& v) { r.getVector(v); }
    void strings(std::vector<std::string>& v) {
        uint64_t count = 0;
        if (!r.get(count) || count > kMaxEntries) return;
        v.resize(size_t(count));
        for (std::string& s : v) r.getString(s);
    }
    void vectors(std::vector<std::vector<double>>& v) {
        uint64_t count = 0;
        if (!r.get(count) || count > kMaxEntries) return;
        v.resize(size_t(count));
        for (std::vector<double>& u : v) r.getVector(u);
    }
};

}  // namespace

void encodeCheckpoint(const DesignCheckpoint& c, ByteWriter& out) {
    Writer w{out};
    fields(w, c);
}

bool decodeCheckpoint(ByteReader& in, DesignCheckpoint& c) {
    Reader r{in};
    DesignCheckpoint read;
    fields(r, read);
    if (!in.ok()) return false;
    const size_t n = read.rho.size();
    const bool projected = read.projection == 1;
    const size_t nProjected = projected ? n : 0;
    if (read.x.size() != n || read.xTilde0.size() != n || read.W.size() != n ||
        read.q.size() != n || read.xTilde.size() != nProjected ||
        read.moves.size() != nProjected || read.lastChange.size() != nProjected)
        return false;
    c = std::move(read);
    return true;
}

}  // namespace ostrel
