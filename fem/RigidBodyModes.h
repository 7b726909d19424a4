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

namespace ostrel {

class FemModel;

/// True when the level-0 fixations of `model` suppress every rigid-body mode.
bool fixationsHoldModel(const FemModel& model);

}  // namespace ostrel
