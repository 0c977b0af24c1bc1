#!/usr/bin/env python3
"""Prints how many records survive programs that write one history and one report at once.

Usage: bench/shared-records-figures.py [BUILD-DIR] [ROUNDS] [PROGRAMS] [RUNS]
  BUILD-DIR  the build with vkr-calibrate and the stand-in libraries (default: build)
  ROUNDS     rounds (default: 5)
  PROGRAMS   vkr-calibrate processes started together in each round (default: 20)
  RUNS       runs each process calibrates side by side (default: 20): sim:channels=1,time=T with
             T = 0, 10, 20, … ms, so that their ends, and their records, come one after another

Every process appends each run to one shared --report and to one history (XDG_DATA_HOME of the
round's own, never the user's). For each round it prints the records found in the history and
in the report against the runs made, the exit statuses, and the runs that ended aborted.
"""

import collections
import json
import os
import subprocess
import sys
import tempfile
import time


def count_records(path):
    runs = 0
    try:
        with open(path, encoding="utf-8", errors="replace") as lines:
            for line in lines:
                try:
                    json.loads(line)
                    runs += 1
                except ValueError:
                    pass
    except FileNotFoundError:
        pass
    return runs


def one_round(program, programs, runs):
    with tempfile.TemporaryDirectory(prefix="vkr-shared-") as folder:
        env = dict(os.environ, XDG_DATA_HOME=folder, XDG_CONFIG_HOME=folder)
        report = os.path.join(folder, "report.jsonl")
        command = [program, "--report", report] + [f"sim:channels=1,time={10 * run}" for run in range(runs)]
        started = time.monotonic()
        processes = [subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for _ in range(programs)]
        statuses = collections.Counter()
        aborted = 0
        said = []
        for process in processes:
            output, errors = process.communicate()
            statuses[process.returncode] += 1
            aborted += output.count(b"Aborted")
            said += [line for line in errors.decode(errors="replace").splitlines() if line]
        took = time.monotonic() - started
        history = count_records(os.path.join(folder, "vkr-calibrator", "history.jsonl"))
        return history, count_records(report), statuses, aborted, said, took


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    programs = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 20
    program = os.path.join(build, "vkr-calibrate")
    expected = programs * runs
    print(f"{programs} processes x {runs} runs, {rounds} rounds")
    for round_number in range(1, rounds + 1):
        history, report, statuses, aborted, said, took = one_round(program, programs, runs)
        shown = ", ".join(f"{count} exit {status}" for status, count in sorted(statuses.items()))
        print(f"round {round_number}: history {history}/{expected}, report {report}/{expected}, "
              f"{shown}, {aborted} aborted, {len(said)} lines on stderr, {took:.1f} s")
        for line in said[:3]:
            print("    " + line)


if __name__ == "__main__":
    main()
