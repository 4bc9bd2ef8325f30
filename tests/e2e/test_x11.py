"""The report on a real X server: Xorg with the dummy driver, set up with
xrandr, and the expected report derived from xrandr --verbose."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import BINARY, HEADINGS, PROMPT, parse_report, report, run, waiting_for_a_key
from xserver import XProxy, XServer, expected_lines

TIMINGS = "800 840 968 1056 600 601 605 628"

# Modes the dummy driver refuses from its config but accepts at run time.
USER_MODES = [
    ("interlaced", "40 %s Interlace" % TIMINGS),
    ("doublescan", "40 %s DoubleScan" % TIMINGS),
    ("zerohertz", "0 %s" % TIMINGS),
    ("fast", "900 800 801 802 803 600 601 602 603"),
]


def add_modes(server, output, modes):
    for name, line in modes:
        server.xrandr("--newmode", name, *line.split())
        server.xrandr("--addmode", output, name)


# (name, server depth, set-up on the running server)
SETUPS = [
    ("depth_24", 24, lambda x: None),
    ("depth_16", 16, lambda x: None),
    ("user_modes", 24, lambda x: add_modes(x, "DUMMY0", USER_MODES)),
    ("mode_on_other_output", 24,
     lambda x: add_modes(x, "DUMMY1", [("other", "44 %s" % TIMINGS)])),
    ("disconnected_primary", 24, lambda x: x.xrandr("--output", "DUMMY1", "--primary")),
    ("no_primary", 24, lambda x: x.xrandr("--noprimary")),
    ("output_off", 24, lambda x: x.xrandr("--output", "DUMMY0", "--off")),
]

HEADINGS_ONLY = "".join(HEADINGS) + PROMPT


class RealServer(unittest.TestCase):
    def test_report_matches_xrandr(self):
        for name, depth, setup in SETUPS:
            with self.subTest(name), XServer(depth=depth) as server:
                setup(server)
                before = server.xrandr("--verbose")
                result = run(env=server.env)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.stdout.decode(), report(expected_lines(server)))
                self.assertEqual(server.xrandr("--verbose"), before, "display changed")
                lines = parse_report(result.stdout.decode())
                if name.startswith("depth"):
                    self.assertEqual(len(lines[depth if depth != 24 else 32]), 5)
                if name == "mode_on_other_output":
                    self.assertNotIn(66, [f for d in lines.values() for _, f in d])

    def test_closed_standard_streams_do_not_meet_the_connection(self):
        # The connection must not take the number of a closed stream: the
        # report would be sent to the server as requests.
        with XServer() as server, XProxy(server) as proxy:
            for redirect in ("<&-", ">&-", "<&- >&- 2>&-"):
                with self.subTest(redirect):
                    proxy.sent.clear()
                    result = subprocess.run(["sh", "-c", '"$0" %s; echo status=$? >&2' % redirect,
                                             BINARY], env=proxy.env, capture_output=True,
                                            timeout=20)
                    self.assertEqual(result.stderr, b"status=0\n")
                    time.sleep(0.2)
                    self.assertGreater(len(proxy.sent), 0, "program did not use the proxy")
                    self.assertNotIn(b"800 x 600", bytes(proxy.sent))


class NoServer(unittest.TestCase):
    def assert_headings_only(self, result):
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout.decode(), HEADINGS_ONLY)

    def test_unreachable_displays(self):
        base = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        for name, display in [("unset", None), ("no server", ":4711"), ("garbage", "no:such:x")]:
            with self.subTest(name):
                env = dict(base) if display is None else dict(base, DISPLAY=display)
                self.assert_headings_only(run(env=env))

    def test_server_without_randr(self):
        with XServer(xvfb_args=["-extension", "RANDR", "-screen", "0", "800x600x24"]) as server:
            self.assert_headings_only(run(env=server.env))

    def test_server_gone_before_it_answers(self):
        with XServer() as server:
            server.process.send_signal(signal.SIGSTOP)
            program = subprocess.Popen([BINARY], stdin=subprocess.DEVNULL, env=server.env,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            time.sleep(0.5)
            server.process.kill()
            server.process.wait()
            out, err = program.communicate(timeout=20)
            self.assert_headings_only(subprocess.CompletedProcess([], program.returncode, out, err))

    def test_server_killed_while_the_program_waits(self):
        with XServer() as server:
            expected = report(expected_lines(server))
            with tempfile.TemporaryFile() as out:
                with waiting_for_a_key([BINARY], server.env, out) as (program, press):
                    time.sleep(1.0)  # the walks take milliseconds
                    server.process.kill()
                    server.process.wait()
                    self.assertEqual(press(b"\n"), 0)
                    self.assertEqual(program.stderr.read(), b"")
                out.seek(0)
                self.assertEqual(out.read().decode(), expected)

if __name__ == "__main__":
    unittest.main()
