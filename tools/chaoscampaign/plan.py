"""One chaos run as a seed draws it: the controllers, their scenarios and the faults around them.

Everything random about a run comes from random.Random(seed) here, in a fixed order, so that a
seed always gives the same run (what happens when is still up to the machine's timing).
"""

import random
from dataclasses import asdict, dataclass, field
from typing import List, Optional, Tuple

SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP")
SERIAL_WORDS = ("GIV", "SCM", "GNC", "GSE", "SSE", "CS", "GS", "S")
FAIL_OPERATIONS = ("open", "channels", "getmode", "setmode", "calibrate", "status", "poll", "stop", "release")
CHANNEL_OPERATIONS = ("calibrate", "status", "poll", "stop")
CODES = (1, 5, 9, 17, 200, 4294967295)
# The tool waits this long for a controller that has fallen silent in a channel's wait.
SILENCE_LIMIT_S = 10.0
# A silence that ends within this long must be waited for: the limit less what a loaded machine may
# add to the tool's measure of it (a poll's time-out and the pause after it).
SHORT_SILENCE_S = (2.0, 8.5)


@dataclass
class Controller:
    branch: str  # "library" (a sim: locator) or "serial" (vkr-sim on a pseudo-terminal)
    items: List[str]
    channels: int
    stuck: bool = False
    stop_refused: bool = False  # fail-stop: an abort cannot stop the channel
    unreachable: bool = False  # the controller may go silent or hang up
    estimate_s: float = 0.0  # how long a run of it takes, about
    comeback_stuck: Optional[int] = None  # the stuck channel whose wait a silence that ends gives up
    waited_silence: bool = False  # a silence shorter than the tool's limit falls in channel 0's wait

    @property
    def scenario(self) -> str:
        return ",".join(self.items)


@dataclass
class Plan:
    seed: int
    controllers: List[Controller]
    signals: List[Tuple[float, str]] = field(default_factory=list)
    sigkill_at: Optional[float] = None
    unplug: Optional[Tuple[int, float]] = None  # controller index, when its vkr-sim is killed
    stdout_lines: Optional[int] = None  # the log's reader goes away after this many lines
    file_size_limit: Optional[int] = None
    tmpfs_pages: Optional[int] = None  # pages left free on a small full tmpfs
    tmpfs_holds: Tuple[str, ...] = ()  # which of report, history, record live there
    record: bool = False
    window: bool = False  # the window program runs it, not vkr-calibrate
    bound_s: float = 0.0

    def classes(self) -> List[str]:
        """The fault classes this run exercises, for the campaign's table."""
        found = set()
        for c in self.controllers:
            found.add(c.branch)
            text = c.scenario
            if "fail-" in text:
                found.add("failing-operations")
            if "latency=" in text or "slowbytes" in text:
                found.add("slow-replies")
            if "silent" in text and c.comeback_stuck is None and not c.waited_silence:
                found.add("silent-controller")
            if c.waited_silence:
                found.add("short-silence")
            if "wrongchannel=" in text:
                found.add("wrong-channel")
            if any(k in text for k in ("garbage", "wrongname", "wrongcount", "wrongchannel", "bigvalue", "noise")):
                found.add("garbage")
            if "hangup" in text:
                found.add("hang-up")
            if c.stuck:
                found.add("stuck-channel")
            if c.channels == 0:
                found.add("no-channels")
            if c.comeback_stuck is not None:
                found.add("silence-then-back")
        if len(self.controllers) > 1:
            found.add("side-by-side")
        if self.signals:
            found.add("signals-%d" % len(self.signals))
        if self.sigkill_at is not None:
            found.add("sigkill")
        if self.unplug is not None:
            found.add("unplug")
        if self.stdout_lines is not None:
            found.add("stdout-closed")
        if self.file_size_limit is not None:
            found.add("file-size-limit")
        if self.tmpfs_pages is not None:
            found.add("full-tmpfs")
        if self.record:
            found.add("recording")
        if self.window:
            found.add("window")
        return sorted(found)

    def to_json(self) -> dict:
        return asdict(self)

    @staticmethod
    def from_json(data: dict) -> "Plan":
        data = dict(data)
        data["controllers"] = [Controller(**c) for c in data.get("controllers", [])]
        data["signals"] = [tuple(s) for s in data.get("signals", [])]
        for name in ("unplug", "tmpfs_holds"):
            if data.get(name) is not None:
                data[name] = tuple(data[name])
        return Plan(**data)


def _channel_list(rng, channels, chance):
    return [c for c in range(channels) if rng.random() < chance]


def _controller(rng, branch, index, can_stick, root):
    channels = rng.randint(0, 8)
    time_ms = rng.randint(10, 150) + index  # also keeps side-by-side sim: locators apart
    items = ["channels=%d" % channels, "time=%d" % time_ms, "mode=%d" % rng.choice((2, 2, 0, 1))]
    nosensor = _channel_list(rng, channels, 0.15)
    if nosensor:
        items.append("nosensor=" + "+".join(map(str, nosensor)))
    c = Controller(branch, items, channels)
    estimate = channels * (time_ms / 1000.0 + 0.01)
    if rng.random() < 0.1:
        latency = rng.randint(0, 40)
        items.append("latency=%d" % latency)
        estimate += channels * 0.1
    if can_stick and channels and rng.random() < 0.12:
        c.stuck = True
        items.append("stuck=%d" % rng.randrange(channels))
    if rng.random() < 0.35:
        for _ in range(rng.randint(1, 2)):
            op = rng.choice(FAIL_OPERATIONS)
            where = ""
            if op in CHANNEL_OPERATIONS and channels and rng.random() < 0.5:
                where = "@%d" % rng.randrange(channels)
            items.append("fail-%s%s=%d" % (op, where, rng.choice(CODES)))
            c.stop_refused |= op == "stop"
    if branch == "serial":
        estimate += 1.2  # the handshake's pause and its speed changes
        estimate += _serial_faults(rng, c, root)
    c.estimate_s = estimate
    return c


def _serial_faults(rng, c, root):
    """Adds serial-line faults to c; returns the time they may add to the run. Without root the
    runs share /dev/pts, and a pty that vanishes during the handshake (which opens the port three
    times by name) may be another run's by the next open: hang-ups then come after it."""
    extra = 0.0
    if rng.random() < 0.15:
        items = ["noise=~~", "slowbytes=%d" % rng.randint(1, 15)]
        c.items.append(rng.choice(items))
        extra += 0.3
    if rng.random() < 0.2:
        kind = rng.choice(("garbage", "wrongname", "wrongcount", "wrongchannel", "bigvalue"))
        words = [w for w in SERIAL_WORDS if kind != "wrongchannel" or w in ("SCM", "SSE", "CS", "GS", "S")]
        c.items.append("%s=%s" % (kind, rng.choice(words)))
    if rng.random() < 0.03:
        c.items.append("slowbytes@%s=700" % rng.choice(SERIAL_WORDS))
        extra += 1.0
    if rng.random() < 0.04:
        c.unreachable = True
        if rng.random() < 0.5:
            c.items.append("silentafter=%d" % rng.randint(0, 12))
        else:
            c.items.append("silent=%s" % rng.choice(SERIAL_WORDS + ("CB",)))
        extra += SILENCE_LIMIT_S + 1.0
    if rng.random() < 0.1:
        c.unreachable = True
        if rng.random() < 0.5:
            c.items.append("hangupafter=%d" % rng.randint(0 if root else 2, 12))
        else:
            c.items.append("hangup=%s" % rng.choice(SERIAL_WORDS if root else SERIAL_WORDS[2:]))
    return extra


def _comeback(rng, seed):
    """A serial controller that falls silent in the wait of its stuck channel 0 for longer than the
    tool waits, then answers again: the wait is given up, and the stop that follows must reach the
    controller, which still carries out what it is told while its replies are lost. Seven commands
    are answered before channel 0's second status poll, whatever the sensors' mode."""
    channels = rng.randint(1, 4)
    silence_ms = rng.randint(int(SILENCE_LIMIT_S * 1000) + 500, int(SILENCE_LIMIT_S * 1000) + 2000)
    items = ["channels=%d" % channels, "time=%d" % rng.randint(10, 80), "mode=%d" % rng.choice((2, 0, 1)),
             "stuck=0", "silentafter=%d" % rng.randint(8, 14), "silentfor=%d" % silence_ms]
    c = Controller("serial", items, channels, stuck=True, comeback_stuck=0)
    c.estimate_s = 1.2 + silence_ms / 1000.0 + channels * 0.7
    return Plan(seed, [c], bound_s=c.estimate_s + 20.0)


def _short_silence(rng, seed):
    """A serial controller that falls silent in channel 0's wait for 2 to 8.5 s, less than the tool
    waits, while the channel still calibrates: the tool must ride the silence out and see the
    channel done. Seven commands are answered before channel 0's second status poll."""
    channels = rng.randint(1, 2)
    silence_ms = rng.randint(int(SHORT_SILENCE_S[0] * 1000), int(SHORT_SILENCE_S[1] * 1000))
    time_ms = silence_ms + rng.randint(600, 1000)
    items = ["channels=%d" % channels, "time=%d" % time_ms, "mode=%d" % rng.choice((2, 0, 1)),
             "silentafter=%d" % rng.randint(8, 14), "silentfor=%d" % silence_ms]
    c = Controller("serial", items, channels, waited_silence=True)
    c.estimate_s = 1.2 + channels * time_ms / 1000.0
    return Plan(seed, [c], bound_s=c.estimate_s + 20.0)


def _with_wrong_channel(rng, plan):
    """Acknowledges for another channel than the command's, to a serial controller that has no reply
    fault yet: the tool must never take them for the right channel's."""
    for c in plan.controllers:
        if c.branch == "serial" and not any(k in c.scenario for k in ("garbage", "wrong", "bigvalue")):
            c.items.append("wrongchannel=%s" % rng.choice(("CS", "CS", "SSE+CS", "GS", "S")))
            break
    return plan


def _as_window_run(rng, plan):
    """The run through the window program: one controller, the log on no pipe, the history the
    window's only file; the window starting up takes its time before the run begins."""
    plan.window = True
    plan.controllers = plan.controllers[:1]
    plan.stdout_lines = plan.file_size_limit = plan.tmpfs_pages = plan.unplug = None
    plan.tmpfs_holds = ()
    plan.record = False
    startup = 0.6
    plan.signals = [(t + rng.uniform(0.0, startup), name) for t, name in plan.signals]
    if plan.sigkill_at is not None:
        plan.sigkill_at += rng.uniform(0.0, startup)
    plan.bound_s += startup + 5.0
    return plan


def draw(seed: int, root: bool) -> Plan:
    # The rarer kinds of run come from a draw of their own, so that every other seed keeps its run.
    kind = random.Random("chaos-kind-%d" % seed).random()
    if kind < 0.004:
        return _comeback(random.Random("chaos-comeback-%d" % seed), seed)
    if kind < 0.012:
        return _short_silence(random.Random("chaos-short-silence-%d" % seed), seed)
    plan = _draw(seed, root)
    wrong = random.Random("chaos-wrong-channel-%d" % seed)
    if wrong.random() < 0.08:
        plan = _with_wrong_channel(wrong, plan)
    if kind > 0.93:
        return _as_window_run(random.Random("chaos-window-%d" % seed), plan)
    return plan


def _draw(seed: int, root: bool) -> Plan:
    rng = random.Random("chaos-%d" % seed)
    count = 1 if rng.random() < 0.8 else rng.randint(2, 3)
    plan = Plan(seed, [])
    if rng.random() < 0.06:
        plan.file_size_limit = rng.randint(100, 2500)
    if root and rng.random() < 0.06:
        plan.tmpfs_pages = rng.randint(0, 2)
        plan.tmpfs_holds = tuple(f for f in ("report", "history", "record") if rng.random() < 0.6) or ("report",)
    signalled = rng.random() < 0.3
    killed = rng.random() < 0.04
    for index in range(count):
        # Under a file size limit the stand-in library's account (written by the tool's process)
        # would be cut short too: those runs go over serial lines.
        serial = plan.file_size_limit is not None or rng.random() < 0.5
        plan.controllers.append(_controller(rng, "serial" if serial else "library", index, signalled or killed, root))
    estimate = max(c.estimate_s for c in plan.controllers)
    if any(c.stuck for c in plan.controllers) and not killed:
        signalled = True
    if signalled:
        moment = rng.uniform(0.05, estimate + 0.3)
        for _ in range(rng.choice((1, 1, 1, 2, 2, 3))):
            plan.signals.append((moment, rng.choice(SIGNALS)))
            moment += rng.uniform(0.0, 0.3)
    if killed:
        plan.sigkill_at = rng.uniform(0.05, estimate + 0.3)
    serial_indices = [i for i, c in enumerate(plan.controllers) if c.branch == "serial"]
    if serial_indices and rng.random() < 0.08:
        earliest = 0.2 if root else 2.0
        plan.unplug = (rng.choice(serial_indices), rng.uniform(earliest, max(earliest, estimate + 0.2)))
        plan.controllers[plan.unplug[0]].unreachable = True
    if rng.random() < 0.06:
        plan.stdout_lines = rng.randint(0, 6)
    plan.record = count == 1 and rng.random() < 0.2
    plan.bound_s = estimate + 20.0
    return plan
