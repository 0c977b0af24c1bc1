"""The mutation check of the campaign itself: each fault of mutants.txt is put into the sources in
turn, the build folder rebuilt (only what the fault touches), and a short campaign run against it;
every fault must be caught. The sources are restored after each fault, also when the check is
interrupted; a fault whose lines are no longer in its file is reported as no longer applying.
"""

import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import List

from . import campaign

# A short campaign whose seeds hold every kind of run the mutants need: silences longer and shorter
# than the tool waits, wrong-channel acknowledges, window runs a signal meets, record lines longer
# than their file size limit, failing polls, stuck channels under a signal (docs/chaos.md).
SEED = 382000
RUNS = 150
LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mutants.txt")


@dataclass
class Mutant:
    name: str
    summary: str
    file: str = ""
    suites: str = ""
    old: List[str] = field(default_factory=list)
    new: List[str] = field(default_factory=list)

    def apply(self, text):
        """The file's text with the fault in, or a reason why the fault no longer applies."""
        lines = text.split("\n")
        wanted = [line.strip() for line in self.old]
        found = [i for i in range(len(lines) - len(wanted) + 1)
                 if [line.strip() for line in lines[i:i + len(wanted)]] == wanted]
        if len(found) != 1:
            return None, "%s: its lines are found %d times (once wanted): %r" % (self.file, len(found), self.old[0])
        at = found[0]
        indent = lines[at][:len(lines[at]) - len(lines[at].lstrip())]
        return "\n".join(lines[:at] + [indent + line for line in self.new] + lines[at + len(wanted):]), None


def read_list(path=LIST) -> List[Mutant]:
    mutants = []
    with open(path) as f:
        for line in f.read().split("\n"):
            if line.startswith("== "):
                name, _, summary = line[3:].partition(": ")
                mutants.append(Mutant(name, summary))
            elif line.startswith("file: "):
                mutants[-1].file = line[6:]
            elif line.startswith("suites: "):
                mutants[-1].suites = line[8:]
            elif line.startswith("- "):
                mutants[-1].old.append(line[2:])
            elif line.startswith("+ "):
                mutants[-1].new.append(line[2:])
    return mutants


def cmake_source(build):
    """The source folder a build folder was configured from, or None."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_HOME_DIRECTORY:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def build_targets(build, targets, log):
    began = time.monotonic()
    done = subprocess.run(["cmake", "--build", build, "-j%d" % os.cpu_count(), "--target"] + targets,
                          stdout=log, stderr=subprocess.STDOUT).returncode == 0
    return done, time.monotonic() - began


def ctest(build, suites, log):
    """Whether the mutant's suites fail (the fault caught), after building them."""
    names = [n for n in suites.split("|") if n]
    built, _ = build_targets(build, names, log)
    if not built:
        return "no build"
    result = subprocess.run(["ctest", "--test-dir", build, "-R", "^(%s)$" % "|".join(names), "-j2",
                             "--timeout", "300"], stdout=log, stderr=subprocess.STDOUT)
    return "caught" if result.returncode else "missed"


def main(args, source_root):
    build = os.path.abspath(args.build[0] if args.build else os.path.join(source_root, "build-mutants"))
    runs = args.runs or RUNS
    seed = SEED if args.seed is None else args.seed
    source = cmake_source(build)
    if source is None:
        print("chaos: configuring %s from %s" % (build, source_root), flush=True)
        subprocess.run(["cmake", "-S", source_root, "-B", build, "-G", "Ninja",
                        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"], check=True, stdout=subprocess.DEVNULL)
        source = source_root
    mutants = [m for m in read_list() if not args.only or m.name in args.only]
    log_path = os.path.join(build, "mutants.log")
    print("chaos: %d mutants into %s, built in %s, %d runs from seed %d each (build log: %s)"
          % (len(mutants), source, build, runs, seed, log_path), flush=True)
    began = time.monotonic()
    rows, failed = [], False
    with open(log_path, "w") as log:
        targets = list(campaign.PROGRAMS[:3]) + ["VKRControl", "OrvaneIO"]
        if not build_targets(build, targets, log)[0]:
            print("chaos: %s does not build without a mutant; see %s" % (build, log_path), file=sys.stderr)
            return 2
        for m in mutants:
            row = check(m, source, build, targets, runs, seed, args, log)
            rows.append(row)
            failed = failed or row[1] != "caught"
            print("  %-32s %-8s %4s violations in %3s runs  %-14s ctest %-7s %4.0f s" % row, flush=True)
        # Back to the sources as they are, built.
        build_targets(build, targets, log)
    print_table(rows, runs, seed, time.monotonic() - began)
    return 1 if failed else 0


def check(m, source, build, targets, runs, seed, args, log):
    """One mutant: (name, verdict, violations, violated runs, classes, ctest, seconds)."""
    began = time.monotonic()
    path = os.path.join(source, m.file)
    try:
        with open(path) as f:
            original = f.read()
    except OSError as error:
        return (m.name, "no longer applies: %s" % error, "-", "-", "", "-", 0)
    mutated, why = m.apply(original)
    if why:
        return (m.name, "no longer applies: " + why, "-", "-", "", "-", 0)
    restore = lambda *_: open(path, "w").write(original)  # noqa: E731
    previous = {s: signal.signal(s, lambda *_: (restore(), sys.exit(130))) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        with open(path, "w") as f:
            f.write(mutated)
        built, _ = build_targets(build, targets, log)
        if not built:
            return (m.name, "does not build", "-", "-", "", "-", time.monotonic() - began)
        per_class, found = campaign.run(build, seed, runs, args.jobs)
        violations = sum(len(f[2]) for f in found)
        for plan, _, seen in found:
            log.write("%s, seed %d (%s):\n%s\n" % (m.name, plan.seed, " ".join(plan.classes()),
                                                    "\n".join("  - " + v for v in seen)))
        log.flush()
        classes = {}
        for plan, _, _ in found:
            for name in plan.classes():
                classes[name] = classes.get(name, 0) + 1
        shown = ", ".join("%s %d" % c for c in sorted(classes.items(), key=lambda c: -c[1])[:4])
        rules = sorted({v.split(":", 1)[0] for f in found for v in f[2]})
        tested = ctest(build, m.suites, log) if args.ctest else "-"
        return (m.name, "caught" if found else "MISSED", violations, len(found),
                " ".join(rules) + (" (" + shown + ")" if shown else ""), tested, time.monotonic() - began)
    finally:
        restore()
        for number, handler in previous.items():
            signal.signal(number, handler)


def print_table(rows, runs, seed, seconds):
    print()
    print("| Mutant | Campaign | Violations | Violated runs | Rules that reported them (fault classes) | ctest |")
    print("|---|---|---|---|---|---|")
    for name, verdict, violations, bad, classes, tested, _ in rows:
        print("| `%s` | %s | %s | %s | %s | %s |" % (name, verdict, violations, bad, classes, tested))
    caught = sum(1 for r in rows if r[1] == "caught")
    print()
    print("chaos: %d of %d mutants caught by %d runs from seed %d each; took %.0f s"
          % (caught, len(rows), runs, seed, seconds))
