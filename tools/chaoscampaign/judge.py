"""The rules of what is true of one chaos run. The log, the report line, the history line and the
exit status must tell the same story; that story must be the one the calibration routine writes for
the controllers' scenarios (routine.py), and agree with what the controllers themselves saw.

Every violation names its rule first ("log-text: ..."); docs/chaos.md lists the rules beside the
fault classes that exercise them.
"""

import signal
from datetime import datetime
from typing import List

from .plan import SILENCE_LIMIT_S, Controller, Plan
from .routine import MALFORMED, TIMED_OUT, predict
from .runfolder import Outcome
from .story import COUNTED, LogAccount, TruthAccount, json_lines, report_story, split_log

STATUS_OF = {"calibrated": 0, "calibrated-with-errors": 1, "incomplete": 1, "not-opened": 2, "aborted": 3}
REPLY_FAULTS = ("garbage", "wrongname", "wrongcount", "wrongchannel", "bigvalue", "silent", "hangup")
MEMORY_BOUND_KB = 256 * 1024
# A channel's seconds cover the controller's own span of it, and exceed it by less than this: the
# command's way there and the last status reply's way back, on a loaded machine.
SECONDS_SLACK = 2.0
# How far a record's times may stand outside what the harness and the controllers saw: the record
# keeps milliseconds, cut, not rounded.
CLOCK_SLACK = 0.005
# Codes an exchange yields when the line went away (8, 10), or the controller stopped answering (15).
LINE_GONE_CODES = (1, 8, 10, TIMED_OUT)


def _time(text):
    try:
        return datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()
    except (AttributeError, ValueError):
        return None


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
        self.may_abort = bool(plan.signals) or self.log_lost or self.write_trouble
        self.cut_short = self.killed or self.third or self.early_signal or result.hung or self.log_lost

    def violate(self, rule, text):
        self.violations.append("%s: %s" % (rule, text))

    def __call__(self) -> List[str]:
        r = self.r
        for p in r.problems:
            self.violate("harness", p)
        if r.problems:
            return self.violations
        if r.hung:
            self.violate("hang", "no end within %.0f s" % self.plan.bound_s)
        if r.max_rss_kb > MEMORY_BOUND_KB or r.sim_rss_kb > MEMORY_BOUND_KB:
            self.violate("memory", "%d kB resident at most" % max(r.max_rss_kb, r.sim_rss_kb))
        if r.status is not None and r.status < 0 and not self.killed and not r.hung:
            if not self.early_signal:
                self.violate("exit-status", "ended by signal %d" % -r.status)
            elif r.stdout:
                self.violate("exit-status", "ended by signal %d after the log began" % -r.status)
        files = {}
        for name, content in r.files.items():
            torn_allowed = name == "record" and (self.write_trouble or self.killed or self.third)
            torn = []
            files[name] = json_lines(name, content, torn, torn_allowed)
            for t in torn:
                self.violate("torn-line", t)
        history = self.by_locator("history", files.get("history", []))
        if self.plan.window:
            self.check_window_run(r.locators[0], history.get(r.locators[0]))
            return self.violations
        reports = self.by_locator("report", files.get("report", []))
        logs = split_log(r.stdout, r.locators)
        if None in logs:
            self.violate("log-line", "lines of no run: %r" % logs[None][:2])
        worst = 0
        for index, locator in enumerate(r.locators):
            outcome = self.check_run(index, locator, logs.get(locator, []), reports.get(locator),
                                     history.get(locator))
            worst = max(worst, STATUS_OF.get(outcome, 0))
        self.check_status(worst)
        self.check_replay()
        return self.violations

    def check_replay(self):
        """A recording replays to the same log; a time-out replays as it ran only when the machine is
        as quick as it was, so logs with one are left out."""
        r = self.r
        timed_out = b"Error: 15\n" in r.stdout or b"Error: 15\n" in (r.replay_stdout or b"")
        if r.replay_stdout is not None and r.replay_stdout != r.stdout and not timed_out:
            self.violate("replay", "the recording replays to another log (%d bytes against %d)"
                         % (len(r.replay_stdout), len(r.stdout)))

    def by_locator(self, name, records):
        found = {}
        for record in records:
            locator = record.get("locator")
            if locator == "chaos:earlier":  # put there before the run
                continue
            if locator not in self.r.locators:
                self.violate("record-locator", "%s: a line for %r, which this run does not calibrate" % (name, locator))
            elif locator in found:
                self.violate("record-once", "%s: two lines for %s" % (name, locator))
            found[locator] = record
        return found

    def may_lack(self, what):
        """Whether a run's report or history line may be missing, and is said to be."""
        if self.killed or self.third or self.early_signal:
            return True
        said = b"cannot write the report" if what == "report" else b"cannot write the calibration history"
        return said in self.r.stderr

    def check_run(self, index, locator, lines, report, history):
        problems = []
        log = LogAccount(lines, problems)
        for p in problems:
            self.violate("log-line", p)
        if log.summary is not None and log.summary != log.counted:
            self.violate("summary-count", "%s's summary counts %d errors, its lines %d"
                         % (locator, log.summary, log.counted))
        self.check_log_text(index, locator, lines)
        if report is None:
            if not self.may_lack("report"):
                self.violate("report-missing", "no line for %s" % locator)
        else:
            outcome, errors, channels, failures = report_story(report)
            counted = sum(1 for f in failures if f[0] in COUNTED)
            if errors != counted:
                self.violate("report-count", "%s counts %s errors, its failures %d" % (locator, errors, counted))
            if not self.log_lost and not self.killed and (outcome, errors, channels, failures) != (
                    log.outcome, log.counted, log.channels, log.failures):
                self.violate("report-vs-log", "they disagree for %s: report %s, log %s" % (
                    locator, (outcome, errors, channels, failures),
                    (log.outcome, log.counted, log.channels, log.failures)))
            self.check_record(index, locator, report, "report", "command-line")
        if history is None:
            if report is not None and not self.may_lack("history"):
                self.violate("history-missing", "no line for %s" % locator)
        elif report is not None:
            keep = lambda e: {k: e.get(k) for k in report if k not in ("source", "host")}  # noqa: E731
            if keep(history) != keep(report):
                self.violate("history-vs-report", "they disagree for %s" % locator)
            self.check_record(index, locator, history, "history", "command-line")
        self.check_truth(index, locator, report)
        return (report or {}).get("outcome") or log.outcome

    def check_window_run(self, locator, entry):
        """The window leaves its history line alone: it must be there, whole and consistent, and tell
        what the controller saw; the window program ends with 0, or 3 on the third signal."""
        ended_at_once = self.killed or self.third or self.early_signal or self.r.hung
        if entry is None:
            if not ended_at_once:
                self.violate("history-missing", "the window left no line for %s" % locator)
            return
        outcome, errors, _, failures = report_story(entry)
        if outcome not in STATUS_OF:
            self.violate("history-outcome", "outcome %r for %s" % (outcome, locator))
        if errors != sum(1 for f in failures if f[0] in COUNTED):
            self.violate("report-count", "history: %s counts %s errors, its failures %d"
                         % (locator, errors, len(failures)))
        self.check_record(0, locator, entry, "history", "window")
        self.check_story_text(0, locator, entry)
        self.check_truth(0, locator, entry)
        if not ended_at_once and self.r.status != 0:
            self.violate("exit-status", "%s of the window program" % self.r.status)

    def check_status(self, worst):
        r = self.r
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
            self.violate("exit-status", "%d, the runs' outcomes make %s" % (r.status, sorted(allowed)))
        if r.status == 74 and b"vkr-calibrate: " not in r.stderr:
            self.violate("exit-status", "74 without a word on standard error")

    # --- The texts the controller's scenario implies -------------------------------------------

    def excused(self, c: Controller, code):
        """A step whose result timing decided: a serial time-out (a loaded machine holds the
        controller up), or a line that went away or fell silent."""
        return (c.branch == "serial" and code == TIMED_OUT) or (c.unreachable and code in LINE_GONE_CODES)

    def check_log_text(self, index, locator, lines):
        """The log says, word for word, what the routine writes for the scenario; a run that was
        aborted, cut short, or met a time-out says it up to there."""
        c = self.plan.controllers[index]
        expected = predict(c.items, c.branch == "serial", c.waited_silence)
        want = expected.lines
        for i, got in enumerate(lines):
            if i >= len(want):
                if not expected.open_end:
                    self.violate("log-text", "%s: the log goes on after the routine's end: %r" % (locator, got))
                return
            if got == want[i]:
                continue
            waiting = want[i].find("calibrating... ")
            aborted = got == "Aborting." or (waiting >= 0 and got == want[i][:waiting + 15] + "Aborting.")
            if (aborted or got == "Aborted before starting.") and self.may_abort and i == len(lines) - 1:
                return
            if expected.open_end and i == len(want) - 1 and got.startswith(want[i]):
                return
            if self.cut_short and i == len(lines) - 1 and want[i].startswith(got):
                return  # a line the program was ended in the middle of
            code = got.rsplit("Error: ", 1)[1] if "Error: " in got else None
            if code is not None and self.excused(c, int(code)):
                return
            self.violate("log-text", "%s line %d: expected %r, the log has %r" % (locator, i + 1, want[i], got))
            return
        if len(lines) < len(want) and not (self.cut_short or self.may_abort or expected.open_end
                                           and len(lines) == len(want) - 1):
            self.violate("log-text", "%s: the log ends before %r" % (locator, want[len(lines)]))

    def check_story_text(self, index, locator, entry):
        """A window run's history line tells the story of the routine's texts for the scenario: the
        channels and failures in order, up to where an abort or a time-out ended its course."""
        c = self.plan.controllers[index]
        expected = predict(c.items, c.branch == "serial", c.waited_silence)
        story = LogAccount(expected.lines, [])
        _, _, channels, failures = report_story(entry)
        for kind, got, want in (("channel", channels, story.channels), ("failure", failures, story.failures)):
            for i, item in enumerate(got):
                if i < len(want) and item == want[i]:
                    continue
                if kind == "channel" and item[1] == "aborted" and i == len(got) - 1 and self.may_abort:
                    continue
                if item[2] is not None and self.excused(c, item[2]) or expected.open_end and i >= len(want) - 1:
                    break
                self.violate("log-text", "%s: %s %d is %s, the routine's texts make %s" % (
                    locator, kind, i, item, want[i] if i < len(want) else "none"))
                break

    # --- The record against its sources ---------------------------------------------------------

    def check_record(self, index, locator, entry, name, source):
        """Every field with a source of truth: the source, host, tool and version, the times, and the
        channels in order with their seconds."""
        r = self.r
        if entry.get("source") != source:
            self.violate("record-source", "%s: source %r for %s" % (name, entry.get("source"), locator))
        if r.host and entry.get("host") != r.host:
            self.violate("record-host", "%s: host %r, the machine is %r" % (name, entry.get("host"), r.host))
        tool = entry.get("tool") or {}
        if r.version and tool.get("version") != r.version:
            self.violate("record-tool", "%s: version %r, the build's is %r" % (name, tool.get("version"), r.version))
        if source == "command-line" and tool.get("name") != "vkr-calibrate":
            self.violate("record-tool", "%s: tool %r" % (name, tool.get("name")))
        started, finished = _time(entry.get("started")), _time(entry.get("finished"))
        if started is None or finished is None or finished < started:
            self.violate("record-times", "%s: started %r, finished %r"
                         % (name, entry.get("started"), entry.get("finished")))
            return
        if r.launched and not (r.launched - CLOCK_SLACK <= started and finished <= r.ended + CLOCK_SLACK):
            self.violate("record-times", "%s: %s to %s lies outside the program's life" % (
                name, entry.get("started"), entry.get("finished")))
        truth = TruthAccount(self.truth_events(index, locator))
        if truth.moments and not (started - CLOCK_SLACK <= min(truth.moments)
                                  and max(truth.moments) <= finished + CLOCK_SLACK):
            self.violate("record-times", "%s: %s to %s does not hold what the controller saw" % (
                name, entry.get("started"), entry.get("finished")))
        self.check_channels(locator, entry, name, truth, finished - started)

    def check_channels(self, locator, entry, name, truth: TruthAccount, run_seconds):
        """Channels 0, 1, ... in order, all the controller has when the run went through them; each
        channel's seconds cover the controller's span of it, within SECONDS_SLACK, and all of them
        fit in the run."""
        c = self.plan.controllers[self.r.locators.index(locator)]
        channels = entry.get("channels") or []
        if entry.get("shortened"):
            return
        numbers = [ch.get("channel") for ch in channels]
        if numbers != list(range(len(numbers))):
            self.violate("channel-order", "%s: %s has channels %s" % (name, locator, numbers))
        finished = entry.get("outcome") in ("calibrated", "calibrated-with-errors")
        count = entry.get("channelCount")
        if (finished and (len(numbers) != c.channels or count != c.channels)) or count not in (None, c.channels):
            self.violate("channel-order", "%s: %s went through %d channels (count %s), its controller has %d" % (
                name, locator, len(numbers), entry.get("channelCount"), c.channels))
        total = 0.0
        for ch in channels:
            seconds, number = ch.get("seconds"), ch.get("channel")
            if not isinstance(seconds, (int, float)) or seconds < 0:
                self.violate("channel-seconds", "%s: %s channel %s took %r s" % (name, locator, number, seconds))
                continue
            total += seconds
            span = truth.span.get(number)
            if span is not None and ch.get("result") in ("calibrated", "aborted") and \
                    not span - CLOCK_SLACK <= seconds <= span + SECONDS_SLACK:
                self.violate("channel-seconds", "%s: %s channel %s took %.3f s, its controller %.3f s" % (
                    name, locator, number, seconds, span))
        if total > run_seconds + CLOCK_SLACK * (1 + len(channels)):
            self.violate("channel-seconds", "%s: %s's channels took %.3f s in a run of %.3f s" % (
                name, locator, total, run_seconds))

    # --- What the controllers saw ---------------------------------------------------------------

    def truth_events(self, index, locator):
        """The account of the run's controller: its lines of the library's shared file, or its
        vkr-sim's own file (torn lines there are reported with the other files)."""
        if self.plan.controllers[index].branch == "library":
            shared = json_lines("truth", self.r.files.get("truth", b""), [])
            return [e for e in shared if e.get("controller") == locator]
        return json_lines("truth-%d" % index, self.r.files.get("truth-%d" % index, b""), [])

    def check_truth(self, index, locator, report):
        c: Controller = self.plan.controllers[index]
        if report is None:
            return
        events = self.truth_events(index, locator)
        truth = TruthAccount(events)
        state, started = truth.state, set(truth.started)
        unreachable = c.unreachable or truth.saw("silent") or truth.saw("hangup")
        if report.get("outcome") != "not-opened" and not truth.saw("handshake"):
            self.violate("truth-opened", "%s was reported opened, its controller saw no handshake" % locator)
        if truth.started != sorted(truth.started) or len(started) != len(truth.started):
            self.violate("channel-order", "%s: its controller started channels %s" % (locator, truth.started))
        _, _, channels, failures = report_story(report)
        reported = set()
        # Whether a calibration the controller started may have looked refused to the tool: its
        # reply was spoilt, or a reply that came after its time-out was read as the next one's (a
        # slow reply of the scenario, or a controller held up by a loaded machine).
        timed_out = any(f[2] == TIMED_OUT for f in failures)
        cs_faulted = unreachable or timed_out or "slowbytes@" in c.scenario or c.comeback_stuck is not None \
            or any(f in c.scenario and "CS" in c.scenario for f in REPLY_FAULTS)
        for channel, result, code in channels:
            reported.add(channel)
            final = state.get(channel)
            if result == "calibrated" and final != "completed":
                self.violate("truth-calibrated", "%s channel %d reported calibrated, its controller says %s"
                             % (locator, channel, final))
            elif result in ("no-sensor", "failed") and code != 0 and channel in started and not cs_faulted and \
                    not any(f[0] == "getStatus" and f[1] == channel for f in failures):
                self.violate("truth-refused", "%s channel %d reported %s, yet its controller calibrated it"
                             % (locator, channel, result))
            elif result == "aborted" and final == "running" and not (c.stop_refused or unreachable):
                self.violate("truth-aborted", "%s channel %d reported aborted, its controller still calibrates it"
                             % (locator, channel))
        # The wait given up on a controller that fell silent ends with a stop, which the controller
        # carries out though its reply is lost.
        given_up = c.comeback_stuck
        if given_up is not None and not (self.killed or self.third) and state.get(given_up) != "stopped":
            self.violate("silence-given-up", "%s channel %d, whose wait was given up, was never stopped: its "
                         "controller says %s"
                         % (locator, given_up, state.get(given_up)))
        for channel in sorted(started - reported):
            self.violate("truth-unreported", "%s channel %d was calibrated by its controller, the report does not "
                         "name it"
                         % (locator, channel))
        self.check_short_silence(c, locator, truth, channels, failures)
        self.check_wrong_channel(c, locator, channels, failures, report)

    def check_short_silence(self, c, locator, truth, channels, failures):
        """A controller silent for less than the limit, in a channel's wait, is waited for: the
        channel is done, never given up with a time-out nor stopped."""
        if not c.waited_silence or not truth.saw("muted"):
            return
        # A run that let the controller go before it answered again heard the silence the scenario set.
        planned = [int(i.split("=", 1)[1]) / 1000.0 for i in c.items if i.startswith("silentfor=")] or [SILENCE_LIMIT_S]
        silence = truth.first.get("answers-again", truth.first["muted"] + planned[-1]) - truth.first["muted"]
        if silence >= SILENCE_LIMIT_S - 1.0:
            return  # the silence was not short after all (a stalled controller)
        if any(f[0] == "getStatus" and f[2] == TIMED_OUT for f in failures) or "stopped" in truth.state.values():
            self.violate("silence-waited", "%s fell silent for %.1f s, less than the %.0f s the tool waits, and "
                         "was given up" % (locator, silence, SILENCE_LIMIT_S))
        elif channels and channels[0][1] != "calibrated" and not self.may_abort and not self.cut_short:
            self.violate("silence-waited", "%s channel 0 is %s after a silence of %.1f s"
                         % (locator, channels[0][1], silence))

    def check_wrong_channel(self, c, locator, channels, failures, report):
        """Replies for another channel than the command's are never the command's: the step fails
        with 14 (15 when a late reply was awaited)."""
        targets = [i.split("=", 1)[1].split("+") for i in c.items if i.startswith("wrongchannel=")]
        words = set(targets[-1]) if targets else set()
        if not words:
            return
        for channel, result, code in channels:
            # A controller that hung up or fell silent ends its channels with the line's codes.
            gone = result == "failed" and self.excused(c, code)
            if "CS" in words and not gone and (result != "failed" or code not in (MALFORMED, TIMED_OUT)):
                self.violate("wrong-channel", "%s channel %d is %s (%s): its acknowledge was another channel's" % (
                    locator, channel, result, code))
            elif "GS" in words and result in ("calibrated", "aborted"):
                self.violate("wrong-channel", "%s channel %d is %s: its status replies were another channel's" % (
                    locator, channel, result))
        if "SSE" in words and report.get("outcome") in ("calibrated", "calibrated-with-errors") and \
                "mode=0" in c.items and not any(f[0] == "setSensorEnabled" for f in failures):
            self.violate("wrong-channel", "%s took power-save mode as set on another channel's acknowledge" % locator)
