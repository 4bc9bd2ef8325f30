"""sway on a real kernel's DRM (virtio-gpu under qemu): the report is the
monitor's own modes as the compositor lists them, derived independently
from wlr-randr in the same guest, and the run only tests."""

import os
import re
import unittest

from harness import report
from sway_guest import boot
from wayland import ensure_test_user, expected_lines, parse_wlr_randr, runnable_by_anyone

PROGRAM = os.environ["DISPLAYMODES"]
KERNEL_DIR = os.environ["KERNEL_DIR"]

# virtio-gpu display options that give the guest different EDIDs, so
# different mode lists.
MODE_SETS = [
    ("preferred_1024x768", "-device virtio-gpu-pci,edid=on,xres=1024,yres=768"),
    ("preferred_800x600", "-device virtio-gpu-pci,edid=on,xres=800,yres=600"),
]


class SwayOnDrm(unittest.TestCase):
    def test_report_matches_wlr_randr_and_nothing_changes(self):
        user = ensure_test_user()
        for name, display in MODE_SETS:
            with self.subTest(name):
                with runnable_by_anyone(PROGRAM) as program:
                    sections = boot(program, KERNEL_DIR, user, display)
                before, after = (s.decode() for s in sections["listing"])
                expected = report(expected_lines(parse_wlr_randr(before)))
                self.assertIn("\t", expected, "the mode set has 800 x 600 modes")
                self.assertEqual(sections["report"][0].decode(), expected)
                self.assertEqual(sections["stderr"], [b""])
                self.assertEqual(sections["status"], [b"status=0\n"])
                self.assertEqual(after, before, "the compositor's outputs changed")
                protocol = sections["protocol"][0].decode()
                tests = re.findall(r"-> zwlr_output_configuration_v1@\d+\.test\(\)", protocol)
                self.assertEqual(len(tests), expected.count("\t"))
                self.assertNotRegex(protocol, r"zwlr_output_configuration_v1@\d+\.apply")


if __name__ == "__main__":
    unittest.main()
