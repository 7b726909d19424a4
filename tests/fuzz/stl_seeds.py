#!/usr/bin/env python3
"""Writes a tetrahedron as ASCII and as binary STL into a folder: seeds for the mesh fuzzer.

Usage: stl_seeds.py FOLDER
"""
import struct
import sys

VERTICES = [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)]
FACES = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]


def main():
    if len(sys.argv) != 2 or sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if len(sys.argv) == 2 else 2
    folder = sys.argv[1]
    with open(folder + "/tetra-ascii.stl", "w") as f:
        f.write("solid tetra\n")
        for face in FACES:
            f.write(" facet normal 0 0 0\n  outer loop\n")
            for i in face:
                f.write("   vertex %g %g %g\n" % VERTICES[i])
            f.write("  endloop\n endfacet\n")
        f.write("endsolid tetra\n")
    with open(folder + "/tetra-binary.stl", "wb") as f:
        f.write(b"binary tetra".ljust(80, b" ") + struct.pack("<I", len(FACES)))
        for face in FACES:
            f.write(struct.pack("<3f", 0, 0, 0))
            for i in face:
                f.write(struct.pack("<3f", *VERTICES[i]))
            f.write(struct.pack("<H", 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
