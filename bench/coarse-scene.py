#!/usr/bin/env python3
"""Writes a scene at half the resolution of another, for measurements that must run quickly.

Usage: coarse-scene.py SCENE OUT_SCENE

VOXEL_SIZE doubles, NUM_LEVELS drops by one (not below 3), MESH becomes an absolute path, the
fixed vertices and forces at even grid coordinates move to the halved coordinates (the others
are dropped), each kept force scaled so that the total force stays the same. Every other line
is copied as it is.
"""

import os
import sys


def main(source, target):
    folder = os.path.dirname(os.path.abspath(source))
    lines = open(source, encoding="latin-1").read().split("\n")
    out = []
    for line in lines:
        key, sep, value = line.partition(":")
        key = key.strip()
        if not sep or line.startswith("//"):
            out.append(line)
        elif key == "VOXEL_SIZE":
            out.append("VOXEL_SIZE: " + " ".join(repr(2 * float(v)) for v in value.split()))
        elif key == "NUM_LEVELS":
            out.append("NUM_LEVELS: %d" % max(3, int(value) - 1))
        elif key == "MESH":
            out.append("MESH: " + os.path.join(folder, value.strip()))
        elif key == "FIXED_VERTICES":
            v = [int(float(t)) for t in value.split()]
            kept = [p for p in zip(v[0::3], v[1::3], v[2::3]) if all(c % 2 == 0 for c in p)]
            out.append("FIXED_VERTICES: " + "  ".join("%d %d %d" % tuple(c // 2 for c in p)
                                                    for p in kept))
        elif key == "FORCES":
            v = value.split()
            forces = [v[i:i + 6] for i in range(0, len(v), 6)]
            kept = [f for f in forces if all(int(float(c)) % 2 == 0 for c in f[:3])]
            scale = len(forces) / max(1, len(kept))
            out.append("FORCES: " + "  ".join(
                "%d %d %d " % tuple(int(float(c)) // 2 for c in f[:3]) +
                " ".join(repr(float(c) * scale) for c in f[3:]) for f in kept))
        else:
            out.append(line)
    open(target, "w", encoding="latin-1").write("\n".join(out))


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] in ("--help", "-h"):
        print(__doc__.strip())
        sys.exit(0)
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    main(sys.argv[1], sys.argv[2])
