"""A run's account as its pieces tell it: the log read back into steps, a report or history line
as the same steps, the JSON lines of a file. Reading only; what must hold is the judge's."""

import json
import re
from typing import Dict, List, Optional

COUNTED = ("getSensorEnabled", "setSensorEnabled", "calibrateSensor", "getStatus")
BEFORE_CHANNELS = ("getSensorEnabled", "setSensorEnabled", "getNumberOfChannels")

FAILURE_LINES = [
    (re.compile(r"Could not initialize! Error: (\d+)$"), "open"),
    (re.compile(r"Could not read sensor enabled mode! Error: (\d+)$"), "getSensorEnabled"),
    (re.compile(r"Could not set Power Save Mode! Error: (\d+)$"), "setSensorEnabled"),
    (re.compile(r"Could not get number of channels! Error: (\d+)$"), "getNumberOfChannels"),
]
PLAIN_LINES = ("Starting calibration...", "Successfully initialized.", "Sensors disabled. Setting to Power Save Mode.",
               "", "Aborting.", "Aborted before starting.")
NO_SENSOR = re.compile(r"\tChannel (\d+): no sensor$")
NOT_CALIBRATED = re.compile(r"Could not calibrate channel (\d+)! Error: (\d+)$")
CALIBRATING = re.compile(r"\tChannel (\d+): calibrating\.\.\. (.*)$")
STATUS_FAILED = re.compile(r"Could not get status of channel (\d+)! Error: (\d+)$")
SUMMARY = re.compile(r"Calibration routine finished with (\d+) errors\.$")


class LogAccount:
    """A run's story as its log tells it."""

    def __init__(self, lines: List[str], problems: List[str]):
        self.lines = lines
        self.failures = []  # (step, channel, code)
        self.channels = []  # (channel, result, code)
        self.summary: Optional[int] = None
        for line in lines:
            self.take(line, problems)

    def take(self, line, problems):
        if line in PLAIN_LINES:
            return
        for pattern, step in FAILURE_LINES:
            m = pattern.match(line)
            if m:
                self.failures.append((step, None, int(m.group(1))))
                return
        m = NO_SENSOR.match(line)
        if m:
            self.channels.append((int(m.group(1)), "no-sensor", 129))
            return
        m = NOT_CALIBRATED.match(line)
        if m:
            channel, code = int(m.group(1)), int(m.group(2))
            self.channels.append((channel, "failed", code))
            self.failures.append(("calibrateSensor", channel, code))
            return
        m = CALIBRATING.match(line)
        if m:
            self.take_wait(int(m.group(1)), m.group(2), problems)
            return
        m = SUMMARY.match(line)
        if m:
            self.summary = int(m.group(1))
            return
        problems.append("the log has a line no run writes: %r" % line)

    def take_wait(self, channel, ending, problems):
        m = STATUS_FAILED.match(ending)
        if ending == "done.":
            self.channels.append((channel, "calibrated", 0))
        elif ending == "Aborting.":
            self.channels.append((channel, "aborted", 0))
        elif m and int(m.group(1)) == channel:
            self.channels.append((channel, "failed", int(m.group(2))))
            self.failures.append(("getStatus", channel, int(m.group(2))))
        elif ending:
            problems.append("channel %d's wait ends oddly in the log: %r" % (channel, ending))

    @property
    def counted(self):
        return sum(1 for f in self.failures if f[0] in COUNTED)

    @property
    def outcome(self):
        if any(f[0] == "open" for f in self.failures):
            return "not-opened"
        if self.summary is None:
            return "aborted"
        if any(f[0] in BEFORE_CHANNELS for f in self.failures):
            return "incomplete"
        return "calibrated-with-errors" if self.summary else "calibrated"


def report_story(entry):
    channels = [(c.get("channel"), c.get("result"), c.get("code")) for c in entry.get("channels", [])]
    failures = [(f.get("step"), f.get("channel"), f.get("code")) for f in entry.get("failures", [])]
    return entry.get("outcome"), entry.get("errors"), channels, failures


def json_lines(name, content, violations, torn_allowed=False):
    """The file's records; a line that is no JSON object, or a last line without its line feed, is
    a torn line."""
    records = []
    lines = content.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    elif lines and not torn_allowed:
        violations.append("torn line: %s ends without a line feed" % name)
    for number, line in enumerate(lines, 1):
        try:
            records.append(json.loads(line.decode("utf-8", "surrogateescape")))
        except ValueError:
            if not (torn_allowed and number == len(lines)):
                violations.append("torn line: %s line %d is not JSON: %r" % (name, number, line[:80]))
    return records


def split_log(stdout: bytes, locators: List[str]) -> Dict[str, List[str]]:
    text = stdout.decode("utf-8", "replace")
    if text.endswith("\n"):
        text = text[:-1]
    lines = text.split("\n") if text else []
    if len(locators) == 1:
        return {locators[0]: lines}
    found = {locator: [] for locator in locators}
    for line in lines:
        for locator in locators:
            prefix = "[%s] " % locator
            if line.startswith(prefix):
                found[locator].append(line[len(prefix):])
                break
        else:
            found.setdefault(None, []).append(line)
    return found


class TruthAccount:
    """A controller's own account (its truth events) read into what happened to each channel."""

    # Events a controller notes on its own once the run has let it go: not the run's.
    AFTERWARDS = ("ended", "running")

    def __init__(self, events: List[dict]):
        self.events = events
        self.state: Dict[int, str] = {}
        self.started: List[int] = []  # in the order the controller started them
        self.began: Dict[int, float] = {}  # channel: seconds of its last start
        self.span: Dict[int, float] = {}  # channel: seconds from its start to its completion or stop
        # Seconds of every event a command of the run caused (a close is noted when the controller
        # hears of it, which may be after the run).
        self.moments: List[float] = []
        self.first: Dict[str, float] = {}  # event: seconds of its first note
        let_go = False
        for e in events:
            kind, channel, t = e.get("event"), e.get("channel"), e.get("t", 0) / 1e6
            self.first.setdefault(kind, t)
            # The handshake's closes, at each speed, come before it is noted.
            let_go = let_go or kind in self.AFTERWARDS or (kind == "closed" and "handshake" in self.first)
            if not let_go and kind != "closed":
                self.moments.append(t)
            if kind == "started":
                self.state[channel] = "running"
                self.started.append(channel)
                self.began[channel] = t
            elif kind in ("completed", "stopped"):
                self.state[channel] = kind
                if not let_go and channel in self.began:
                    self.span[channel] = t - self.began[channel]
            if kind == "hangup":
                let_go = True

    def saw(self, kind) -> bool:
        return kind in self.first
