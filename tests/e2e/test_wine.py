"""The Windows build under Wine on a real X server: Wine implements the
Win32 display settings over X11. The expected report comes from our own
probe, which walks the same API and lists every mode."""

import glob
import os
import subprocess
import tempfile
import time
import unittest
import zipfile
from collections import Counter

from harness import BINARY, parse_report, report, waiting_for_a_key
from xserver import XServer

WINE = os.environ.get("WINE", "wine")
PROBE = os.environ["PROBE"]
LINUX_BINARY = os.environ["DISPLAYMODES_LINUX"]


class Wine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = XServer(depth=24).__enter__()
        # No .NET or HTML engine is needed: Wine must not offer to install them.
        cls.env = dict(cls.server.env, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=")
        # The first start creates the prefix; it takes about ten seconds.
        subprocess.run([WINE, "wineboot", "-i"], env=cls.env, capture_output=True,
                       timeout=300, check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, capture_output=True, timeout=60)
        cls.server.__exit__(None, None, None)

    def wine(self, program):
        return subprocess.run([WINE, program], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)

    def probe_lines(self):
        """{depth: [(index, frequency)]} of the modes the report must list."""
        result = self.wine(PROBE)
        self.assertEqual(result.returncode, 0)
        lines = {}
        for row in result.stdout.decode().splitlines():
            index, width, height, depth, frequency, test = (int(n) for n in row.split())
            if (width, height) == (800, 600) and test == 0:
                lines.setdefault(depth, []).append((index, frequency))
        return lines

    def test_report_bytes_match_the_probe(self):
        before = self.server.xrandr("--verbose")
        expected = report(self.probe_lines()).replace("\n", "\r\n")
        result = self.wine(BINARY)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout.decode(), expected)
        self.assertIn("\t", expected)  # the server's 800 x 600 modes were seen
        self.assertEqual(self.server.xrandr("--verbose"), before, "display changed")

    def test_same_frequencies_as_the_linux_build(self):
        windows = self.wine(BINARY).stdout.decode().replace("\r\n", "\n")
        linux = subprocess.run([LINUX_BINARY], env=self.server.env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60).stdout.decode()
        at_32 = [Counter(f for _, f in parse_report(text)[32]) for text in (windows, linux)]
        self.assertEqual(at_32[0], at_32[1])
        self.assertGreater(sum(at_32[1].values()), 0)

    def test_waits_for_a_key_and_output_to_a_file_is_complete(self):
        expected = self.wine(BINARY).stdout
        with tempfile.TemporaryFile() as out:
            with waiting_for_a_key([WINE, BINARY], self.env, out) as (program, press):
                time.sleep(3)
                self.assertIsNone(program.poll(), "must wait for a key")
                self.assertEqual(press(b"\r\n"), 0)
            out.seek(0)
            self.assertEqual(out.read(), expected)

    def test_zip_package_runs_on_its_own(self):
        archives = glob.glob(os.path.join(os.environ["PACKAGES"], "displaymodes-*-win64.zip"))
        self.assertEqual(len(archives), 1, archives)
        with zipfile.ZipFile(archives[0]) as archive, tempfile.TemporaryDirectory() as folder:
            self.assertEqual(sorted(archive.namelist()), ["README.md", "displaymodes.exe"])
            archive.extractall(folder)
            packaged = self.wine(os.path.join(folder, "displaymodes.exe"))
        self.assertEqual(packaged.returncode, 0)
        self.assertEqual(packaged.stdout, self.wine(BINARY).stdout)


if __name__ == "__main__":
    unittest.main()
