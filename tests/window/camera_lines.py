#!/usr/bin/env python3
"""Checks of the camera lines that the window logs in automation mode
("automation: camera x=.. y=.. z=.. heading=.. pitch=.. roll=.. turn=.."), read from standard
input, for window_test.sh. Each check exits 0 when it holds, and otherwise 1 with the reason.

  last CONDITION         the last line meets the Python CONDITION (no line: it does not)
  every CONDITION        every line meets it; the first that does not is named
  steps CENTRE KIND...   every change between two consecutive lines is one step of one KIND,
                         and each KIND occurs at least three times (the counts are printed)

A CONDITION sees x, y, z, heading, pitch, roll, turn and distance (from the centre, by default
the test scene's 1,0.25,0.25; --centre X,Y,Z sets it). A KIND is QUANTITY:STEP[:LIMIT];
QUANTITY is x, y, z, heading, pitch or distance, and every other quantity stays. With a LIMIT
the last step may be shorter, ending on the LIMIT (a clamp).
"""

import argparse
import math
import re
import sys

LINE = re.compile(r"x=(\S+) y=(\S+) z=(\S+) heading=(\S+) pitch=(\S+) roll=(\S+) turn=(\S+)$")
NAMES = ["x", "y", "z", "heading", "pitch", "roll", "turn"]
# The printed precision: 3 decimals for positions (a distance sums three of them), 2 for angles.
SLACK = {"x": 0.0015, "y": 0.0015, "z": 0.0015, "heading": 0.015, "pitch": 0.015,
         "distance": 0.004}


def state(line, centre):
    match = LINE.search(line)
    if not match:
        sys.exit("not a camera line: " + line)
    v = dict(zip(NAMES, map(float, match.groups())))
    v["distance"] = math.dist((v["x"], v["y"], v["z"]), centre)
    return v


def meets(condition, v):
    return bool(eval(condition, {"math": math}, dict(v)))


def change(q, a, b):
    d = b[q] - a[q]
    return (d + 180) % 360 - 180 if q == "heading" else d


def steps(lines, centre, kinds):
    counts = [0] * len(kinds)
    for n in range(1, len(lines)):
        if lines[n] == lines[n - 1]:
            continue  # the line at the end repeats the last frame
        a, b = state(lines[n - 1], centre), state(lines[n], centre)
        for i, kind in enumerate(kinds):
            q, step = kind[0], float(kind[1])
            # A move keeps the angles and the other coordinates; an orbit step keeps the other
            # two orbit quantities (the eye moves with them).
            group = (["x", "y", "z", "heading", "pitch"] if q in ("x", "y", "z")
                     else ["heading", "pitch", "distance"])
            if any(abs(change(o, a, b)) > SLACK[o] for o in group if o != q):
                continue
            if (a["roll"], a["turn"]) != (b["roll"], b["turn"]):
                continue
            d = change(q, a, b)
            full = abs(d - step) <= 2 * SLACK[q]
            clamped = len(kind) > 2 and abs(b[q] - float(kind[2])) <= SLACK[q] and 0 < d / step <= 1
            if full or clamped:
                counts[i] += 1
                break
        else:
            sys.exit("a change that is no step of %s:\n  %s\n  %s" % (
                " ".join(":".join(k) for k in kinds), lines[n - 1], lines[n]))
    print(" ".join("%s=%d" % (":".join(k), c) for k, c in zip(kinds, counts)))
    if min(counts) < 3:
        sys.exit("too few steps")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--centre", default="1,0.25,0.25")
    parser.add_argument("check", choices=["last", "every", "steps"])
    parser.add_argument("arguments", nargs="+")
    args = parser.parse_args()
    lines = [l.strip() for l in sys.stdin if "automation: camera " in l]
    centre = [float(c) for c in args.centre.split(",")]
    if args.check == "last":
        sys.exit(0 if lines and meets(args.arguments[0], state(lines[-1], centre)) else 1)
    if args.check == "every":
        for line in lines:
            if not meets(args.arguments[0], state(line, centre)):
                sys.exit("%s does not hold: %s" % (args.arguments[0], line))
        return
    centre = [float(c) for c in args.arguments[0].split(",")]
    steps(lines, centre, [k.split(":") for k in args.arguments[1:]])


if __name__ == "__main__":
    main()
