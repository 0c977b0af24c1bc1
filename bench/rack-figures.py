#!/usr/bin/env python3
"""Prints how long vkr-calibrate takes for racks of simulated controllers calibrated at once.

Usage: bench/rack-figures.py [BUILD-DIR] [ROUNDS] [SIZES]
  BUILD-DIR  the build with vkr-calibrate and the stand-in libraries (default: build)
  ROUNDS     runs of each rack size (default: 5)
  SIZES      comma-separated rack sizes (default: 1,100,1000)

Every controller is sim:channels=1,time=2000 (one channel calibrating for 2 s), so a rack can
take no less than one run. For each size the rounds' wall times and the processor time of the
process (user + system) are printed, then their medians and the median against one run. The
runs go to a report and a history of their own, in a temporary folder, as the program's
defaults write them: the user's history is never touched. Run it on an otherwise quiet machine;
the open file limit must leave room for the largest rack.
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

LOCATOR = "sim:channels=1,time=2000"


def one_run(program, size):
    with tempfile.TemporaryDirectory(prefix="vkr-rack-") as folder:
        env = dict(os.environ, XDG_DATA_HOME=folder, XDG_CONFIG_HOME=folder)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.monotonic()
        result = subprocess.run([program] + [LOCATOR] * size, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.monotonic() - started
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0:
        sys.exit("vkr-calibrate ended with %d: %s" % (result.returncode, result.stderr.decode()[-400:]))
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    sizes = [int(s) for s in (sys.argv[3] if len(sys.argv) > 3 else "1,100,1000").split(",")]
    program = os.path.join(build, "vkr-calibrate")
    print("open file limit %d, %d processors, load average %.1f" %
          (resource.getrlimit(resource.RLIMIT_NOFILE)[0], os.cpu_count(), os.getloadavg()[0]))
    walls = {size: [] for size in sizes}
    cpus = {size: [] for size in sizes}
    # Sizes in turn within each round, so that a spell of load elsewhere falls on all of them.
    for round_number in range(1, rounds + 1):
        for size in sizes:
            wall, cpu = one_run(program, size)
            walls[size].append(wall)
            cpus[size].append(cpu)
            print("round %d, %4d controllers: %.2f s, processor %.2f s" % (round_number, size, wall, cpu))
    one = statistics.median(walls[sizes[0]]) if sizes[0] == 1 else None
    print("\ncontrollers | median wall s | median processor s | against one run")
    for size in sizes:
        wall = statistics.median(walls[size])
        ratio = "%.2fx" % (wall / one) if one else "-"
        print("%d | %.2f | %.2f | %s" % (size, wall, statistics.median(cpus[size]), ratio))


if __name__ == "__main__":
    main()
