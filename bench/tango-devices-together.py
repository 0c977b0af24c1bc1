#!/usr/bin/python3
# How far apart the ends of devices that end together show, printed and asserted on nothing: one
# vkr-tango-server with N devices (32 by default) registered in a Tango database of its own
# (tools/private-tango-db.sh), each calibrating sim:channels=1,time=2000 at once; a client
# subscribed to every State measures, per device, the time from its Calibrate to its ON event.
# Needs python3-tango, mariadb-server, tango-db and libtango-tools, and a build with Tango.
# Usage: bench/tango-devices-together.py [BUILD-DIR] [DEVICES] [ROUNDS]   (default: build 32 3)
import os, subprocess, sys, tempfile, threading, time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 32
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
tools = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
folder = tempfile.mkdtemp()
host = subprocess.run([os.path.join(tools, "private-tango-db.sh"), "start", folder],
                      check=True, capture_output=True, text=True).stdout.strip()
os.environ["TANGO_HOST"] = host
import tango  # noqa: E402 (after TANGO_HOST)

names = [f"bench/vkr/together{i}" for i in range(1, count + 1)]
subprocess.run(["tango_admin", "--add-server", "vkr-tango-server/together", "VKRCalibrator", ",".join(names)],
               check=True)
for name in names:
    subprocess.run(["tango_admin", "--add-property", name, "Locator", "sim:channels=1,time=2000"], check=True)
server = subprocess.Popen([os.path.join(build, "vkr-tango-server"), "together"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=dict(os.environ, XDG_DATA_HOME=folder))
try:
    server.stdout.readline()  # Ready to accept request
    devices = [tango.DeviceProxy(name) for name in names]
    ends, lock = {}, threading.Lock()

    def listener(index):
        def push(event):
            if not event.err and event.attr_value.value == tango.DevState.ON:
                with lock:
                    ends[index] = time.monotonic()
        return push

    for index, device in enumerate(devices):
        device.subscribe_event("State", tango.EventType.CHANGE_EVENT, listener(index))
    time.sleep(1)  # the subscriptions' first events, and ZeroMQ's connections
    for round in range(1, rounds + 1):
        with lock:
            ends.clear()
        starts = []
        for device in devices:
            device.Calibrate()
            starts.append(time.monotonic())
        deadline = time.monotonic() + 30
        while len(ends) < count and time.monotonic() < deadline:
            time.sleep(0.05)
        took = [(ends[i] - starts[i]) * 1000 for i in range(count) if i in ends]
        print(f"round {round}: {len(took)} of {count} ends; Calibrate to ON {min(took):.1f} to {max(took):.1f} ms "
              f"(spread {max(took) - min(took):.1f} ms); ends spread over {(max(ends.values()) - min(ends.values())) * 1000:.1f} ms, "
              f"the Calibrate calls over {(starts[-1] - starts[0]) * 1000:.1f} ms")
finally:
    server.terminate()
    server.wait()
    subprocess.run([os.path.join(tools, "private-tango-db.sh"), "stop", folder])
