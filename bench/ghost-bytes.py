#!/usr/bin/env python3
"""The many-process engine's communication per V-cycle and rank, from its decomposition and
from PETSc's own counters, for bench/petsc-engine.sh.

Usage: ghost-bytes.py SOLVE_OUTPUT LOG_VIEW

SOLVE_OUTPUT: the output of `mpirun -n R ostrel-solve --engine petsc ... -- -dm_view
-log_view :LOG_VIEW -pc_mg_log`: -dm_view prints every level's node DMDA (finest first) with
each rank's index ranges. LOG_VIEW: PETSc's performance summary of that run; -pc_mg_log puts
the V-cycles into their own stage ("MG Apply") with one event per level.

The count from the decomposition (bytes each rank receives, 3 dof of 8 bytes per node):
  - level 0 (the matrix-free operator): every application fills the ghost layer of the
    rank's box (DMGlobalToLocal) and adds the ghost layer's results back to their owners
    (DMLocalToGlobal, ADD_VALUES): 2 exchanges of the box stencil's ghost nodes;
  - levels 1 .. L-2 (assembled AIJ, 27-point stencil): 1 exchange of the same ghost nodes
    per application;
  - per level above the coarsest, APPLICATIONS operator applications per V-cycle: Chebyshev
    of degree 2 (PETSc's default of 2 smoothing iterations) from a zero guess before the
    coarse correction needs 1, after it 2, and the residual 1: 4;
  - between level 0 and 1 (the matrix-free interpolation on the grids): the interpolation
    fills level 1's ghost layer (DMGlobalToLocal) and the restriction adds it back to the
    owners (DMLocalToGlobal, ADD_VALUES): 2 exchanges of level 1's ghost nodes;
  - between level l and l+1 below (assembled interpolations): the restriction (transpose) and
    the interpolation each move the coarse nodes that the rank's fine nodes interpolate from
    but another rank owns;
  - the coarsest level, solved redundantly: every rank gathers the whole coarse vector.
One CG iteration adds one more level-0 application (2 exchanges) and two reductions.
PETSc's counters (messages sent and their average length within the "MG Apply" stage,
divided by the ranks and the V-cycles) give the same quantity measured.
"""

import re
import sys

DOF_BYTES = 3 * 8
APPLICATIONS = 4


def read_levels(text):
    """[[(xs, xe, ys, ye, zs, ze, M, N, P) per rank] per level], finest first."""
    levels = []
    head = re.compile(r"Processor \[(\d+)\] M (\d+) N (\d+) P (\d+) m \d+ n \d+ p \d+ w \d+ s \d+")
    ranges = re.compile(r"X range of indices: (\d+) (\d+), Y range of indices: (\d+) (\d+), "
                        r"Z range of indices: (\d+) (\d+)")
    pending = None
    for line in text.splitlines():
        m = head.search(line)
        if m:
            rank = int(m.group(1))
            if rank == 0:
                levels.append([])
            pending = tuple(int(g) for g in m.group(2, 3, 4))
            continue
        m = ranges.search(line)
        if m and pending is not None:
            r = tuple(int(g) for g in m.groups())
            levels[-1].append(r + pending)
            pending = None
    return levels


def box_nodes(lo, hi):
    n = 1
    for a, b in zip(lo, hi):
        n *= max(b - a, 0)
    return n


def ghost_nodes(box):
    xs, xe, ys, ye, zs, ze, M, N, P = box
    lo, hi, size = (xs, ys, zs), (xe, ye, ze), (M, N, P)
    glo = tuple(max(a - 1, 0) for a in lo)
    ghi = tuple(min(b + 1, s) for b, s in zip(hi, size))
    return box_nodes(glo, ghi) - box_nodes(lo, hi)


def transfer_nodes(fine, coarse):
    """Coarse nodes outside the rank's coarse box that its fine nodes interpolate from."""
    lo, hi = (fine[0], fine[2], fine[4]), (fine[1], fine[3], fine[5])
    clo, chi, csize = (coarse[0], coarse[2], coarse[4]), (coarse[1], coarse[3], coarse[5]), coarse[6:]
    nlo = tuple(min(a // 2, c) for a, c in zip(lo, clo))
    nhi = tuple(max(min(b // 2 + 1, s), c) for b, s, c in zip(hi, csize, chi))
    return box_nodes(nlo, nhi) - box_nodes(clo, chi)


def decomposition_bytes(levels):
    """Per rank: {level: bytes} received per V-cycle; 'coarse' for the redundant solve."""
    ranks = len(levels[0])
    L = len(levels)
    per_rank = []
    for r in range(ranks):
        parts = {}
        for l in range(L - 1):
            exchanges = 2 if l == 0 else 1
            parts[l] = APPLICATIONS * exchanges * ghost_nodes(levels[l][r]) * DOF_BYTES
            moved = (ghost_nodes(levels[1][r]) if l == 0
                     else transfer_nodes(levels[l][r], levels[l + 1][r]))
            parts[l] += 2 * moved * DOF_BYTES
        coarsest = levels[L - 1]
        total = coarsest[0][6] * coarsest[0][7] * coarsest[0][8]
        own = box_nodes((coarsest[r][0], coarsest[r][2], coarsest[r][4]),
                        (coarsest[r][1], coarsest[r][3], coarsest[r][5]))
        parts["coarse"] = (total - own) * DOF_BYTES if ranks > 1 else 0
        per_rank.append(parts)
    return per_rank


def read_log(path):
    """The 'MG Apply' stage: (messages, average length) and its events {name: (count, mess, len)}."""
    stage = None
    events = {}
    in_stage = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"\s*\d+:\s+MG Apply:(.*)", line)
            if m:
                # time, %, flop, %, messages, %, average length, %, reductions, %
                v = m.group(1).replace("%", " ").split()
                stage = (float(v[4]), float(v[6]))
            if line.startswith("--- Event Stage"):
                in_stage = "MG Apply" in line
                continue
            if in_stage:
                words = line.split()
                if len(words) >= 21:
                    name = " ".join(words[:-20])
                    v = words[-20:]
                    try:
                        events[name] = (int(float(v[0])), float(v[6]), float(v[7]))
                    except ValueError:
                        pass
    return stage, events


def main(argv):
    if len(argv) != 3 or argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if len(argv) == 2 else 2
    try:
        levels = read_levels(open(argv[1], encoding="utf-8", errors="replace").read())
    except OSError as e:
        print("ERROR: cannot read \"%s\": %s" % (argv[1], e.strerror), file=sys.stderr)
        return 1
    if not levels or not levels[0]:
        print("ERROR: no DMDA ranges (-dm_view) in \"%s\"" % argv[1], file=sys.stderr)
        return 1
    ranks = len(levels[0])
    L = len(levels)
    per_rank = decomposition_bytes(levels)
    totals = [sum(p.values()) for p in per_rank]
    print("Ranks %d, levels %d; level 0 nodes %d x %d x %d; processor grid from -dm_view"
          % (ranks, L, *levels[0][0][6:]))
    for r, box in enumerate(levels[0]):
        print("  rank %d owns nodes x %d-%d y %d-%d z %d-%d: %d nodes, %d ghost nodes"
              % (r, box[0], box[1], box[2], box[3], box[4], box[5],
                 box_nodes(box[0:5:2], box[1:6:2]), ghost_nodes(box)))
    for l in range(L - 1):
        avg = sum(p[l] for p in per_rank) / ranks
        print("  level %d: %.1f kB per rank per V-cycle (decomposition, mean over ranks)"
              % (l, avg / 1024))
    print("  coarsest (redundant gather): %.1f kB per rank per V-cycle"
          % (sum(p["coarse"] for p in per_rank) / ranks / 1024))
    mean = sum(totals) / ranks
    print("Decomposition: %.1f kB per rank per V-cycle (mean, %d bytes), %.1f kB (largest rank, "
          "%d bytes)" % (mean / 1024, round(mean), max(totals) / 1024, max(totals)))
    try:
        stage, events = read_log(argv[2])
    except OSError as e:
        print("ERROR: cannot read \"%s\": %s" % (argv[2], e.strerror), file=sys.stderr)
        return 1
    cycles = events.get("MGSmooth Level 0", (0, 0, 0))[0]
    if stage is None or cycles == 0:
        print("PETSc counters: no \"MG Apply\" stage in \"%s\" (run with -pc_mg_log)" % argv[2])
        return 0
    for l in range(L - 1):
        p = L - 1 - l
        b = 0.0
        for kind in ("MGSmooth", "MGResid", "MGInterp"):
            _, mess, length = events.get("%s Level %d" % (kind, p), (0, 0.0, 0.0))
            b += mess * length
        print("  level %d: %.1f kB per rank per V-cycle (PETSc's counters: smoothing, residual, "
              "transfers)" % (l, b / ranks / cycles / 1024))
    _, mess, length = events.get("MGSmooth Level 0", (0, 0.0, 0.0))
    print("  coarsest: %.1f kB per rank per V-cycle (PETSc's counters)"
          % (mess * length / ranks / cycles / 1024))
    matmults = events.get("MatMult", (0, 0, 0))[0]
    measured = stage[0] * stage[1] / ranks / cycles
    print("PETSc's counters: %d V-cycles, %.1f operator applications per level and V-cycle, "
          "%.1f messages and %.1f kB per rank per V-cycle (the whole stage, %d bytes)"
          % (cycles, matmults / cycles / max(L - 1, 1), stage[0] / ranks / cycles,
             measured / 1024, round(measured)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
