"""End-to-end tests of the Wayland service: the report comes from the
compositor's output management, never from XWayland's emulated modes, and a
run only tests configurations, never applies one."""

import os
import subprocess
import tempfile
import unittest

from harness import BINARY, report, run
from wayland import (HeadlessSway, ScriptedCompositor, expected_lines, head,
                     parse_wlr_randr, run_logged, runnable_by_anyone, script, wlr_randr)
from xserver import XServer
from xserver import expected_lines as x_expected_lines


def mode_text(mode):
    return "%dx%d@%d" % mode


def expected_test_log(heads, default, candidate, answer):
    """The compositor's log of one test: every other head exactly as it is,
    the default head in the candidate mode at its own place."""
    lines = ["test serial=7"]
    for h in heads:
        if not h["enabled"] and h is not default:
            lines.append("  disable %s" % h["name"])
            continue
        mode = candidate if h is default else (
            mode_text(h["modes"][h["current"]]) if h["current"] >= 0 else "-")
        lines.append("  enable %s mode=%s position=%d,%d transform=%d scale=%g"
                     % (h["name"], mode, h["x"], h["y"], h["transform"], h["scale"]))
    lines.append("  " + answer)
    return lines


SIX_MODES = [(1024, 768, 60000), (800, 600, 59940), (800, 600, 75000), (800, 600, 0),
             (800, 600, 72000), (800, 600, 56250)]
MANY_MODES = [(640 + i, 480, 60000) for i in range(990)] + [
    (800, 600, 60317), (800, 600, 85000), (800, 600, 1000), (800, 600, 999999)]


class ScriptedCompositorTest(unittest.TestCase):
    """What no real compositor shows on demand: refusals and cancels,
    several heads, rates that need rounding, a compositor that quits or
    sends a protocol error."""

    CASES = {
        # The default head is not first: the first is disabled, the third
        # has its own mode, place, transform and scale to keep.
        "default head not first": dict(
            heads=[head("OFF-1", False, [(800, 600, 60000)]),
                   head("ON-2", True, SIX_MODES, x=1920, y=0, transform=0, scale=1.5,
                        current=0),
                   head("ON-3", True, [(1280, 1024, 60020), (800, 600, 60000)], x=0, y=0,
                        transform=1, scale=2, current=0)],
            refused=[(800, 600, 75000)], cancelled=[(800, 600, 72000)]),
        "only a disabled head has modes": dict(
            heads=[head("EMPTY-1", True, []),
                   head("OFF-2", False, [(800, 600, 60000), (800, 600, 50000)])]),
        "an enabled head in a custom mode": dict(
            heads=[head("ON-1", True, [(800, 600, 60000)], current=0),
                   head("CUSTOM-2", True, [(800, 600, 75000)], x=800)]),
        "about a thousand modes": dict(heads=[head("BIG-1", True, MANY_MODES, current=3)]),
        "no heads": dict(heads=[]),
        "heads without modes": dict(heads=[head("HEADLESS-1", True, []),
                                           head("HEADLESS-2", False, [])]),
    }

    def test_report_and_tests_sent(self):
        for name, case in self.CASES.items():
            with self.subTest(name):
                heads = case["heads"]
                refused = case.get("refused", [])
                cancelled = case.get("cancelled", [])
                with ScriptedCompositor(script(heads, refused, cancelled)) as compositor:
                    result = run(env=compositor.env)
                    log = compositor.log()
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                lines = expected_lines(heads, refused + cancelled)
                self.assertEqual(result.stdout.decode(), report(lines))

                # One test per 800 x 600 mode, each with every other head
                # as it is; nothing applied.
                default = next((h for h in heads if h["enabled"] and h["modes"]),
                               next((h for h in heads if h["modes"]), None))
                expected_log = []
                for mode in (default or {"modes": []})["modes"]:
                    if mode[:2] != (800, 600):
                        continue
                    answer = ("failed" if mode in refused else
                              "cancelled" if mode in cancelled else "succeeded")
                    expected_log += expected_test_log(heads, default, mode_text(mode), answer)
                self.assertEqual(log.splitlines(), expected_log)
                self.assertNotIn("apply", log)

    def test_wlr_randr_reads_the_heads_as_announced(self):
        # The real-compositor tests derive their expected reports from
        # wlr-randr: its reading must give back the order and rates sent.
        heads = self.CASES["default head not first"]["heads"]
        with ScriptedCompositor(script(heads)) as compositor:
            listed = parse_wlr_randr(wlr_randr(compositor.env))
        self.assertEqual([(h["name"], h["enabled"], h["modes"]) for h in listed],
                         [(h["name"], h["enabled"], h["modes"]) for h in heads])

    def test_compositor_quits_or_errors_mid_walk(self):
        heads = [head("ON-1", True, [(800, 600, 60000), (800, 600, 75000), (800, 600, 85000)])]
        for ending in ("quit", "error"):
            with self.subTest(ending):
                with ScriptedCompositor(script(heads, **{ending + "_at_test": 2})) as compositor:
                    result = run(env=compositor.env)
                    log = compositor.log()
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                # The first test was answered; the connection ended at the
                # second, which is refused, and so is everything after it.
                self.assertEqual(result.stdout.decode(), report({32: [(0, 60)]}))
                self.assertTrue(log.endswith(ending + "\n"), log)


class ChooserTest(unittest.TestCase):
    """Which display answers when a session names a compositor or not."""

    def test_a_compositor_the_session_does_not_name_is_not_guessed(self):
        # A compositor on wayland-0 in the runtime folder, but the session
        # names only an X display: X answers, as over SSH with X forwarding.
        heads = [head("ON-1", True, [(800, 600, 60000)])]
        with ScriptedCompositor(script(heads)) as compositor, XServer() as server:
            self.assertTrue(os.path.basename(compositor.socket).startswith("wayland-"))
            env = dict(server.env, XDG_RUNTIME_DIR=os.path.dirname(compositor.socket))
            env.pop("WAYLAND_DISPLAY", None)
            env.pop("WAYLAND_SOCKET", None)
            result = run(env=env)
            self.assertEqual(compositor.log(), "")
            self.assertEqual(result.stdout.decode(), report(x_expected_lines(server)))

    def test_a_session_whose_compositor_cannot_be_reached_falls_back(self):
        # No kernel display on this machine to read: the X server answers.
        with XServer() as server, tempfile.TemporaryDirectory() as folder:
            env = dict(server.env, WAYLAND_DISPLAY=os.path.join(folder, "wayland-9"))
            result = run(env=env)
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stderr, b"")
            self.assertEqual(result.stdout.decode(), report(x_expected_lines(server)))

    def test_compositor_answers_before_xwayland(self):
        heads = [head("ON-1", True, [(800, 600, 50000)])]
        with ScriptedCompositor(script(heads)) as compositor, XServer() as server:
            env = dict(compositor.env, DISPLAY=server.display)
            result = run(env=env)
        self.assertEqual(result.stdout.decode(), report({32: [(0, 50)]}))


class HeadlessSwayTest(unittest.TestCase):
    """sway on its headless backend: its output has no modes, while its
    XWayland offers an emulated 800 x 600."""

    def test_headings_alone_and_nothing_changed(self):
        with HeadlessSway() as sway, runnable_by_anyone(BINARY) as program:
            xwayland = subprocess.run(["xrandr"], env=sway.env, capture_output=True, text=True,
                                      timeout=60, **sway.user).stdout
            self.assertRegex(xwayland, r"(?m)^\s+800x600\s", "XWayland offers 800 x 600")
            before = wlr_randr(sway.env, **sway.user)
            heads = parse_wlr_randr(before)
            self.assertTrue(heads)
            result = subprocess.run([program], env=sway.env, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=60, **sway.user)
            text, protocol = run_logged(program, sway.env, **sway.user)
            after = wlr_randr(sway.env, **sway.user)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout.decode(), report(expected_lines(heads)))
        self.assertEqual(result.stdout.decode(), report({}))
        self.assertEqual(text, result.stdout.decode())
        self.assertIn("zwlr_output_manager_v1", protocol)
        self.assertNotRegex(protocol, r"zwlr_output_configuration_v1@\d+\.apply")
        self.assertEqual(before, after)


if __name__ == "__main__":
    unittest.main()
