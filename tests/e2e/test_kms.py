"""The console display service on a real kernel: qemu's standard VGA with
the kernel's bochs DRM driver. The expected report is derived from
modetest's listing of the same connector and plane."""

import os
import re
import unittest

from guest import boot
from harness import refresh_rate, report

PROGRAM = os.environ["DISPLAYMODES_STATIC"]
KERNEL_DIR = os.environ["KERNEL_DIR"]

# Pixel formats the service lists, as modetest names them, by depth.
FORMATS = [(32, "XR24"), (24, "RG24"), (16, "RG16")]

MODE = re.compile(r"^\s+#\d+ \S+ [\d.]+ (\d+) \d+ \d+ (\d+) (\d+) \d+ \d+ (\d+) (\d+) flags: ([^;]*);")


def parse_listing(text):
    """(connector modes, primary plane formats) of modetest -c -p for a
    card with one connected connector and one CRTC."""
    connectors, planes = text.split("\nCRTCs:")[0], text.split("\nPlanes:")[1]
    self_connected = re.search(r"^\d+\t\d+\tconnected.*?\n(.*?)\n  props:", connectors,
                               re.S | re.M).group(1)
    modes = []
    for line in self_connected.splitlines():
        match = MODE.match(line)
        if match:
            width, htotal, height, vtotal, clock = (int(match.group(i)) for i in range(1, 6))
            flags = match.group(6).split(", ")
            modes.append((width, height, clock, htotal, vtotal, flags))
    formats = re.search(r"formats: (.*)", planes).group(1).split()
    return modes, formats


def expected_report(listing):
    modes, formats = parse_listing(listing)
    lines, index = {}, 0
    for width, height, clock, htotal, vtotal, flags in modes:
        hertz = refresh_rate(clock * 1000, htotal, vtotal, "dblscan" in flags,
                             "interlace" in flags)
        for depth, name in FORMATS:
            if name in formats:
                if (width, height) == (800, 600):
                    lines.setdefault(depth, []).append((index, hertz))
                index += 1
    return report(lines)


def parse_commits(text):
    counts = {"checking": 0, "committing": 0}
    for count, word in re.findall(rb"(\d+) (\w+)", text):
        counts[word.decode()] = int(count)
    return counts


# qemu display options that give the guest different EDIDs, so different
# mode lists.
MODE_SETS = [
    ("default_edid", "-vga std"),
    ("preferred_800x600", "-device VGA,xres=800,yres=600"),
    ("no_edid", "-device VGA,edid=off"),
]


class Console(unittest.TestCase):
    def test_report_matches_the_kernel_listing(self):
        for name, vga in MODE_SETS:
            with self.subTest(name):
                sections = boot(PROGRAM, KERNEL_DIR, vga)
                before, after = sections["listing"]
                expected = expected_report(before.decode())
                self.assertIn("\t", expected, "the mode set has 800 x 600 modes")
                as_master, while_held = sections["report"]
                self.assertEqual(as_master.decode(), expected)
                self.assertEqual(while_held.decode(), expected)
                self.assertEqual(sections["status"], [b"status=0\nstatus=0\n"])
                self.assertEqual(after, before, "the display changed")

                # As master each listed mode was a test-only commit, and the
                # only real commit is the kernel's own on the last close.
                master, held, bare = (parse_commits(c) for c in sections["commits"])
                self.assertEqual(master["committing"], bare["committing"])
                self.assertEqual(master["checking"] - master["committing"],
                                 expected.count("\t"))
                # While another program holds the display nothing is tested
                # through the kernel.
                self.assertEqual(held, {"checking": 0, "committing": 0})


if __name__ == "__main__":
    unittest.main()
