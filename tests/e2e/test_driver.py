"""The program as a user runs it: arguments, standard input and output in
their odd states, an interactive terminal."""

import os
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import BINARY, PROMPT, parse_report, run, waiting_for_a_key

# Whatever service answers on this machine, the driver behaves the same;
# the X server a developer may be running is kept out of it.
ENV = {k: v for k, v in os.environ.items() if k != "DISPLAY"}


def shell(command):
    """Runs the binary through sh, for redirections Python cannot express."""
    return subprocess.run(["sh", "-c", command, BINARY], capture_output=True,
                          env=ENV, timeout=60)


class Driver(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        result = run(env=ENV)
        cls.reference = result.stdout.decode()
        assert result.returncode == 0, result
        parse_report(cls.reference)  # raises unless well-formed

    def assert_whole_report(self, result):
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout.decode(), self.reference)
        self.assertEqual(result.stderr, b"")

    def test_arguments_are_ignored(self):
        self.assert_whole_report(run(["--help", "-v", "800", ""], env=ENV))

    def test_stdin_states_end_the_wait(self):
        for name, command in [("empty file", '"$0" </dev/null'),
                              ("closed", '"$0" <&-')]:
            with self.subTest(name):
                self.assert_whole_report(shell(command))

    def test_only_the_first_character_is_needed(self):
        # The writer stays open: the program must not wait for more input.
        read_end, write_end = os.pipe()
        os.write(write_end, b"abc\n")
        try:
            result = run(stdin=read_end, env=ENV, timeout=20)
        finally:
            os.close(read_end)
            os.close(write_end)
        self.assert_whole_report(result)

    def test_write_errors_are_ignored(self):
        for name, command in [("full device", '"$0" >/dev/full'),
                              ("closed stdout", '"$0" >&-')]:
            with self.subTest(name):
                result = shell(command + " </dev/null; echo status=$?")
                self.assertEqual(result.stdout, b"status=0\n")
                self.assertEqual(result.stderr, b"")

    def test_reader_gone_is_no_death_by_sigpipe(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = subprocess.run([BINARY], stdin=subprocess.DEVNULL, stdout=write_end,
                                     stderr=subprocess.PIPE, env=ENV, timeout=60)
        finally:
            os.close(write_end)
        self.assertEqual(result.returncode, 0, "negative means killed by a signal")
        self.assertEqual(result.stderr, b"")
        # And as a user would write it.
        result = subprocess.run(["bash", "-c", '"$0" </dev/null | head -c1 >/dev/null;'
                                 ' echo status=${PIPESTATUS[0]}', BINARY],
                                capture_output=True, env=ENV, timeout=60)
        self.assertEqual(result.stdout, b"status=0\n")

    def test_output_to_a_file_is_buffered_and_complete_at_exit(self):
        with tempfile.TemporaryFile() as out:
            with waiting_for_a_key([BINARY], ENV, out) as (process, press):
                time.sleep(1.0)
                self.assertIsNone(process.poll(), "must wait for a key")
                out.seek(0)
                self.assertEqual(out.read(), b"", "output to a file is buffered")
                self.assertEqual(press(b"\n"), 0)
                self.assertEqual(process.stderr.read(), b"")
            out.seek(0)
            self.assertEqual(out.read().decode(), self.reference)


@unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
class Terminal(unittest.TestCase):
    """At a terminal every line and the prompt are shown while it waits."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.socket = os.path.join(self.dir.name, "tmux")
        self.status = os.path.join(self.dir.name, "status")

    def tearDown(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True)
        self.dir.cleanup()

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], capture_output=True,
                              check=True, env=ENV).stdout.decode()

    def test_lines_visible_while_waiting_and_enter_ends_it(self):
        reference = run(env=ENV).stdout.decode()
        command = "env -u DISPLAY %s; echo status=$? > %s; sleep 60" % (
            shlex.quote(BINARY), shlex.quote(self.status))
        self.tmux("new-session", "-d", "-x", "120", "-y", "60", command)
        expected = [line.expandtabs().rstrip() for line in reference.splitlines()]
        screen = []
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            screen = [l for l in self.tmux("capture-pane", "-p").splitlines() if l]
            if screen and screen[-1] == PROMPT.rstrip():
                break
            time.sleep(0.1)
        self.assertEqual(screen, expected)
        time.sleep(0.3)
        self.assertFalse(os.path.exists(self.status), "must wait for Enter")
        self.tmux("send-keys", "Enter")
        deadline = time.monotonic() + 20
        while not os.path.exists(self.status) and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.1)
        with open(self.status) as status:
            self.assertEqual(status.read(), "status=0\n")


if __name__ == "__main__":
    unittest.main()
