#include "optimization/petsc/LayerSplit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fem/FemModel.h"
#include "optimization/petsc/PetscSession.h"

namespace ostrel {

namespace {

/// A datatype of `bytes` contiguous bytes, freed with its scope, so that counts stay in entries
/// (an int of bytes would overflow on large grids).
class ContiguousType {
public:
    explicit ContiguousType(size_t bytes) {
        petscCheck(MPI_Type_contiguous(int(bytes), MPI_BYTE, &type_), "MPI_Type_contiguous");
        petscCheck(MPI_Type_commit(&type_), "MPI_Type_commit");
    }
    ~ContiguousType() { MPI_Type_free(&type_); }
    ContiguousType(const ContiguousType&) = delete;
    ContiguousType& operator=(const ContiguousType&) = delete;
    operator MPI_Datatype() const { return type_; }

private:
    MPI_Datatype type_ = MPI_DATATYPE_NULL;
};

/// Layers [begin, end) as a pair; empty when end <= begin.
struct LayerRun {
    int begin = 0, end = 0;
    bool empty() const { return end <= begin; }
};

LayerRun intersect(LayerRun a, LayerRun b) {
    return {std::max(a.begin, b.begin), std::min(a.end, b.end)};
}

/// The layers within `halo` of `own` that it does not hold itself, below and above it (none for
/// a process without layers, which filters nothing).
std::pair<LayerRun, LayerRun> reach(const OwnLayers& own, int halo, int numLayers) {
    if (own.end <= own.begin) return {};
    return {{std::max(0, own.begin - halo), own.begin},
            {own.end, std::min(numLayers, own.end + halo)}};
}

/// The most bytes one message carries (an int counts them).
constexpr size_t kMessageBytes = size_t(1) << 30;

/// Every process's `bytes`, in process order, on process 0 of `comm` (nothing on the others).
std::vector<std::vector<unsigned char>> gatherBytesToFirst(const std::vector<unsigned char>& bytes,
                                                           MPI_Comm comm) {
    int rank = 0, processes = 1;
    petscCheck(MPI_Comm_rank(comm, &rank), "MPI_Comm_rank");
    petscCheck(MPI_Comm_size(comm, &processes), "MPI_Comm_size");
    uint64_t size = bytes.size();
    std::vector<uint64_t> sizes(rank == 0 ? size_t(processes) : 0);
    petscCheck(MPI_Gather(&size, 1, MPI_UINT64_T, sizes.data(), 1, MPI_UINT64_T, 0, comm),
               "MPI_Gather");
    std::vector<std::vector<unsigned char>> all;
    if (rank != 0) {
        // In messages of at most kMessageBytes, which process 0 takes in the same order.
        for (size_t at = 0; at < bytes.size(); at += kMessageBytes)
            petscCheck(MPI_Send(bytes.data() + at, int(std::min(kMessageBytes, bytes.size() - at)),
                                MPI_BYTE, 0, 1, comm),
                       "MPI_Send");
        return all;
    }
    all.resize(size_t(processes));
    all[0] = bytes;
    for (int r = 1; r < processes; ++r) {
        std::vector<unsigned char>& theirs = all[size_t(r)];
        theirs.resize(size_t(sizes[size_t(r)]));
        for (size_t at = 0; at < theirs.size(); at += kMessageBytes)
            petscCheck(MPI_Recv(theirs.data() + at,
                                int(std::min(kMessageBytes, theirs.size() - at)), MPI_BYTE, r, 1,
                                comm, MPI_STATUS_IGNORE),
                       "MPI_Recv");
    }
    return all;
}

}  // namespace

std::vector<OwnLayers> splitLayers(const std::vector<int>& layerElements, int processes) {
    const int layers = int(layerElements.size());
    std::vector<long long> before(size_t(layers) + 1, 0);  // elements in the layers below z
    for (int z = 0; z < layers; ++z)
        before[size_t(z) + 1] = before[size_t(z)] + layerElements[size_t(z)];
    const long long total = before.back();
    std::vector<int> bound(size_t(processes) + 1, 0);
    bound[size_t(processes)] = layers;
    for (int k = 1; k < processes; ++k) {
        if (layers < processes) {
            // Too few layers: one each, in order.
            bound[size_t(k)] = std::min(k, layers);
            continue;
        }
        // The first layer boundary where the running count reaches process k's start, leaving
        // one layer at least to this process and to each of the later ones.
        int z = 0;
        while (z < layers && before[size_t(z)] * processes < total * k) ++z;
        bound[size_t(k)] = std::clamp(z, bound[size_t(k) - 1] + 1, layers - (processes - k));
    }
    std::vector<OwnLayers> split(static_cast<size_t>(processes));
    for (int k = 0; k < processes; ++k) {
        OwnLayers& own = split[size_t(k)];
        own.begin = bound[size_t(k)];
        own.end = bound[size_t(k) + 1];
        own.first = int(before[size_t(own.begin)]);
        own.count = int(before[size_t(own.end)] - before[size_t(own.begin)]);
    }
    return split;
}

std::vector<int> layerElementCounts(const FemModel& model) {
    std::vector<int> counts(size_t(model.elementDims(0)[2]), 0);
    for (uint32_t p : model.elementPosition(0)) ++counts[size_t(unpack(p).z)];
    return counts;
}

LayerSplit::LayerSplit(const FemModel& model, MPI_Comm comm) : comm_(comm) {
    petscCheck(MPI_Comm_rank(comm, &rank_), "MPI_Comm_rank");
    petscCheck(MPI_Comm_size(comm, &size_), "MPI_Comm_size");
    numLayers_ = model.elementDims(0)[2];
    layers_ = splitLayers(layerElementCounts(model), size_);
}

void LayerSplit::combine(double* values, const CombineOp* ops, int count) {
    if (count <= 0) return;
    std::vector<double> all(size_t(count) * size_t(size_));
    petscCheck(MPI_Allgather(values, count, MPI_DOUBLE, all.data(), count, MPI_DOUBLE, comm_),
               "MPI_Allgather");
    for (int k = 0; k < count; ++k) {
        double joined = all[size_t(k)];
        for (int r = 1; r < size_; ++r) {
            const double v = all[size_t(r) * size_t(count) + size_t(k)];
            switch (ops[k]) {
                case CombineOp::Sum: joined += v; break;
                case CombineOp::Max:
                    if (std::isnan(joined) || v > joined) joined = v;
                    break;
                case CombineOp::Min:
                    if (std::isnan(joined) || v < joined) joined = v;
                    break;
            }
        }
        values[k] = joined;
    }
}

void LayerSplit::exchangeLayers(void* layers, int firstLayer, size_t layerBytes, int halo) {
    if (size_ == 1 || halo <= 0) return;
    const ContiguousType layer(layerBytes);
    char* const window = static_cast<char*>(layers);
    const auto at = [&](int z) {
        return window + ptrdiff_t(z - firstLayer) * ptrdiff_t(layerBytes);
    };
    const OwnLayers& mine = layers_[size_t(rank_)];
    const auto [below, above] = reach(mine, halo, numLayers_);
    std::vector<MPI_Request> requests;
    for (int r = 0; r < size_; ++r) {
        if (r == rank_) continue;
        const OwnLayers& theirs = layers_[size_t(r)];
        // What this process reads of r's layers, and what r reads of this process's: one run
        // each, since the owners' runs are contiguous and disjoint.
        const LayerRun owned{theirs.begin, theirs.end};
        for (const LayerRun side : {below, above})
            if (const LayerRun in = intersect(owned, side); !in.empty()) {
                requests.emplace_back();
                petscCheck(MPI_Irecv(at(in.begin), in.end - in.begin,
                                     layer, r, 0, comm_, &requests.back()),
                           "MPI_Irecv");
            }
        const auto [theirBelow, theirAbove] = reach(theirs, halo, numLayers_);
        for (const LayerRun side : {theirBelow, theirAbove})
            if (const LayerRun out = intersect({mine.begin, mine.end}, side); !out.empty()) {
                requests.emplace_back();
                petscCheck(MPI_Isend(at(out.begin), out.end - out.begin,
                                     layer, r, 0, comm_, &requests.back()),
                           "MPI_Isend");
            }
    }
    petscCheck(MPI_Waitall(int(requests.size()), requests.data(), MPI_STATUSES_IGNORE),
               "MPI_Waitall");
}

void LayerSplit::gatherElements(void* values, size_t entryBytes) {
    if (size_ == 1) return;
    const ContiguousType entry(entryBytes);
    std::vector<int> counts(static_cast<size_t>(size_)), offsets(static_cast<size_t>(size_));
    for (int r = 0; r < size_; ++r) {
        counts[size_t(r)] = layers_[size_t(r)].count;
        offsets[size_t(r)] = layers_[size_t(r)].first;
    }
    petscCheck(MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, values, counts.data(),
                              offsets.data(), entry, comm_),
               "MPI_Allgatherv");
}

std::vector<std::vector<unsigned char>> LayerSplit::gatherToFirst(
    const std::vector<unsigned char>& bytes) {
    return gatherBytesToFirst(bytes, comm_);
}

VoxelLayerSplit::VoxelLayerSplit(MPI_Comm comm) : comm_(comm) {
    petscCheck(MPI_Comm_rank(comm_, &rank_), "MPI_Comm_rank");
    petscCheck(MPI_Comm_size(comm_, &size_), "MPI_Comm_size");
}

VoxelLayers VoxelLayerSplit::own(int layers) const {
    const OwnLayers run = layerRuns(layers)[size_t(rank_)];
    return {run.begin, run.end};
}

std::vector<OwnLayers> VoxelLayerSplit::layerRuns(int layers) const {
    return splitLayers(std::vector<int>(size_t(std::max(layers, 0)), 1), size_);
}

bool VoxelLayerSplit::agree(bool ok) {
    int all = ok ? 1 : 0;
    petscCheck(MPI_Allreduce(MPI_IN_PLACE, &all, 1, MPI_INT, MPI_MIN, comm_), "MPI_Allreduce");
    return all != 0;
}

void VoxelLayerSplit::share(bool* voxels, size_t layerCells, int layers) {
    static_assert(sizeof(bool) == 1, "voxels travel as bytes");
    // Each process's layers from their owner in turn, in messages that an int counts.
    const std::vector<OwnLayers> runs = layerRuns(layers);
    for (int r = 0; r < size_; ++r) {
        const OwnLayers& run = runs[size_t(r)];
        unsigned char* const first =
            reinterpret_cast<unsigned char*>(voxels) + size_t(run.begin) * layerCells;
        const size_t bytes = size_t(run.end - run.begin) * layerCells;
        for (size_t at = 0; at < bytes; at += kMessageBytes)
            petscCheck(MPI_Bcast(first + at, int(std::min(kMessageBytes, bytes - at)), MPI_BYTE,
                                 r, comm_),
                       "MPI_Bcast");
    }
}

std::string VoxelLayerSplit::gatherText(const std::string& text) {
    std::string all;
    for (const std::vector<unsigned char>& one :
         gatherBytesToFirst(std::vector<unsigned char>(text.begin(), text.end()), comm_))
        all.append(one.begin(), one.end());
    return all;
}

}  // namespace ostrel
