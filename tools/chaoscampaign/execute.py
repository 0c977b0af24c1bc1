"""Carries out one planned chaos run: starts the simulated controllers, runs vkr-calibrate against
them with the planned faults at their moments, and gathers everything the run left behind."""

import fcntl
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from . import runfolder
from .plan import Plan
from .runfolder import Outcome

PAGE = 4096
# Each room running at the same time holds a different number of pty numbers before its own, so
# that no two rooms' controllers get the same number: the tool looks for other holders of its port
# by device number among all processes, and ptys of different rooms differ in nothing else. A
# room's slot is a lock file, so that campaigns running side by side share them too. Rooms start
# at pty 64, above the machine's own ptys, which the same check would otherwise mistake for
# holders (in both directions). The kernel gives all rooms together 3072 ptys (kernel.pty.max less
# kernel.pty.reserve): 24 rooms fit.
HELD_PTYS = 64
PTYS_PER_ROOM = 4
ROOM_SLOTS = 24
SLOT_FOLDER = os.path.join(tempfile.gettempdir(), "vkr-chaos-rooms")


def _take_slot(bound_s=120.0):
    """The lowest free room slot and the descriptor that holds it, waiting while all are taken
    (by other campaigns); None after bound_s."""
    os.makedirs(SLOT_FOLDER, exist_ok=True)
    deadline = time.monotonic() + bound_s
    while time.monotonic() < deadline:
        for slot in range(ROOM_SLOTS):
            fd = os.open(os.path.join(SLOT_FOLDER, "%d.lock" % slot), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return slot, fd
            except BlockingIOError:
                os.close(fd)
        time.sleep(0.05)
    return None


class Waiter(threading.Thread):
    """Reaps one child with its resource usage, so that the run's schedule can wait on an event."""

    def __init__(self, process):
        super().__init__(daemon=True)
        self.process = process
        self.done = threading.Event()
        self.status = None
        self.rss_kb = 0

    def run(self):
        _, status, usage = os.wait4(self.process.pid, 0)
        self.status = -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)
        self.rss_kb = usage.ru_maxrss
        # Popen must never wait for the pid again: it may belong to another process by now.
        self.process.returncode = self.status
        self.done.set()


def _start(command, env, **kwargs):
    process = subprocess.Popen(command, env=env, **kwargs)
    waiter = Waiter(process)
    waiter.start()
    return process, waiter


def _start_sim(command, arguments, env, log_path):
    """Starts vkr-sim and reads the locator it prints; (process, waiter, locator) or None."""
    with open(log_path, "wb") as err:
        process, waiter = _start(command + arguments, env, stdout=subprocess.PIPE, stderr=err)
    text = b""
    deadline = time.monotonic() + 10
    while b"locator: " not in text or not text.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            break
        chunk = os.read(process.stdout.fileno(), 4096)
        if not chunk:
            break
        text += chunk
    for line in text.decode(errors="replace").splitlines():
        if line.startswith("locator: "):
            return process, waiter, line[len("locator: "):]
    _end(process, waiter)
    return None


def _signal(waiter, how):
    """Signals the child unless it has been reaped (Popen.send_signal would reap it itself)."""
    if not waiter.done.is_set():
        try:
            os.kill(waiter.process.pid, how)
        except ProcessLookupError:
            pass  # reaped just now


def _end(process, waiter, how=signal.SIGTERM, bound=5.0):
    if not waiter.done.is_set():
        _signal(waiter, how)
        if not waiter.done.wait(bound):
            _signal(waiter, signal.SIGKILL)
            waiter.done.wait(bound)
    if process.stdout:
        process.stdout.close()
    return waiter.status


def build_version(build):
    """The version the build's programs carry, from its CMake cache."""
    for line in (_read(os.path.join(build, "CMakeCache.txt")) or b"").decode(errors="replace").splitlines():
        if line.startswith("CMAKE_PROJECT_VERSION:"):
            return line.split("=", 1)[1]
    return ""


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Run:
    def __init__(self, plan: Plan, build: str, keep: bool):
        self.plan = plan
        self.build = os.path.abspath(build)
        self.keep = keep
        self.folder = tempfile.mkdtemp(prefix="chaos-%d-" % plan.seed)
        self.tmpfs = None
        self.room = None
        self.slot = None
        self.sims = []
        self.result = Outcome(host=socket.gethostname(), version=build_version(self.build))

    def path(self, name, kind=None):
        """Where a file of the run lives: on the small tmpfs when the plan puts it there."""
        if kind and self.tmpfs and kind in self.plan.tmpfs_holds:
            return os.path.join(self.tmpfs, name)
        return os.path.join(self.folder, name)

    def seen(self, path):
        """A path as this harness reaches it: through the room's mount namespace, if any."""
        return "/proc/%d/root%s" % (self.room[0].pid, path) if self.room else path

    def entering(self):
        return ["nsenter", "-t", str(self.room[0].pid), "-m", "--"] if self.room else []

    def environment(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("VKR_", "XDG_", "QT_"))}
        env.update(XDG_DATA_HOME=self.path("data", "history"), XDG_CONFIG_HOME=self.path("config"),
                   VKR_SIM_TRUTH=self.path("truth.jsonl"), QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8")
        return env

    def open_room(self):
        """As root, the run gets a mount namespace of its own: its own pseudo-terminals, so that a
        pty freed by a hang-up is never taken over by another run's controller while this run's
        tool still opens it by name, and the small tmpfs, filled up to the planned free pages."""
        script = ("mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 chaos /dev/pts && "
                  "mount --bind /dev/pts/ptmx /dev/ptmx")
        if self.plan.tmpfs_pages is not None:
            self.tmpfs = os.path.join(self.folder, "tmpfs")
            os.mkdir(self.tmpfs)
            script += " && mount -t tmpfs -o size=%d chaos %s" % (16 * PAGE, self.tmpfs)
        # The holder keeps the room's first pty numbers: the machine's own ptys have low numbers.
        self.slot = _take_slot()
        if self.slot is None:
            self.result.problems.append("all %d room slots stayed taken" % ROOM_SLOTS)
            return False
        holder = ("import os, sys; held = [os.open('/dev/ptmx', os.O_RDWR | os.O_NOCTTY) for _ in range(%d)]; "
                  "print('ready', flush=True); sys.stdin.read()" % (HELD_PTYS + self.slot[0] * PTYS_PER_ROOM))
        process = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                                    script + " && exec python3 -c \"%s\"" % holder], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=open(self.path("room.err"), "wb"))
        waiter = Waiter(process)
        waiter.start()
        self.room = (process, waiter)
        if process.stdout.readline() != b"ready\n":
            self.result.problems.append("no mount namespace for the run: %r" % (_read(self.path("room.err")) or b"")[-300:])
            return False
        if self.tmpfs:
            self.fill_tmpfs()
        return True

    def fill_tmpfs(self):
        """Earlier lines in the report and the history, so that a new line may cross a page, then
        the tmpfs filled up to the planned free pages."""
        earlier = b'{"locator":"chaos:earlier","note":"%s"}\n' % (b"x" * (self.plan.seed % 700))
        os.makedirs(self.seen(os.path.join(self.tmpfs, "data", "vkr-calibrator")))
        for path in (self.path("report.jsonl", "report"), self.path("data/vkr-calibrator/history.jsonl", "history")):
            if path.startswith(self.tmpfs):
                with open(self.seen(path), "wb") as f:
                    f.write(earlier * (1 + self.plan.seed % 7))
        filler = self.seen(os.path.join(self.tmpfs, "filler"))
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * PAGE)
            except OSError:
                pass
        os.truncate(filler, max(0, os.path.getsize(filler) - PAGE * (self.plan.tmpfs_pages + 1)))

    def close_room(self):
        if self.room:
            self.room[0].stdin.close()
            _end(self.room[0], self.room[1], signal.SIGKILL)
        if self.slot:
            os.close(self.slot[1])

    def __call__(self) -> Outcome:
        try:
            if os.geteuid() == 0 and not self.open_room():
                return self.result
            env = self.environment()
            os.makedirs(self.seen(env["XDG_DATA_HOME"]), exist_ok=True)
            if self.start_controllers(env):
                self.calibrate(env)
            self.end_controllers()
            self.gather()
            if self.plan.record and self.replayable():
                self.replay(env)
            if self.keep:
                runfolder.save(os.path.join(self.folder, "judged"), self.plan, self.result)
        finally:
            for process, waiter, _ in self.sims:
                _end(process, waiter, signal.SIGKILL)
            self.close_room()
            if not self.keep:
                shutil.rmtree(self.folder, ignore_errors=True)
        return self.result

    def start_controllers(self, env):
        for index, c in enumerate(self.plan.controllers):
            if c.branch == "library":
                locator = "sim:" + c.scenario
                self.result.locators.append(locator)
                self.result.truth_names.append(locator)
                continue
            truth = self.path("truth-%d.jsonl" % index)
            started = _start_sim(self.sim_command(), ["--scenario", c.scenario, "--truth", truth], env,
                                 self.path("sim-%d.err" % index))
            if not started:
                self.result.problems.append("vkr-sim did not start for " + c.scenario)
                return False
            self.sims.append(started)
            self.result.locators.append(started[2])
            self.result.truth_names.append(started[2].split(":", 1)[1])
        return True

    def sim_command(self):
        return self.entering() + [os.path.join(self.build, "vkr-sim")]

    def command(self):
        if self.plan.window:
            return self.entering() + [os.path.join(self.build, "vkr-chaos-window")] + self.result.locators
        command = [os.path.join(self.build, "vkr-calibrate"), "--report", self.path("report.jsonl", "report")]
        if self.plan.record:
            command += ["--record", self.path("record.jsonl", "record")]
        command += self.result.locators
        if self.plan.file_size_limit is not None:
            limit = self.plan.file_size_limit
            command = ["prlimit", "--fsize=%d:%d" % (limit, limit), "--"] + command
        return self.entering() + command

    def calibrate(self, env):
        # Standard error is a pipe: a file would fall under the run's file size limit too.
        self.result.launched = time.time()
        began = time.monotonic()
        process, waiter = _start(self.command(), env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader = threading.Thread(target=self.read_log, args=(process.stdout,), daemon=True)
        reader.start()
        errors = []
        error_reader = threading.Thread(target=lambda: errors.append(process.stderr.read()), daemon=True)
        error_reader.start()
        events = [(t, "signal", name) for t, name in self.plan.signals]
        if self.plan.sigkill_at is not None:
            events.append((self.plan.sigkill_at, "kill", None))
        if self.plan.unplug is not None:
            events.append((self.plan.unplug[1], "unplug", self.plan.unplug[0]))
        for moment, what, detail in sorted(events, key=lambda e: e[0]):
            if waiter.done.wait(max(0.0, began + moment - time.monotonic())):
                break
            if what == "signal":
                _signal(waiter, getattr(signal, detail))
            elif what == "kill":
                _signal(waiter, signal.SIGKILL)
            else:
                sim = self.sims[[i for i, c in enumerate(self.plan.controllers) if c.branch == "serial"].index(detail)]
                _signal(sim[1], signal.SIGKILL)
        if not waiter.done.wait(max(0.0, began + self.plan.bound_s - time.monotonic())):
            self.result.hung = True
            _signal(waiter, signal.SIGKILL)
            waiter.done.wait()
        self.result.seconds = time.monotonic() - began
        self.result.ended = time.time()
        reader.join(5)
        error_reader.join(5)
        process.stderr.close()
        self.result.status = waiter.status
        self.result.max_rss_kb = waiter.rss_kb
        self.result.stderr = errors[0] if errors else b""
        with open(self.path("stderr"), "wb") as kept:
            kept.write(self.result.stderr)

    def read_log(self, stream):
        """Reads the log; when the plan says so, goes away after some lines, as `head` does."""
        wanted = self.plan.stdout_lines
        data = b""
        try:
            while True:
                chunk = stream.read1(65536) if hasattr(stream, "read1") else stream.read(65536)
                if not chunk:
                    break
                data += chunk
                if wanted is not None and data.count(b"\n") >= wanted:
                    data = b"".join(data.splitlines(keepends=True)[:wanted])
                    break
        finally:
            stream.close()
            self.result.stdout = data

    def end_controllers(self):
        for process, waiter, _ in self.sims:
            self.result.sim_status.append(_end(process, waiter))
            self.result.sim_rss_kb = max(self.result.sim_rss_kb, waiter.rss_kb)

    def gather(self):
        files = {
            "report": self.path("report.jsonl", "report"),
            "history": os.path.join(self.path("data", "history"), "vkr-calibrator", "history.jsonl"),
            "record": self.path("record.jsonl", "record"),
            "truth": self.path("truth.jsonl"),
        }
        for index in range(len(self.plan.controllers)):
            files["truth-%d" % index] = self.path("truth-%d.jsonl" % index)
        for name, path in files.items():
            content = _read(self.seen(path))
            if content is not None:
                self.result.files[name] = content

    def replayable(self):
        r = self.result
        # An aborted run replays only when the replay is aborted in the same wait: runs with signals
        # are left out.
        return (r.status in (0, 1, 2) and not r.hung and not self.plan.signals and self.plan.sigkill_at is None
                and self.plan.unplug is None
                and b"third signal" not in r.stderr and b"recording" not in r.stderr
                and self.plan.stdout_lines is None and "record" in r.files)

    def replay(self, env):
        """Plays the recording back to the tool; its log must be the run's log."""
        env = dict(env, VKR_NO_HISTORY="1")
        controller = self.plan.controllers[0]
        record = self.path("replayed.jsonl")
        shutil.copyfile(self.seen(self.path("record.jsonl", "record")), record)
        sim = None
        if controller.branch == "library":
            locator = "sim:replay=" + record
        else:
            sim = _start_sim(self.sim_command(), ["--replay", record], env, self.path("replay-sim.err"))
            if not sim:
                self.result.problems.append("vkr-sim --replay did not start")
                return
            locator = sim[2]
        process, waiter = _start(self.entering() + [os.path.join(self.build, "vkr-calibrate"), locator], env, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
        out = []
        reader = threading.Thread(target=lambda: out.append(process.stdout.read()), daemon=True)
        reader.start()
        if not waiter.done.wait(self.plan.bound_s):
            _signal(waiter, signal.SIGKILL)
            waiter.done.wait()
            self.result.problems.append("the replay did not end within its bound")
        reader.join(5)
        process.stdout.close()
        if sim:
            _end(*sim[:2])
        self.result.replay_stdout = out[0] if out else b""
        self.result.replay_status = waiter.status
