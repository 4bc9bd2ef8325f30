"""End-to-end tests of the KDE service: the report comes from KWin's output
devices, the default one first in KWin's output order, and nothing is ever
configured."""

import subprocess
import unittest

from harness import BINARY, report, run
from kde import Kwin, expected_lines, parse_doctor
from wayland import ScriptedCompositor, head, runnable_by_anyone, script

MODES = [(1024, 768, 60000), (800, 600, 59940), (800, 600, 56250), (800, 600, 0)]


class ScriptedKdeTest(unittest.TestCase):
    """What a real KWin does not show on demand."""

    CASES = {
        "the default output is not the first announced": (
            [head("A", True, [(800, 600, 75000)]), head("B", True, MODES)], ["B", "A"],
            {32: [(1, 60), (2, 56), (3, 0)]}),
        "no output order: the first enabled device with modes": (
            [head("OFF", False, [(800, 600, 75000)]), head("EMPTY", True, []),
             head("ON", True, MODES)], None,
            {32: [(1, 60), (2, 56), (3, 0)]}),
        "the first in the order is disabled: nothing could be set": (
            [head("ON", True, MODES), head("OFF", False, [(800, 600, 75000)])], ["OFF", "ON"],
            {}),
        "no device has modes": ([head("EMPTY", True, [])], ["EMPTY"], {}),
    }

    def test_default_output_and_its_modes(self):
        for name, (heads, order, lines) in self.CASES.items():
            with self.subTest(name):
                with ScriptedCompositor(script(heads, kde=True, order=order)) as compositor:
                    result = run(env=compositor.env)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.stdout.decode(), report(lines))


class RealKwinTest(unittest.TestCase):
    """KWin 5.27 on its virtual backend, with XWayland running: the report
    is derived from kscreen-doctor, whose view is the same afterwards."""

    CASES = {
        "two 800 x 600 outputs": (2, 800, 600),
        "no 800 x 600 output": (1, 1024, 768),
    }

    def test_report_matches_kscreen_doctor(self):
        for name, (outputs, width, height) in self.CASES.items():
            with self.subTest(name):
                with Kwin(outputs, width, height) as kwin, \
                        runnable_by_anyone(BINARY) as program:
                    before = kwin.doctor()
                    result = subprocess.run([program], env=kwin.env, stdin=subprocess.DEVNULL,
                                            capture_output=True, timeout=60, **kwin.user)
                    protocol = subprocess.run(
                        [program], env=dict(kwin.env, WAYLAND_DEBUG="client"),
                        stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                        **kwin.user).stderr.decode()
                    after = kwin.doctor()
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.stdout.decode(),
                                 report(expected_lines(parse_doctor(before))))
                self.assertEqual(after, before)
                # The devices are read; KWin's output management, which
                # could change them, is never even bound.
                self.assertRegex(protocol, r'-> wl_registry@\d+\.bind\(\d+, "kde_output_device_v2"')
                self.assertNotRegex(protocol, r'\.bind\(\d+, "kde_output_management_v2"')


if __name__ == "__main__":
    unittest.main()
