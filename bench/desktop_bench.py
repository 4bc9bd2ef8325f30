"""Whole runs against GNOME's Mutter (headless, two 800 x 600 monitors) and
KDE's KWin (virtual, two 800 x 600 outputs): D-Bus calls and Wayland round
trips per run, and wall time next to a minimal client that reads the same
state three times (hyperfine, side by side, medians). Usage:
  desktop_bench.py DISPLAYMODES MUTTER_FLOOR KDE_FLOOR"""

import json
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from gnome import Mutter, SessionBus  # noqa: E402
from kde import Kwin  # noqa: E402
from wayland import runnable_by_anyone  # noqa: E402


def compare(program, floor, env, results, **user):
    subprocess.run(["hyperfine", "-N", "--warmup", "20", "--runs", "300", "--export-json",
                    results, program, floor], env=env, check=True, **user)
    with open(results) as f:
        medians = [r["median"] for r in json.load(f)["results"]]
    print("median wall time: displaymodes %.2f ms, floor %.2f ms: %.2f x the floor"
          % (medians[0] * 1000, medians[1] * 1000, medians[0] / medians[1]), flush=True)


def dbus_calls(bus, env, program):
    monitor = subprocess.Popen(["dbus-monitor", "--session"], env=bus.env,
                               stdout=subprocess.PIPE, text=True)
    time.sleep(1)  # the monitor is listening
    subprocess.run([program], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                   check=True)
    time.sleep(1)
    monitor.terminate()
    log = monitor.communicate()[0]
    ours = bus.connection.get_unique_name()
    calls = [member for sender, member in re.findall(
        r"method call .*sender=(\S+) -> destination=org\.gnome\.Mutter\.DisplayConfig .*"
        r"member=(\w+)", log) if sender != ours]
    return len(calls), ", ".join("%d %s" % (calls.count(m), m) for m in sorted(set(calls)))


def round_trips(env, program, **user):
    log = subprocess.run([program], env=dict(env, WAYLAND_DEBUG="client"),
                         stdin=subprocess.DEVNULL, capture_output=True, check=True,
                         **user).stderr.decode()
    return len(re.findall(r"-> wl_display@1\.sync\(", log))


def main():
    program, mutter_floor, kde_floor = sys.argv[1:4]
    with SessionBus() as bus, Mutter(bus, ["800x600@60", "800x600@75"]) as mutter:
        print("== GNOME (Mutter 43, two monitors)", flush=True)
        calls, members = dbus_calls(bus, mutter.env, program)
        print("D-Bus calls to Mutter per run: %d (%s); Wayland round trips: %d"
              % (calls, members, round_trips(mutter.env, program)), flush=True)
        compare(program, mutter_floor, mutter.env, os.path.join(bus.dir.name, "results.json"))
    with Kwin(2, 800, 600) as kwin, runnable_by_anyone(program) as copy, \
            runnable_by_anyone(kde_floor) as floor:
        print("== KDE (KWin 5.27, two outputs)", flush=True)
        print("Wayland round trips per run: displaymodes %d, floor %d"
              % (round_trips(kwin.env, copy, **kwin.user),
                 round_trips(kwin.env, floor, **kwin.user)), flush=True)
        compare(copy, floor, kwin.env, os.path.join(kwin.runtime, "results.json"), **kwin.user)


if __name__ == "__main__":
    main()
