#pragma once
// Whether the fixed vertices hold a model in place: a system whose fixations leave a rigid-body
// mode free (nothing fixed, one fixed point, fixed points on one line: a hinge) is singular,
// however the factorization's rounding turns out.
//
// Elements that share a face form one rigid cluster. A cluster is held when its held points
// (its fixed vertices, and the vertices it shares with clusters already held) include three
// points not on one line; clusters are visited until no further one becomes held. The model is
// held when every cluster is. Clusters joined only along an edge or at a corner are hinged to
// each other, which this finds; a set of clusters that only hold each other jointly (rare) is
// reported as not held.

#include <cstdint>
#include <vector>

namespace ostrel {

class FemModel;

/// True when the level-0 fixations of `model` suppress every rigid-body mode.
bool fixationsHoldModel(const FemModel& model);

/// fixationsHoldModel of one model, kept for the fixed-vertex set it was computed for. The key
/// is a copy of fixedFlags(), compared in full on every call, so that any change of the
/// fixations (scene loading, the editor, the controls, direct writes) runs the check again,
/// and a call with unchanged fixations costs one comparison of nV bytes. The model's hierarchy
/// is immutable, so the fixed-vertex set is all the result depends on. Main thread only.
class FixationCheck {
public:
    /// fixationsHoldModel(model), from the cache when fixedFlags() is the cached set.
    bool holds(const FemModel& model);
    /// Forgets the cached result (the next holds() runs the check).
    void invalidate() { valid_ = false; }
    /// Number of times holds() has run the check itself.
    int evaluations() const { return evaluations_; }

private:
    std::vector<uint8_t> fixed_;
    bool valid_ = false;
    bool held_ = false;
    int evaluations_ = 0;
};

}  // namespace ostrel
