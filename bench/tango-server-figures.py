#!/usr/bin/python3
# Figures of vkr-tango-server, printed and asserted on nothing: the time from start to "Ready to
# accept request", resident memory and CPU time while idle, the round trip of a read and of a
# command, and a short run of a simulated controller. Needs python3-tango (Debian), and a build with
# Tango. Usage: bench/tango-server-figures.py [BUILD-DIR] [BASE-PORT]   (default: build 47850)
import os, statistics, subprocess, sys, tempfile, time

import tango

build = sys.argv[1] if len(sys.argv) > 1 else "build"
base = int(sys.argv[2]) if len(sys.argv) > 2 else 47850
environment = dict(os.environ, XDG_DATA_HOME=tempfile.mkdtemp())


def start(port):
    arguments = [os.path.join(build, "vkr-tango-server"), "bench", "-nodb", "-dlist", "bench/vkr/1",
                 "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"]
    server = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment)
    server.stdout.readline()  # Ready to accept request
    return server


def status(server, field):
    with open(f"/proc/{server.pid}/status") as lines:
        return next(line.split()[1] for line in lines if line.startswith(field))


def cpu_ticks(server):
    with open(f"/proc/{server.pid}/stat") as stat:
        fields = stat.read().split()
    return int(fields[13]) + int(fields[14])


starts = []
for i in range(15):
    began = time.monotonic()
    server = start(base + i)
    starts.append((time.monotonic() - began) * 1000)
    if i < 14:
        server.terminate()
        server.wait()
print(f"start to ready: median {statistics.median(starts):.1f} ms (min {min(starts):.1f}, max {max(starts):.1f})")

device = tango.DeviceProxy(f"tango://127.0.0.1:{base + 14}/bench/vkr/1#dbase=no")
device.read_attribute("State")
print(f"resident memory, idle: {int(status(server, 'VmRSS')) / 1024:.1f} MiB")
ticks = cpu_ticks(server)
time.sleep(10)
print(f"CPU time in 10 s idle: {(cpu_ticks(server) - ticks) * 1000 // os.sysconf('SC_CLK_TCK')} ms")
for name, call, count in [("read State", lambda: device.read_attribute("State"), 2000),
                          ("command Abort (no run)", lambda: device.command_inout("Abort"), 2000)]:
    began = time.monotonic()
    for _ in range(count):
        call()
    print(f"{name} round trip: {(time.monotonic() - began) / count * 1e6:.0f} µs")
device.write_attribute("Locator", "sim:channels=4,time=0")
began = time.monotonic()
device.command_inout("Calibrate")
returned = time.monotonic() - began
while device.state() != tango.DevState.ON:
    pass
print(f"Calibrate returns after {returned * 1000:.2f} ms; 4 channels of 0 ms reach ON after "
      f"{(time.monotonic() - began) * 1000:.1f} ms")
server.terminate()
print(f"exit status on SIGTERM: {server.wait()}")
