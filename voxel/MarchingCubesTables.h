#pragma once
// Marching-cubes tables for corners 0 (i,j,k) 1 (i+1,j,k) 2 (i+1,j+1,k) 3 (i,j+1,k), 4..7 the
// same at k+1, and edges 0 (0-1) 1 (1-2) 2 (2-3) 3 (3-0) 4 (4-5) 5 (5-6) 6 (6-7) 7 (7-4)
// 8 (0-4) 9 (1-5) 10 (2-6) 11 (3-7). Configuration bit n is set when corner n is below the iso
// value. Triangle rows hold up to five edge triples, ended by -1.

#include <cstdint>

namespace ostrel {

extern const uint16_t kMcEdgeTable[256];
extern const int8_t kMcTriTable[256][16];
/// Corner pair of each edge.
extern const int8_t kMcEdgeCorners[12][2];

}  // namespace ostrel
