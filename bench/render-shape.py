#!/usr/bin/env python3
"""Renders OBJ shapes to one picture: each mesh seen from two directions (an oblique view from
the front and above, and a view from below), flat shaded with a z-buffer, one row per mesh.
Plain Python: the picture is written as PNG (or as PPM when OUT ends in .ppm); the captions,
top row first, are printed and kept in the PNG's text chunks.

Usage: bench/render-shape.py OUT.png CAPTION=FILE.obj [CAPTION=FILE.obj ...]
"""
import math
import os
import struct
import sys
import zlib

WIDTH, HEIGHT = 420, 260


def read_obj(path):
    vertices, faces = [], []
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            if words[0] == "v":
                vertices.append(tuple(float(w) for w in words[1:4]))
            elif words[0] == "f":
                faces.append([int(w.split("/")[0]) - 1 for w in words[1:]])
    return vertices, faces


def rotation(heading, pitch):
    ch, sh = math.cos(heading), math.sin(heading)
    cp, sp = math.cos(pitch), math.sin(pitch)
    # Heading about z, then pitch about the new x axis; the camera looks along +y.
    def apply(p):
        x, y, z = p
        x, y = ch * x - sh * y, sh * x + ch * y
        y, z = cp * y - sp * z, sp * y + cp * z
        return x, y, z
    return apply


def render(vertices, faces, heading, pitch):
    image = [[(255, 255, 255)] * WIDTH for _ in range(HEIGHT)]
    if not vertices:
        return image
    rotate = rotation(heading, pitch)
    points = [rotate(v) for v in vertices]
    xs = [p[0] for p in points]
    zs = [p[2] for p in points]
    scale = 0.92 * min(WIDTH / (max(xs) - min(xs) + 1e-12), HEIGHT / (max(zs) - min(zs) + 1e-12))
    cx, cz = (max(xs) + min(xs)) / 2, (max(zs) + min(zs)) / 2
    screen = [(WIDTH / 2 + (p[0] - cx) * scale, HEIGHT / 2 - (p[2] - cz) * scale, p[1])
              for p in points]
    depth = [[math.inf] * WIDTH for _ in range(HEIGHT)]
    light = (-0.4, -0.8, 0.45)
    norm = math.sqrt(sum(c * c for c in light))
    light = tuple(c / norm for c in light)
    for face in faces:
        for k in range(1, len(face) - 1):
            a, b, c = points[face[0]], points[face[k]], points[face[k + 1]]
            u = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
            v = (c[0] - a[0], c[1] - a[1], c[2] - a[2])
            n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
            length = math.sqrt(n[0] ** 2 + n[1] ** 2 + n[2] ** 2)
            if length == 0:
                continue
            shade = abs(sum(n[i] * light[i] for i in range(3))) / length
            colour = tuple(int(40 + 200 * shade * w) for w in (0.75, 0.82, 1.0))
            s0, s1, s2 = screen[face[0]], screen[face[k]], screen[face[k + 1]]
            x0 = max(int(min(s0[0], s1[0], s2[0])), 0)
            x1 = min(int(max(s0[0], s1[0], s2[0])) + 1, WIDTH - 1)
            y0 = max(int(min(s0[1], s1[1], s2[1])), 0)
            y1 = min(int(max(s0[1], s1[1], s2[1])) + 1, HEIGHT - 1)
            area = (s1[0] - s0[0]) * (s2[1] - s0[1]) - (s2[0] - s0[0]) * (s1[1] - s0[1])
            if area == 0:
                continue
            for y in range(y0, y1 + 1):
                py = y + 0.5
                for x in range(x0, x1 + 1):
                    px = x + 0.5
                    w0 = ((s1[0] - px) * (s2[1] - py) - (s2[0] - px) * (s1[1] - py)) / area
                    w1 = ((s2[0] - px) * (s0[1] - py) - (s0[0] - px) * (s2[1] - py)) / area
                    w2 = 1 - w0 - w1
                    if w0 < 0 or w1 < 0 or w2 < 0:
                        continue
                    d = w0 * s0[2] + w1 * s1[2] + w2 * s2[2]
                    if d < depth[y][x]:
                        depth[y][x] = d
                        image[y][x] = colour
    return image


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(
        ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def write_picture(out, rows):
    width, height = 2 * WIDTH, len(rows) * HEIGHT
    lines = [bytes(c for view in views for pixel in view[y] for c in pixel)
             for _, views in rows for y in range(HEIGHT)]
    if out.endswith(".ppm"):
        data = b"P6 %d %d 255\n" % (width, height) + b"".join(lines)
    else:
        data = b"\x89PNG\r\n\x1a\n" + png_chunk(
            b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
        for i, (caption, _) in enumerate(rows):
            data += png_chunk(b"tEXt", b"Caption %d\0" % (i + 1) +
                              caption.encode("latin-1", "replace"))
        data += png_chunk(b"IDAT", zlib.compress(b"".join(b"\0" + line for line in lines), 9))
        data += png_chunk(b"IEND", b"")
    # A picture that is being replaced is never left half-written.
    with open(out + ".tmp", "wb") as f:
        f.write(data)
    os.replace(out + ".tmp", out)


def main():
    if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return
    if len(sys.argv) < 3 or any("=" not in item for item in sys.argv[2:]):
        sys.exit("ERROR: Give the picture and at least one CAPTION=FILE.obj\n" +
                 __doc__.strip().splitlines()[-1])
    out = sys.argv[1]
    rows = []
    for item in sys.argv[2:]:
        caption, path = item.split("=", 1)
        vertices, faces = read_obj(path)
        views = [render(vertices, faces, math.radians(-30), math.radians(25)),
                 render(vertices, faces, math.radians(-30), math.radians(-60))]
        rows.append((caption, views))
    write_picture(out, rows)
    for i, (caption, _) in enumerate(rows):
        print("row %d: %s" % (i + 1, caption))
    print("Wrote %s" % out)


if __name__ == "__main__":
    main()
