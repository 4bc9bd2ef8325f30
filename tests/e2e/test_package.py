"""The Debian package: unpacked into a temporary root, its binary runs and
reports on a real X server; its run-time dependencies were computed."""

import glob
import os
import subprocess
import tempfile
import unittest

from harness import HEADINGS, PROMPT, report
from xserver import XServer, expected_lines


class DebianPackage(unittest.TestCase):
    def setUp(self):
        packages = glob.glob(os.path.join(os.environ["PACKAGES"], "displaymodes_*.deb"))
        self.assertEqual(len(packages), 1, packages)
        self.deb = packages[0]
        self.root = tempfile.TemporaryDirectory()
        subprocess.run(["dpkg-deb", "-x", self.deb, self.root.name], check=True)
        self.binary = os.path.join(self.root.name, "usr", "bin", "displaymodes")

    def tearDown(self):
        self.root.cleanup()

    def run_installed(self, env):
        return subprocess.run([self.binary], stdin=subprocess.DEVNULL, capture_output=True,
                              env=env, timeout=60)

    def test_installed_binary_reports(self):
        without_display = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        result = self.run_installed(without_display)
        self.assertEqual((result.returncode, result.stdout.decode()),
                         (0, "".join(HEADINGS) + PROMPT))
        with XServer() as server:
            result = self.run_installed(server.env)
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stdout.decode(), report(expected_lines(server)))

    def test_contents_and_dependencies(self):
        manual = os.path.join(self.root.name, "usr", "share", "man", "man1", "displaymodes.1")
        self.assertTrue(os.path.isfile(manual))
        depends = subprocess.run(["dpkg-deb", "-f", self.deb, "Depends"], capture_output=True,
                                 check=True).stdout.decode()
        # The X and DRM libraries are linked in; libwayland-client is not.
        for library in ("libc6", "libwayland-client0"):
            self.assertIn(library, depends)
        for library in ("libxcb", "libdrm"):
            self.assertNotIn(library, depends)


if __name__ == "__main__":
    unittest.main()
