"""What the calibration routine must write for a simulated controller left to run to its end: each
log text in order, word for word, worked out from the controller's scenario as the controller
itself answers it (the stand-in library's codes, or the serial replies vkr-sim sends and the
tool's checks of them).

A scenario whose course depends on timing (a stuck channel, a hang-up, a silence that starts or
ends at a moment, replies slower than the time-out) is predicted up to the step where timing
decides, and the prediction says that it ends open there.
"""

from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

NO_SENSOR = 129
MALFORMED = 14
OUT_OF_RANGE = 12
TIMED_OUT = 15
# vkr-sim's reply faults and the code the tool's checks make of a reply they spoil.
SPOILING = {"garbage": MALFORMED, "wrongname": MALFORMED, "wrongcount": MALFORMED, "wrongchannel": MALFORMED,
            "bigvalue": OUT_OF_RANGE}
# A first status read that fails is an acknowledge instead of a status: a serial controller answers it
# with its status once the calibration is over, and time decides which comes first below this.
SHORT_CALIBRATION_MS = 300


@dataclass
class Scenario:
    """The items of one controller's scenario that decide what the routine meets."""

    channels: int = 4
    no_sensor: Tuple[int, ...] = ()
    mode: int = 2
    time_ms: int = 1500
    stuck: Tuple[int, ...] = ()
    fails: Dict[Tuple[str, Optional[int]], int] = field(default_factory=dict)
    spoilt: Dict[str, int] = field(default_factory=dict)  # command word: the code its reply makes
    silent_from: Optional[str] = None  # silent for good from this command word on
    timing: List[str] = field(default_factory=list)  # items whose effect depends on timing

    @staticmethod
    def parse(items: List[str]) -> "Scenario":
        s = Scenario()
        for item in items:
            key, _, value = item.partition("=")
            words = [w for w in value.split("+") if w]
            if key == "demo":
                s.channels, s.no_sensor, s.mode, s.time_ms = 4, (2,), 0, 1500
            elif key == "channels":
                s.channels = int(value)
            elif key == "nosensor":
                s.no_sensor = tuple(int(w) for w in words)
            elif key == "mode":
                s.mode = int(value)
            elif key == "time":
                s.time_ms = int(value)
            elif key == "stuck":
                s.stuck = tuple(int(w) for w in words)
            elif key.startswith("fail-"):
                op, _, channel = key[len("fail-"):].partition("@")
                s.fails[(op, int(channel) if channel else None)] = int(value)
            elif key in SPOILING:
                s.spoilt.update((w, SPOILING[key]) for w in words)
            elif key == "silent":
                s.silent_from = words[0] if len(words) == 1 else None
                if len(words) != 1:
                    s.timing.append(item)
            elif key in ("hangup", "hangupafter", "silentafter", "silentfor") or (
                    key.startswith("slowbytes") and int(value) >= 400):
                s.timing.append(item)
        return s

    def fail(self, op, channel=None) -> int:
        """The injected code, a channel's own entry before the general one."""
        return self.fails.get((op, channel), self.fails.get((op, None), 0))


@dataclass
class Prediction:
    lines: List[str]
    # The routine's course after these lines depends on timing; the last line may be a channel's
    # "calibrating... " text whose end is open.
    open_end: bool = False


class Routine:
    """Runs the routine against a model of the controller; `serial` picks the serial replies."""

    def __init__(self, scenario: Scenario, serial: bool, waited_silence: bool = False):
        self.s = scenario
        self.serial = serial
        self.silent = False
        self.lines: List[str] = []
        self.errors = 0
        # A silence shorter than the tool's limit, in a wait, is ridden out: the log is as without it.
        self.open_end = bool(scenario.timing) and not waited_silence

    def reply(self, word, code, query=False):
        """The tool's result of one exchange whose controller result is code: a query's failure is
        an acknowledge, which the tool takes for no answer of its form."""
        if not self.serial:
            return code
        if self.s.silent_from == word:
            self.silent = True
        if self.silent:
            return TIMED_OUT
        if word in self.s.spoilt:
            return self.s.spoilt[word]
        return MALFORMED if query and code else code

    def predict(self) -> Prediction:
        self.say("Starting calibration...")
        opened = self.open()
        if opened:
            self.say("Could not initialize! Error: %d" % opened)
            return self.done()
        self.say("Successfully initialized.")
        channels = self.prepare()
        if channels is not None:
            for channel in range(channels):
                if not self.channel(channel):
                    return self.done()
        self.say("")
        self.say("Calibration routine finished with %d errors." % self.errors)
        return self.done()

    def open(self):
        if not self.serial:
            return self.s.fail("open")
        # The speed change is never answered: a silence from it on shows at the version's question.
        return self.reply("CB", 0) or self.reply("GIV", 0) or self.reply("SCM", self.s.fail("open"))

    def prepare(self):
        """Steps before the channels; the channel count, or None when one of them failed."""
        r = self.reply("GSE", self.s.fail("getmode"), query=True)
        if r:
            self.failed("Could not read sensor enabled mode! Error: %d" % r)
            return None
        if self.s.mode == 0:
            self.say("Sensors disabled. Setting to Power Save Mode.")
            r = self.reply("SSE", self.s.fail("setmode"))
            if r:
                self.failed("Could not set Power Save Mode! Error: %d" % r)
                return None
        r = self.reply("GNC", self.s.fail("channels"), query=True)
        if r:
            self.say("Could not get number of channels! Error: %d" % r)
            return None
        return self.s.channels

    def channel(self, c):
        """One channel's texts; False where timing decides the rest."""
        code = self.s.fail("calibrate", c) or (NO_SENSOR if c in self.s.no_sensor else 0)
        r = self.reply("CS", code)
        if r == NO_SENSOR:
            self.say("\tChannel %d: no sensor" % c)
            return True
        if r:
            self.failed("Could not calibrate channel %d! Error: %d" % (c, r))
            return True
        calibrating = "\tChannel %d: calibrating... " % c
        first = self.s.fail("status", c)
        if first and self.serial and self.s.time_ms < SHORT_CALIBRATION_MS and not self.silent and \
                "GS" not in self.s.spoilt:
            self.say(calibrating)
            self.open_end = True
            return False
        r = self.reply("GS", first, query=True)
        if r:
            self.failed(calibrating + "Could not get status of channel %d! Error: %d" % (c, r))
            return True
        if c in self.s.stuck or self.open_end:
            self.say(calibrating)
            self.open_end = True
            return False
        self.say(calibrating + "done.")
        return True

    def say(self, line):
        self.lines.append(line)

    def failed(self, line):
        self.say(line)
        self.errors += 1

    def done(self):
        return Prediction(self.lines, self.open_end)


def predict(items: List[str], serial: bool, waited_silence: bool = False) -> Prediction:
    return Routine(Scenario.parse(items), serial, waited_silence).predict()
