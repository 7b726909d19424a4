#!/usr/bin/env python3
"""Seconds per design iteration of ostrel-batch without shape output, for one or two builds.

Makes the cantilever example's beam at a finer voxel size with ostrel-make-scene (0.008: about
10^6 elements), then runs `ostrel-batch --shape-every 0 --device host --threads T` of each build
for N steps, the builds one after the other in every round (so that both see the same load).
A step's time is the wall time between the moments its "Time SOLVE (total)" line and the one of
the step before appear on standard output (the program flushes it there): solve, optimize, the
shape work and everything else of the step. The first step (the reset) is left out. Per run:
the median step, its CPU time (user + system of all the program's threads between the same two
lines, read from /proc: on a shared machine it changes less with the load than the wall time),
its SOLVE and OPTIMIZE times, the V-cycles of its solve, the multiplier search's "Update" time
(medians over the steps), and the load average before the run; per build: the best run's
median step and the median step's CPU time of that run.

Usage: bench/design-iteration.py [--build DIR]... [--voxel V] [--steps N] [--rounds R]
                                 [--threads T] [--out DIR]
  --build DIR   a build folder (its bin/ holds ostrel-batch); repeatable, default: build
  --voxel V     voxel size of the beam (2 x 0.5 x 0.5), default 0.008
  --steps N     steps per run, default 4 (the first is the reset)
  --rounds R    runs of each build, default 3
  --threads T   host threads, default 2
  --out DIR     scene and run folders, default out/design-iteration
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def make_scene(build, voxel, out):
    scene = os.path.join(out, "scene.txt")
    mesh = os.path.join(out, "beam.obj")
    with open(os.path.join(ROOT, "examples", "cantilever", "beam.obj")) as src, open(mesh, "w") as dst:
        dst.write(src.read())
    subprocess.run([os.path.join(build, "bin", "ostrel-make-scene"), "--mesh", mesh, "--voxel",
                    str(voxel), "--levels", "5", "--fix", "x=0", "--load", "x=max and z=0", "0",
                    "0", "-1000", "-o", scene], check=True, stdout=subprocess.DEVNULL)
    return scene


def cpu_seconds(pid):
    """User + system time of process `pid` (all its threads) so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(build, scene, steps, threads, folder):
    command = [os.path.join(build, "bin", "ostrel-batch"), scene, "--iterations", str(steps),
               "--shape-every", "0", "--device", "host", "--threads", str(threads), "--output",
               folder]
    load = load_average()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True, bufsize=1)
    marks, cpu, solve, optimize, update, cycles = [], [], [], [], [], []
    cycle_lines = 0
    for line in process.stdout:
        if line.startswith("Residual within cycle"):
            cycle_lines += 1
        elif line.startswith("Time SOLVE (total)"):
            marks.append(time.monotonic())
            cpu.append(cpu_seconds(process.pid))
            cycles.append(cycle_lines)
            cycle_lines = 0
        elif line.startswith("Time SOLVE:"):
            numbers = re.findall(r"[-+0-9.e]+(?= s)", line)
            solve.append(float(numbers[0]))
            optimize.append(float(numbers[1]))
        elif line.startswith("Update:"):
            update.append(float(line.split()[1]))
    if process.wait() != 0:
        sys.exit("ostrel-batch failed: " + " ".join(command))
    step_times = [b - a for a, b in zip(marks, marks[1:])]
    step_cpu = [b - a for a, b in zip(cpu, cpu[1:])]
    return {"load": load, "step": statistics.median(step_times),
            "cpu": statistics.median(step_cpu), "solve": statistics.median(solve[1:]),
            "optimize": statistics.median(optimize[1:]), "cycles": statistics.median(cycles[1:]),
            "update": statistics.median(update[1:])}


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build", action="append")
    parser.add_argument("--voxel", type=float, default=0.008)
    parser.add_argument("--steps", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--out", default="out/design-iteration")
    parser.add_argument("-h", "--help", action="store_true")
    args = parser.parse_args()
    if args.help:
        print(__doc__)
        return
    builds = args.build or [os.path.join(ROOT, "build")]
    os.makedirs(args.out, exist_ok=True)
    scene = make_scene(builds[-1], args.voxel, args.out)
    best = {}
    print("%-40s %6s %9s %9s %9s %9s %7s %9s" % ("build", "load", "step s", "cpu s", "solve s",
                                                 "optim. s", "cycles", "update s"))
    for r in range(args.rounds):
        for i, build in enumerate(builds):
            folder = os.path.join(args.out, "run-%d-%d" % (i, r))
            t = run(build, scene, args.steps, args.threads, folder)
            print("%-40s %6s %9.3f %9.3f %9.3f %9.3f %7g %9.3f" % (
                build[-40:], t["load"], t["step"], t["cpu"], t["solve"], t["optimize"],
                t["cycles"], t["update"]), flush=True)
            if build not in best or t["step"] < best[build]["step"]:
                best[build] = t
    for build in builds:
        print("best step of %s: %.3f s (cpu %.3f s)" % (build, best[build]["step"],
                                                        best[build]["cpu"]))
    best = {build: t["step"] for build, t in best.items()}
    if len(builds) == 2:
        a, b = best[builds[0]], best[builds[1]]
        print("second against first: %.1f %% less time per design iteration" % (100 * (a - b) / a))


if __name__ == "__main__":
    main()
