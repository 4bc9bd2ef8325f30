"""Whole runs against the tests' scripted wlroots compositor with a small
and a large mode list: round trips per run (sync requests and configuration
tests, counted from the client's protocol log) and wall time next to the
floor (hyperfine). Usage:
  wayland_bench.py DISPLAYMODES WAYLAND_FLOOR SCRIPTED_COMPOSITOR"""

import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
os.environ["SCRIPTED_COMPOSITOR"] = sys.argv[3]
from wayland import ScriptedCompositor, head, script  # noqa: E402

# Four 800 x 600 modes among the others, as on a real monitor.
OTHER = [(1024, 768, 60000), (1280, 1024, 60020), (1920, 1080, 60000)]
EIGHT_HUNDRED = [(800, 600, 60317), (800, 600, 75000), (800, 600, 72188), (800, 600, 56250)]


def modes(count):
    others = [(OTHER[i % 3][0] + i // 3, OTHER[i % 3][1], OTHER[i % 3][2])
              for i in range(count - len(EIGHT_HUNDRED))]
    return others[:count // 2] + EIGHT_HUNDRED + others[count // 2:]


def round_trips(env, program):
    log = subprocess.run([program], env=dict(env, WAYLAND_DEBUG="client"),
                         stdin=subprocess.DEVNULL, capture_output=True, check=True).stderr.decode()
    syncs = len(re.findall(r"-> wl_display@1\.sync\(", log))
    tests = len(re.findall(r"-> zwlr_output_configuration_v1@\d+\.test\(", log))
    return syncs, tests


def main():
    program, floor = sys.argv[1], sys.argv[2]
    for count in (21, 1000):
        heads = [head("BENCH-1", True, modes(count), current=0)]
        with ScriptedCompositor(script(heads), log=False) as compositor:
            print("== %d modes on the default head" % count, flush=True)
            for name, binary in (("displaymodes", program), ("floor", floor)):
                syncs, tests = round_trips(compositor.env, binary)
                print("round trips per run: %s %d (%d syncs, %d tests)"
                      % (name, syncs + tests, syncs, tests), flush=True)
            with tempfile.NamedTemporaryFile("r") as results:
                subprocess.run(["hyperfine", "-N", "--warmup", "20", "--runs", "500",
                                "--export-json", results.name, program, floor],
                               env=compositor.env, check=True)
                medians = [r["median"] for r in json.load(results)["results"]]
            print("median wall time: displaymodes %.2f ms, floor %.2f ms: %.2f x the floor"
                  % (medians[0] * 1000, medians[1] * 1000, medians[0] / medians[1]), flush=True)


if __name__ == "__main__":
    main()
