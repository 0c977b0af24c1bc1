"""Checks what one chaos run left behind: the log, the report line, the history line and the exit
status must tell the same story, and that story must be what the controllers themselves saw."""

import json
import re
import signal
from typing import Dict, List, Optional

from .execute import Outcome
from .plan import Controller, Plan

STATUS_OF = {"calibrated": 0, "calibrated-with-errors": 1, "incomplete": 1, "not-opened": 2, "aborted": 3}
COUNTED = ("getSensorEnabled", "setSensorEnabled", "calibrateSensor", "getStatus")
BEFORE_CHANNELS = ("getSensorEnabled", "setSensorEnabled", "getNumberOfChannels")
REPLY_FAULTS = ("garbage", "wrongname", "wrongcount", "wrongchannel", "bigvalue", "silent", "hangup")
MEMORY_BOUND_KB = 256 * 1024

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


class Judge:
    def __init__(self, plan: Plan, result: Outcome):
        self.plan = plan
        self.r = result
        self.violations: List[str] = []
        self.killed = plan.sigkill_at is not None and result.status == -9
        self.third = b"third signal" in result.stderr
        self.log_lost = plan.stdout_lines is not None
        self.write_trouble = plan.file_size_limit is not None or (plan.tmpfs_pages is not None)
        # A signal that came before the program took its signals over ends it as signals end programs.
        self.early_signal = result.status is not None and result.status < 0 and not self.killed and any(
            -result.status == getattr(signal, name) for _, name in plan.signals)

    def __call__(self) -> List[str]:
        v = self.violations
        r = self.r
        v.extend("harness: " + p for p in r.problems)
        if r.problems:
            return v
        if r.hung:
            v.append("hang: no end within %.0f s" % self.plan.bound_s)
        if r.max_rss_kb > MEMORY_BOUND_KB or r.sim_rss_kb > MEMORY_BOUND_KB:
            v.append("memory: %d kB resident at most" % max(r.max_rss_kb, r.sim_rss_kb))
        if r.status is not None and r.status < 0 and not self.killed and not r.hung:
            if not self.early_signal:
                v.append("exit: ended by signal %d" % -r.status)
            elif r.stdout:
                v.append("exit: ended by signal %d after the log began" % -r.status)
        files = {}
        for name, content in r.files.items():
            torn_allowed = name == "record" and (self.write_trouble or self.killed or self.third)
            files[name] = json_lines(name, content, v, torn_allowed)
        history = self.by_locator("history", files.get("history", []))
        if self.plan.window:
            self.check_window_run(r.locators[0], history.get(r.locators[0]))
            return v
        reports = self.by_locator("report", files.get("report", []))
        logs = split_log(r.stdout, r.locators)
        if None in logs:
            v.append("log: lines of no run: %r" % logs[None][:2])
        worst = 0
        for index, locator in enumerate(r.locators):
            outcome = self.check_run(index, locator, logs.get(locator, []), reports.get(locator),
                                     history.get(locator))
            worst = max(worst, STATUS_OF.get(outcome, 0))
        self.check_status(worst)
        # A time-out replays as it ran only when the machine is as quick as it was: logs with one
        # are left out.
        timed_out = b"Error: 15\n" in r.stdout or b"Error: 15\n" in (r.replay_stdout or b"")
        if r.replay_stdout is not None and r.replay_stdout != r.stdout and not timed_out:
            v.append("replay: the recording replays to another log (%d bytes against %d)"
                     % (len(r.replay_stdout), len(r.stdout)))
        return v

    def by_locator(self, name, records):
        found = {}
        for record in records:
            locator = record.get("locator")
            if locator == "chaos:earlier":  # put there before the run
                continue
            if locator not in self.r.locators:
                self.violations.append("%s: a line for %r, which this run does not calibrate" % (name, locator))
            elif locator in found:
                self.violations.append("%s: two lines for %s" % (name, locator))
            found[locator] = record
        return found

    def may_lack(self, what):
        """Whether a run's report or history line may be missing, and is said to be."""
        if self.killed or self.third or self.early_signal:
            return True
        said = b"cannot write the report" if what == "report" else b"cannot write the calibration history"
        return said in self.r.stderr

    def check_run(self, index, locator, lines, report, history):
        v = self.violations
        problems = []
        log = LogAccount(lines, problems)
        v.extend("log: " + p for p in problems)
        if log.summary is not None and log.summary != log.counted:
            v.append("log: %s's summary counts %d errors, its lines %d" % (locator, log.summary, log.counted))
        if report is None:
            if not self.may_lack("report"):
                v.append("report: no line for %s" % locator)
        else:
            outcome, errors, channels, failures = report_story(report)
            counted = sum(1 for f in failures if f[0] in COUNTED)
            if errors != counted:
                v.append("report: %s counts %s errors, its failures %d" % (locator, errors, counted))
            if not self.log_lost and not self.killed and (outcome, errors, channels, failures) != (
                    log.outcome, log.counted, log.channels, log.failures):
                v.append("report and log disagree for %s: report %s, log %s" % (
                    locator, (outcome, errors, channels, failures),
                    (log.outcome, log.counted, log.channels, log.failures)))
        if history is None:
            if report is not None and not self.may_lack("history"):
                v.append("history: no line for %s" % locator)
        elif report is not None:
            keep = lambda e: {k: e.get(k) for k in report if k not in ("source", "host")}
            if keep(history) != keep(report):
                v.append("history and report disagree for %s" % locator)
            if history.get("source") != "command-line":
                v.append("history: source %r" % history.get("source"))
        self.check_truth(index, locator, report)
        return (report or {}).get("outcome") or log.outcome

    def check_window_run(self, locator, entry):
        """The window leaves its history line alone: it must be there, whole and consistent, and tell
        what the controller saw; the window program ends with 0, or 3 on the third signal."""
        v = self.violations
        ended_at_once = self.killed or self.third or self.early_signal or self.r.hung
        if entry is None:
            if not ended_at_once:
                v.append("history: the window left no line for %s" % locator)
            return
        outcome, errors, _, failures = report_story(entry)
        if outcome not in STATUS_OF:
            v.append("history: outcome %r for %s" % (outcome, locator))
        if errors != sum(1 for f in failures if f[0] in COUNTED):
            v.append("history: %s counts %s errors, its failures %d" % (locator, errors, len(failures)))
        if entry.get("source") != "window":
            v.append("history: source %r" % entry.get("source"))
        if not (entry.get("tool") or {}).get("version"):
            v.append("history: the window's line names no tool version")
        self.check_truth(0, locator, entry)
        if not ended_at_once and self.r.status != 0:
            v.append("exit status %s of the window program" % self.r.status)

    def check_status(self, worst):
        r, v = self.r, self.violations
        if self.killed or r.hung or self.early_signal or r.status is None:
            return
        allowed = {worst}
        if self.plan.signals:
            allowed.add(3)
        if self.log_lost or self.write_trouble:
            allowed.add(74)
        if self.write_trouble and (b"cannot write the report" in r.stderr or b"cannot write the recording" in r.stderr):
            allowed.add(64)
        if self.third:
            allowed = {3}
        if r.status not in allowed:
            v.append("exit status %d, the runs' outcomes make %s" % (r.status, sorted(allowed)))
        if r.status == 74 and b"vkr-calibrate: " not in r.stderr:
            v.append("exit status 74 without a word on standard error")

    def truth_events(self, index, locator):
        """The account of the run's controller: its lines of the library's shared file, or its
        vkr-sim's own file (torn lines there are reported with the other files)."""
        if self.plan.controllers[index].branch == "library":
            shared = json_lines("truth", self.r.files.get("truth", b""), [])
            return [e for e in shared if e.get("controller") == locator]
        return json_lines("truth-%d" % index, self.r.files.get("truth-%d" % index, b""), [])

    def check_truth(self, index, locator, report):
        c: Controller = self.plan.controllers[index]
        v = self.violations
        if report is None:
            return
        events = self.truth_events(index, locator)
        state, started = {}, set()
        unreachable = c.unreachable or any(e.get("event") in ("silent", "hangup") for e in events)
        for e in events:
            kind, channel = e.get("event"), e.get("channel")
            if kind == "started":
                state[channel] = "running"
                started.add(channel)
            elif kind in ("completed", "stopped"):
                state[channel] = kind
        if report.get("outcome") != "not-opened" and not any(e.get("event") == "handshake" for e in events):
            v.append("truth: %s was reported opened, its controller saw no handshake" % locator)
        reported = set()
        # Whether a calibration the controller started may have looked refused to the tool: its
        # reply was spoilt, or a reply that came after its time-out was read as the next one's (a
        # slow reply of the scenario, or a controller held up by a loaded machine).
        timed_out = any(f[2] == 15 for f in report_story(report)[3])
        cs_faulted = unreachable or timed_out or "slowbytes@" in c.scenario or c.comeback_stuck is not None \
            or any(f in c.scenario and "CS" in c.scenario for f in REPLY_FAULTS)
        for channel, result, code in report_story(report)[2]:
            reported.add(channel)
            final = state.get(channel)
            if result == "calibrated" and final != "completed":
                v.append("truth: %s channel %d reported calibrated, its controller says %s" % (locator, channel, final))
            elif result in ("no-sensor", "failed") and code != 0 and channel in started and not cs_faulted and \
                    not any(f[0] == "getStatus" and f[1] == channel for f in report_story(report)[3]):
                v.append("truth: %s channel %d reported %s, yet its controller calibrated it" % (locator, channel, result))
            elif result == "aborted" and final == "running" and not (c.stop_refused or unreachable):
                v.append("truth: %s channel %d reported aborted, its controller still calibrates it" % (locator, channel))
        # The wait given up on a controller that fell silent ends with a stop, which the controller
        # carries out though its reply is lost.
        given_up = c.comeback_stuck
        if given_up is not None and not (self.killed or self.third) and state.get(given_up) != "stopped":
            v.append("truth: %s channel %d, whose wait was given up, was never stopped: its controller says %s"
                     % (locator, given_up, state.get(given_up)))
        for channel in sorted(started - reported):
            v.append("truth: %s channel %d was calibrated by its controller, the report does not name it"
                     % (locator, channel))
