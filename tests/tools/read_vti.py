#!/usr/bin/env python3
"""Reads a VTK XML image-data file (.vti) with appended raw data, independently of the writer.

Usage: read_vti.py FILE.vti

Prints the grid and every array as text, one item per line:
  extent X0 X1 Y0 Y1 Z0 Z1
  origin X Y Z
  spacing X Y Z
  direction D0 ... D8
  array POINT|CELL NAME TYPE COMPONENTS COUNT V1 V2 ...
Values use repr() of the decoded numbers. Exits 1 with a message on standard error when the
file breaks a rule of the format (sizes that do not match the extent, offsets beyond the data).
"""

import struct
import sys
import xml.etree.ElementTree as ET

TYPES = {"Float32": "f", "Float64": "d", "UInt8": "B", "Int8": "b", "UInt16": "H", "Int16": "h",
         "UInt32": "I", "Int32": "i", "UInt64": "Q", "Int64": "q"}


def fail(message):
    print("read_vti: " + message, file=sys.stderr)
    sys.exit(1)


def main(path):
    data = open(path, "rb").read()
    start = data.find(b"<AppendedData")
    if start < 0:
        fail("no AppendedData block")
    header = data[:start].decode("ascii") + "</VTKFile>"
    root = ET.fromstring(header)
    if root.get("type") != "ImageData" or root.get("byte_order") != "LittleEndian":
        fail("not little-endian image data")
    size_format = "<Q" if root.get("header_type") == "UInt64" else "<I"
    size_bytes = struct.calcsize(size_format)
    marker = data.find(b"_", data.find(b">", start))
    if marker < 0:
        fail("no '_' marker")
    raw = data[marker + 1:]

    image = root.find("ImageData")
    extent = [int(v) for v in image.get("WholeExtent").split()]
    cells = (extent[1] - extent[0]) * (extent[3] - extent[2]) * (extent[5] - extent[4])
    points = (extent[1] - extent[0] + 1) * (extent[3] - extent[2] + 1) * (extent[5] - extent[4] + 1)
    print("extent", *extent)
    print("origin", *image.get("Origin").split())
    print("spacing", *image.get("Spacing").split())
    print("direction", *(image.get("Direction") or "1 0 0 0 1 0 0 0 1").split())
    piece = image.find("Piece")
    for section, count in (("PointData", points), ("CellData", cells)):
        block = piece.find(section)
        if block is None:
            continue
        for array in block.findall("DataArray"):
            if array.get("format") != "appended":
                fail("array %s is not appended" % array.get("Name"))
            code = TYPES[array.get("type")]
            components = int(array.get("NumberOfComponents", "1"))
            offset = int(array.get("offset"))
            if offset + size_bytes > len(raw):
                fail("offset of %s beyond the data" % array.get("Name"))
            (nbytes,) = struct.unpack_from(size_format, raw, offset)
            expected = count * components * struct.calcsize(code)
            if nbytes != expected:
                fail("%s holds %d bytes, the extent needs %d" % (array.get("Name"), nbytes, expected))
            if offset + size_bytes + nbytes > len(raw):
                fail("%s runs past the end of the file" % array.get("Name"))
            values = struct.unpack_from("<%d%s" % (count * components, code), raw,
                                        offset + size_bytes)
            print("array", "POINT" if section == "PointData" else "CELL", array.get("Name"),
                  array.get("type"), components, count * components, *[repr(v) for v in values])


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        sys.exit(0)
    if len(sys.argv) != 2:
        fail("usage: read_vti.py FILE.vti")
    main(sys.argv[1])
