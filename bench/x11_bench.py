"""Whole runs against a real X server with a small and a large mode list:
X requests per run (counted by xtrace) and wall time next to the floor
(hyperfine, which gives commands an empty stdin; plain xrandr for scale). Usage: x11_bench.py DISPLAYMODES X11_FLOOR"""

import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from xserver import CONFIGS, XServer  # noqa: E402


def config_with_modes(directory, count, refresh):
    """The test server's config with `count` extra modelines."""
    with open(os.path.join(CONFIGS, "xorg-dummy-24.conf")) as base:
        text = base.read()
    lines = []
    for i in range(count):
        width, height = 640 + (i % 40) * 16, 480 + (i // 40) * 8
        lines.append('  Modeline "m%04d" %d.000 %d %d %d %d %d %d %d %d' % (
            i, 30 + i % 50, width, width + 16, width + 48, width + 160,
            height, height + 1, height + 4, height + 30))
    text = text.replace("  VertRefresh 5.0-1000.0\n", "  VertRefresh %s\n%s\n" % (refresh, "\n".join(lines)))
    path = os.path.join(directory, "xorg-%d.conf" % count)
    with open(path, "w") as out:
        out.write(text)
    return path


def requests(server, program):
    with tempfile.NamedTemporaryFile("r") as trace:
        number = int(server.display[1:]) + 50
        subprocess.run(["xtrace", "-n", "-d", server.display, "-D", ":%d" % number,
                        "-o", trace.name, "--", program], env=server.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
        return sum(1 for line in trace if re.search(r":<:[0-9a-f]+:.*Request", line))


def modes_on_output(server):
    out = subprocess.run(["xrandr", "--verbose"], env=server.env, capture_output=True,
                         check=True).stdout.decode()
    block = out.split("DUMMY1 ")[0]
    return len(re.findall(r"^  \S+ \(0x[0-9a-f]+\)", block, re.M))


def main():
    program, floor = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as directory:
        for count, refresh in ((0, "59.0-61.0"), (1000, "5.0-1000.0")):
            with XServer(config=config_with_modes(directory, count, refresh)) as server:
                modes = modes_on_output(server)
                print("== %d modes on the default output" % modes, flush=True)
                print("X requests per run: displaymodes %d, floor %d" % (
                    requests(server, program), requests(server, floor)), flush=True)
                if count:
                    subprocess.run(["hyperfine", "-N", "--warmup", "20", "--runs", "300",
                                    program, floor, "xrandr"], env=server.env, check=True)


if __name__ == "__main__":
    main()
