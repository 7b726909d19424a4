#!/usr/bin/env python3
"""Runs one command and measures it, for bench/petsc-engine.sh.

Usage: measure-run.py run LOG -- COMMAND...
       measure-run.py peak FILE -- COMMAND...
       measure-run.py steps LOG

  run: runs COMMAND with its standard output and error in LOG, and prints one line
        wall SECONDS steps N mean SECONDS min SECONDS max SECONDS status CODE peak MB
      wall: the whole run; steps: the progress lines ("Iteration k/N ... <time>  left ...")
      found, and the mean, least and largest of their step times (the program's own timing
      of each design iteration, without the set-up and the final files); peak: the largest
      resident set of COMMAND and its children (under mpirun: of one rank, the largest).
  peak: runs COMMAND (standard streams passed through) and writes its peak resident memory in
      MB (the largest resident set of the command and its children, from getrusage) to
      FILE.<rank>, rank from Open MPI's OMPI_COMM_WORLD_RANK (0 without it); run it under
      mpirun as the rank program to measure every rank. Exits with COMMAND's status.
  steps: prints the step-time line above for an existing LOG (wall 0).
"""

import os
import re
import resource
import subprocess
import sys
import time

# "Iteration 3/10  compliance ...  cycles 21  3.8 s  left 7.0 s"; a step of a minute or more
# reads "1 min 05 s", of an hour or more "1 h 02 min".
PROGRESS = re.compile(r"^Iteration \d+/\d+ .*?  ((?:\d+ h \d+ min)|(?:\d+ min \d+ s)|(?:[\d.]+ s))"
                      r"  left ")


def seconds(text):
    words = text.split()
    if words[1] == "h":
        return 3600.0 * float(words[0]) + 60.0 * float(words[2])
    if words[1] == "min":
        return 60.0 * float(words[0]) + float(words[2])
    return float(words[0])


def step_times(log):
    times = []
    try:
        f = open(log, encoding="utf-8", errors="replace")
    except OSError as e:
        sys.exit("ERROR: cannot read \"%s\": %s" % (log, e.strerror))
    with f:
        for line in f:
            m = PROGRESS.match(line.rstrip("\n"))
            if m:
                times.append(seconds(m.group(1)))
    return times


def step_line(times):
    if not times:
        return "steps 0 mean nan min nan max nan"
    return "steps %d mean %.2f min %.1f max %.1f" % (len(times), sum(times) / len(times),
                                                       min(times), max(times))


def split_command(args):
    if "--" not in args:
        sys.exit("ERROR: measure-run.py: no \"--\" before the command")
    at = args.index("--")
    if at + 1 >= len(args):
        sys.exit("ERROR: measure-run.py: no command after \"--\"")
    return args[:at], args[at + 1:]


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    mode = argv[1]
    if mode == "steps" and len(argv) == 3:
        print("wall 0 " + step_line(step_times(argv[2])) + " status 0 peak 0")
        return 0
    head, command = split_command(argv[2:])
    if len(head) != 1 or mode not in ("run", "peak"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if mode == "run":
        log = head[0]
        start = time.monotonic()
        with open(log, "w", encoding="utf-8") as out:
            status = subprocess.call(command, stdout=out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        wall = time.monotonic() - start
        peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        print("wall %.2f %s status %d peak %.1f" % (wall, step_line(step_times(log)), status,
                                                   peak_kb / 1024.0))
        return 0
    status = subprocess.call(command)
    peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss  # kB on Linux
    rank = os.environ.get("OMPI_COMM_WORLD_RANK", "0")
    with open("%s.%s" % (head[0], rank), "w", encoding="utf-8") as out:
        out.write("%.1f\n" % (peak_kb / 1024.0))
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
