"""A judged run as a folder: what the judge looked at, written so that it can look again.

    plan.json      the run as its seed drew it
    outcome.json   exit status, times, host, version, locators and the like
    log            the tool's standard output; stderr, replay.log beside it
    NAME.jsonl     report, history, record, truth (the library's) and truth-N (controller N's vkr-sim)

`tools/chaos --judge FOLDER` judges such a folder; `--keep` leaves one in each run's folder (judged/).
"""

import json
import os
from dataclasses import asdict, dataclass, field
from typing import Dict, List, Optional

from .plan import Plan


@dataclass
class Outcome:
    """What one run left: its log, exit status, files and the controllers' own accounts."""

    status: Optional[int] = None  # exit status, or -N for a signal N
    stdout: bytes = b""
    stderr: bytes = b""
    seconds: float = 0.0
    max_rss_kb: int = 0
    hung: bool = False
    locators: List[str] = field(default_factory=list)
    truth_names: List[str] = field(default_factory=list)
    files: Dict[str, bytes] = field(default_factory=dict)  # report, history, record, truth...
    sim_status: List[Optional[int]] = field(default_factory=list)
    sim_rss_kb: int = 0
    problems: List[str] = field(default_factory=list)  # the harness could not set the run up
    replay_stdout: Optional[bytes] = None
    replay_status: Optional[int] = None
    # The wall clock (seconds) just before the program started and just after it ended, the
    # machine's name and the build's version: what the records' times, host and tool must say.
    launched: float = 0.0
    ended: float = 0.0
    host: str = ""
    version: str = ""

_BYTES = {"stdout": "log", "stderr": "stderr", "replay_stdout": "replay.log"}


def save(folder, plan: Plan, outcome: Outcome):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "plan.json"), "w") as f:
        json.dump(plan.to_json(), f, indent=1)
    scalars = {k: v for k, v in asdict(outcome).items() if k not in _BYTES and k != "files"}
    with open(os.path.join(folder, "outcome.json"), "w") as f:
        json.dump(scalars, f, indent=1)
    for field, name in _BYTES.items():
        content = getattr(outcome, field)
        if content is not None:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)
    for name, content in outcome.files.items():
        with open(os.path.join(folder, name + ".jsonl"), "wb") as f:
            f.write(content)


def load(folder):
    """(plan, outcome) of a folder that save() wrote, or that a test made by hand."""
    with open(os.path.join(folder, "plan.json")) as f:
        plan = Plan.from_json(json.load(f))
    with open(os.path.join(folder, "outcome.json")) as f:
        outcome = Outcome(**json.load(f))
    for field, name in _BYTES.items():
        path = os.path.join(folder, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                setattr(outcome, field, f.read())
    for entry in sorted(os.listdir(folder)):
        if entry.endswith(".jsonl"):
            with open(os.path.join(folder, entry), "rb") as f:
                outcome.files[entry[:-len(".jsonl")]] = f.read()
    return plan, outcome
