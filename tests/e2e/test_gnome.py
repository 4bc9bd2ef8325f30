"""End-to-end tests of the GNOME service: the report comes from Mutter's
display configuration, each candidate is checked with a verify-only
ApplyMonitorsConfig, and Mutter's state, serial included, never changes."""

import unittest

from gi.repository import GLib

from gnome import Mutter, ScriptedDisplayConfig, SessionBus, expected_lines
from harness import report, run
from xserver import XServer


def mode(width, height, refresh, scales=(1.0,), current=False):
    return ["%dx%d@%.3f" % (width, height, refresh), width, height, refresh, scales[0],
            list(scales), {"is-current": current}]


def monitor(connector, modes):
    return [[connector, "Vendor", "Product", "0x00"], modes, {}]


def logical(x, y, scale, connector, primary=False, transform=0):
    return [x, y, scale, transform, primary, [[connector, "Vendor", "Product", "0x00"]], {}]


def state(monitors, logical_monitors, layout_mode=1):
    return [5, monitors, logical_monitors, {"layout-mode": layout_mode}]


WIDE = mode(1920, 1080, 60.0, current=True)


class ScriptedMutterTest(unittest.TestCase):
    """Layouts and scales that Mutter refuses unless the test keeps them
    valid: the stand-in checks each configuration as Mutter does."""

    CASES = {
        # A HiDPI laptop at scale 2, whose 800 x 600 modes support only 1.
        "scale the candidate does not support": (
            state([monitor("eDP-1", [mode(2560, 1600, 60.0, (1.0, 2.0), True),
                                     mode(800, 600, 60.317), mode(800, 600, 56.25)])],
                  [logical(0, 0, 2.0, "eDP-1", primary=True)]),
            [[(0, 0, 1.0)], [(0, 0, 1.0)]]),
        "a monitor right of the default one moves left": (
            state([monitor("DP-1", [WIDE, mode(800, 600, 60.0)]),
                   monitor("DP-2", [mode(1280, 1024, 60.02, current=True)])],
                  [logical(0, 0, 1.0, "DP-1", primary=True), logical(1920, 0, 1.0, "DP-2")]),
            [[(0, 0, 1.0), (800, 0, 1.0)]]),
        "a monitor below the default one moves up": (
            state([monitor("DP-1", [WIDE, mode(800, 600, 75.0)]),
                   monitor("DP-2", [mode(1280, 1024, 60.02, current=True)])],
                  [logical(0, 0, 1.0, "DP-1", primary=True), logical(0, 1080, 1.0, "DP-2")]),
            [[(0, 0, 1.0), (0, 600, 1.0)]]),
        "a monitor left of the default one stays": (
            state([monitor("DP-1", [mode(1280, 1024, 60.02, current=True)]),
                   monitor("DP-2", [WIDE, mode(800, 600, 72.188)])],
                  [logical(0, 0, 1.0, "DP-1"), logical(1280, 0, 1.0, "DP-2", primary=True)]),
            [[(0, 0, 1.0), (1280, 0, 1.0)]]),
        # In the logical layout a scaled neighbour's size is its mode over
        # its scale: 2560 / 2 = 1280 wide beside the default.
        "a scaled monitor beside the default one keeps its scale": (
            state([monitor("DP-1", [WIDE, mode(800, 600, 60.0)]),
                   monitor("DP-2", [mode(2560, 1440, 60.0, (1.0, 2.0), True)])],
                  [logical(0, 0, 1.0, "DP-1", primary=True), logical(1920, 0, 2.0, "DP-2")]),
            [[(0, 0, 1.0), (800, 0, 2.0)]]),
        "no primary: the first logical monitor's": (
            state([monitor("DP-1", [mode(800, 600, 85.0, current=True)])],
                  [logical(0, 0, 1.0, "DP-1")]),
            None),
    }

    def test_layout_and_scale_stay_valid(self):
        for name, (scripted, placements) in self.CASES.items():
            with self.subTest(name):
                with SessionBus() as bus, ScriptedDisplayConfig(bus, scripted) as mutter:
                    result = run(env=mutter.env)
                    calls = mutter.calls()
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.stdout.decode(), report(expected_lines(scripted)))
                self.assertTrue(calls)
                for call in calls:
                    self.assertEqual((call["serial"], call["method"], call["answer"]),
                                     (5, 0, "ok"))
                if placements is not None:
                    self.assertEqual([[tuple(lm[:3]) for lm in call["logical"]] for call in calls],
                                     placements)

    def test_a_refused_candidate_is_dropped(self):
        # Mutter refuses an overlapping layout: a neighbour the program
        # cannot move out of the way (it sits at the default's own place).
        scripted = state(
            [monitor("DP-1", [WIDE, mode(800, 600, 60.0)]),
             monitor("DP-2", [mode(640, 480, 60.0, current=True)])],
            [logical(0, 0, 1.0, "DP-1", primary=True), logical(0, 0, 1.0, "DP-2")])
        with SessionBus() as bus, ScriptedDisplayConfig(bus, scripted) as mutter:
            result = run(env=mutter.env)
            calls = mutter.calls()
        self.assertEqual(result.stdout.decode(), report({}))
        self.assertEqual([call["answer"] for call in calls], ["Logical monitors overlap"])

    def test_mutter_gone_mid_walk(self):
        scripted = state([monitor("DP-1", [mode(800, 600, 60.0, current=True),
                                           mode(800, 600, 75.0), mode(800, 600, 85.0)])],
                         [logical(0, 0, 1.0, "DP-1", primary=True)])
        with SessionBus() as bus, ScriptedDisplayConfig(bus, scripted, quit_at_apply=2) as mutter:
            result = run(env=mutter.env)
            calls = mutter.calls()
        # The first check was answered; Mutter went at the second, which is
        # refused, and so is everything after it.
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(result.stdout.decode(), report({32: [(0, 60)]}))
        self.assertEqual([call["answer"] for call in calls], ["ok", "quit"])

    def test_a_session_without_mutter(self):
        with SessionBus() as bus:
            env = dict(bus.env, WAYLAND_DISPLAY="wayland-0")
            result = run(env=env)
        self.assertEqual((result.returncode, result.stdout.decode(), result.stderr),
                         (0, report({}), b""))


class RealMutterTest(unittest.TestCase):
    """Mutter 43, headless, with virtual monitors: the report is derived
    from its own GetCurrentState, which is identical after the run."""

    CASES = {
        "another monitor right of the default one": ["800x600@56.25", "800x600@75"],
        "the primary is not the first monitor": ["800x600@60", "1024x768@59.94"],
        "a fractional rate": ["800x600@59.94"],
    }

    def test_report_and_nothing_changed(self):
        # An X server stands in for the session's XWayland: the report
        # still comes from Mutter.
        for name, monitors in self.CASES.items():
            with self.subTest(name):
                with SessionBus() as bus, Mutter(bus, monitors) as mutter, XServer() as x:
                    before = bus.state()
                    result = run(env=dict(mutter.env, DISPLAY=x.display))
                    after = bus.state()
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.stdout.decode(), report(expected_lines(before)))
                self.assertEqual(after, before)

    def test_a_monitor_at_scale_2_keeps_it(self):
        with SessionBus() as bus, Mutter(bus, ["800x600@60", "1600x1200@60"]) as mutter:
            serial, monitors, _, _ = bus.state()
            big = monitors[1][1][0]
            self.assertIn(2.0, big[5], "1600x1200 supports scale 2")
            # The 800 x 600 monitor primary at the left, the other at scale 2.
            layout = [(0, 0, 1.0, 0, True, [(monitors[0][0][0], monitors[0][1][0][0], {})]),
                      (800, 0, 2.0, 0, False, [(monitors[1][0][0], big[0], {})])]
            bus.call("ApplyMonitorsConfig", GLib.Variant(
                "(uua(iiduba(ssa{sv}))a{sv})", (serial, 1, layout, {})))
            before = bus.state()
            self.assertEqual([lm[2] for lm in before[2]], [1.0, 2.0])
            result = run(env=mutter.env)
            after = bus.state()
        self.assertEqual(result.stdout.decode(), report(expected_lines(before)))
        self.assertIn("\t", result.stdout.decode())
        self.assertEqual(after, before)


if __name__ == "__main__":
    unittest.main()
