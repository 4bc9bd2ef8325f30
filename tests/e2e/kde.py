"""KDE's compositor for tests: KWin on its virtual backend, as an
unprivileged user with its own session bus, and an independent reading of
its outputs through kscreen-doctor."""

import contextlib
import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile

from harness import Started
from wayland import ensure_test_user, run_as, wait_for

# kscreen-doctor -o: "Output: 1 Virtual-0 enabled connected priority 1 …
# Modes: 0:800x600@60*! 1:… Geometry: …", colours aside.
COLOUR = re.compile(r"\x1b\[[0-9;]*m")
OUTPUT = re.compile(r"Output: \d+ (\S+) (enabled|disabled) .*?priority (\d+).*?Modes: (.*?) Geometry")
MODE = re.compile(r"\d+:(\d+)x(\d+)@([\d.]+)")


class Kwin(Started):
    """Context manager: kwin_wayland --virtual with `outputs` outputs of
    `width` x `height`, with XWayland, as the test user. A plain copy of
    the binary runs it, since a container may refuse to run Debian's
    because of its file capabilities. `env` names its Wayland socket and X
    display, and `user` runs a client as the session's user."""

    def __init__(self, outputs, width, height):
        self.outputs, self.width, self.height = outputs, width, height
        self.dir = tempfile.mkdtemp(prefix="kwin-", dir="/var/tmp")

    def _start(self):
        name = ensure_test_user()
        self.user = run_as(name)
        entry = pwd.getpwnam(name)
        os.chmod(self.dir, 0o755)
        self.runtime = os.path.join(self.dir, "runtime")
        os.mkdir(self.runtime, 0o700)
        os.chown(self.runtime, entry.pw_uid, entry.pw_gid)
        kwin = os.path.join(self.dir, "kwin_wayland")
        shutil.copy(shutil.which("kwin_wayland"), kwin)
        os.chmod(kwin, 0o755)
        x_display = os.path.join(self.runtime, "x-display")
        # KWin starts this in its session, where DISPLAY names its XWayland.
        session = os.path.join(self.dir, "session.sh")
        with open(session, "w") as f:
            f.write('#!/bin/sh\necho "$DISPLAY" > %s\nexec sleep 1000000\n' % x_display)
        os.chmod(session, 0o755)
        command = ["dbus-run-session", "--", kwin, "--virtual", "--xwayland", "--no-lockscreen",
                   "--socket", "kwin-test", "--width", str(self.width), "--height",
                   str(self.height), "--output-count", str(self.outputs), session]
        env = {"PATH": "/usr/bin:/bin", "HOME": self.runtime, "XDG_RUNTIME_DIR": self.runtime,
               "QT_QPA_PLATFORM": "offscreen"}
        self.log = open(os.path.join(self.dir, "kwin.log"), "w")
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=self.log,
                                        start_new_session=True, **self.user)

        def x_display_named():
            if os.path.exists(x_display):
                with open(x_display) as f:
                    return f.read().strip()
            return None
        wait_for(x_display_named, 90, "KWin and XWayland", self.process)
        self.x_display = x_display_named()
        wait_for(lambda: len(OUTPUT.findall(self.doctor())) == self.outputs, 60,
                 "KWin's outputs", self.process)
        return self

    def __exit__(self, *exc):
        # KWin, its bus, XWayland and the session script: asked to end, so
        # the bus removes its socket, then ended for good.
        for signal_number in (signal.SIGTERM, signal.SIGKILL):
            if self.process is not None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.process.pid, signal_number)
                super().__exit__(*exc)
        shutil.rmtree(self.dir, ignore_errors=True)

    @property
    def env(self):
        env = dict(os.environ, WAYLAND_DISPLAY="kwin-test", DISPLAY=self.x_display,
                   XDG_RUNTIME_DIR=self.runtime, HOME=self.runtime)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        return env

    def doctor(self):
        """kscreen-doctor's listing of the outputs."""
        result = subprocess.run(["kscreen-doctor", "-o"],
                                env=dict(self.env, QT_QPA_PLATFORM="wayland"),
                                capture_output=True, text=True, timeout=60, **self.user)
        return COLOUR.sub("", result.stdout)


def parse_doctor(text):
    """Outputs as kscreen-doctor lists them, first in KWin's order first:
    [{name, enabled, modes}], each mode (width, height, hertz as listed)."""
    outputs = []
    for name, enabled, priority, modes in OUTPUT.findall(" ".join(text.split())):
        outputs.append((int(priority), {
            "name": name, "enabled": enabled == "enabled",
            "modes": [(int(w), int(h), r) for w, h, r in MODE.findall(modes)]}))
    return [output for _, output in sorted(outputs, key=lambda o: o[0])]


def expected_lines(outputs):
    """{32: [(index, frequency)]}: the first output in KWin's order, when it
    is enabled, lists each of its 800 x 600 modes."""
    if not outputs or not outputs[0]["enabled"]:
        return {}
    return {32: [(i, int(float(rate) + 0.5)) for i, (w, h, rate) in enumerate(outputs[0]["modes"])
                 if (w, h) == (800, 600)]}
