"""Runs seeded chaos runs side by side and judges each: the campaign without its printing."""

import os
from concurrent.futures import ThreadPoolExecutor

from . import execute, judge, plan as planning
from .runfolder import Outcome

PROGRAMS = ("vkr-calibrate", "vkr-chaos-window", "vkr-sim", "libVKRControl.so")


def missing_program(build):
    """The first program the campaign needs that the build lacks, or None."""
    return next((p for p in PROGRAMS if not os.path.exists(os.path.join(build, p))), None)


def run_one(seed, build, root, keep):
    plan = planning.draw(seed, root)
    try:
        result = execute.Run(plan, build, keep)()
    except Exception as error:  # a fault of the harness is shown as its run's violation
        result = Outcome(problems=["the harness failed: %r" % error])
    return plan, result, judge.Judge(plan, result)()


def run(build, seed, runs, jobs, keep=False, each=None):
    """Judges runs seed .. seed+runs-1; each(plan, result, violations) as they come, in seed order.
    Returns {fault class: (runs, violated runs)} and [(plan, result, violations)] of violated runs."""
    root = os.geteuid() == 0
    per_class, found = {}, []
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = [pool.submit(run_one, s, build, root, keep) for s in range(seed, seed + runs)]
        for future in futures:
            plan, result, violations = future.result()
            for name in plan.classes():
                ran, bad = per_class.get(name, (0, 0))
                per_class[name] = (ran + 1, bad + (1 if violations else 0))
            if each:
                each(plan, result, violations)
            if violations:
                found.append((plan, result, violations))
    return per_class, found
