"""GNOME's display configuration for tests: a private session bus, real
Mutter on it (headless, with virtual monitors), or a scripted stand-in
that answers the two methods the program calls and checks a configuration
as Mutter does; and an independent reading of the state through GLib."""

import json
import os
import subprocess
import sys
import tempfile

from gi.repository import Gio, GLib

from harness import Started, stop
from wayland import wait_for

SERVICE = "org.gnome.Mutter.DisplayConfig"
PATH = "/org/gnome/Mutter/DisplayConfig"
HERE = os.path.dirname(os.path.abspath(__file__))


class SessionBus:
    """Context manager: a dbus-daemon of the tests' own and a runtime
    folder; `env` points clients at both."""

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory()
        os.chmod(self.dir.name, 0o700)
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            text=True)
        self.address = self.daemon.stdout.readline().strip()
        self.connection = Gio.DBusConnection.new_for_address_sync(
            self.address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        return self

    def __exit__(self, *exc):
        self.connection.close_sync(None)
        stop(self.daemon)
        self.daemon.stdout.close()
        self.dir.cleanup()

    @property
    def env(self):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.address,
                   XDG_RUNTIME_DIR=self.dir.name)
        env.pop("DISPLAY", None)
        return env

    def call(self, method, parameters=None):
        return self.connection.call_sync(SERVICE, PATH, SERVICE, method, parameters, None,
                                         Gio.DBusCallFlags.NO_AUTO_START, 10000,
                                         None).unpack()

    def state(self):
        """GetCurrentState: (serial, monitors, logical monitors, properties)."""
        return self.call("GetCurrentState")

    def owned(self):
        reply = self.connection.call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", GLib.Variant("(s)", (SERVICE,)), None, Gio.DBusCallFlags.NONE,
            10000, None)
        return reply.unpack()[0]


class Mutter(Started):
    """Context manager: real Mutter, headless, with `monitors` virtual
    monitors ("WxH@R"), on `bus`; `env` names its Wayland socket too."""

    def __init__(self, bus, monitors):
        self.bus = bus
        self.monitors = monitors

    def _start(self):
        command = ["mutter", "--headless", "--wayland", "--no-x11"]
        for monitor in self.monitors:
            command += ["--virtual-monitor", monitor]
        self.log = open(os.path.join(self.bus.dir.name, "mutter.log"), "w")
        self.process = subprocess.Popen(command, env=self.bus.env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=self.log)
        wait_for(lambda: self.bus.owned() and len(self.bus.state()[2]) == len(self.monitors),
                 60, "Mutter", self.process)
        return self

    @property
    def env(self):
        socket = os.path.join(self.bus.dir.name, "wayland-0")
        return dict(self.bus.env, WAYLAND_DISPLAY=socket)


class ScriptedDisplayConfig(Started):
    """Context manager: the scripted stand-in for Mutter's display
    configuration serving `state` (GetCurrentState's value as Python data)
    on `bus`, quitting at the Nth ApplyMonitorsConfig when asked; `calls()`
    lists the ApplyMonitorsConfig calls and answers."""

    def __init__(self, bus, state, quit_at_apply=0):
        self.bus = bus
        self.state = state
        self.quit_at_apply = quit_at_apply

    def _start(self):
        folder = self.bus.dir.name
        self.state_path = os.path.join(folder, "state.json")
        self.log_path = os.path.join(folder, "calls.json")
        with open(self.state_path, "w") as f:
            json.dump({"state": self.state, "quit_at_apply": self.quit_at_apply}, f)
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "scripted_display_config.py"), self.state_path,
             self.log_path], env=self.bus.env, stdin=subprocess.DEVNULL)
        wait_for(self.bus.owned, 30, "the scripted display configuration", self.process)
        return self

    @property
    def env(self):
        # The session names a compositor, as a GNOME session does.
        return dict(self.bus.env, WAYLAND_DISPLAY=os.path.join(self.bus.dir.name, "wayland-0"))

    def calls(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            return [json.loads(line) for line in f]


def hertz(refresh):
    """Whole hertz, rounded to nearest (56.25 -> 56, 59.94 -> 60)."""
    millihertz = round(refresh * 1000)
    return (millihertz + 500) // 1000 if millihertz > 0 else 0


def default_monitor(state):
    """The monitor of the primary logical monitor, else of the first."""
    _, monitors, logical, _ = state
    if not logical:
        return None
    primary = [lm for lm in logical if lm[4]] or logical
    connector = primary[0][5][0][0]
    return next(m for m in monitors if m[0][0] == connector)


def expected_lines(state, refused=()):
    """{32: [(index, frequency)]} for Mutter's state, where the mode ids in
    `refused` fail the test."""
    monitor = default_monitor(state)
    if monitor is None:
        return {}
    return {32: [(i, hertz(mode[3])) for i, mode in enumerate(monitor[1])
                 if (mode[1], mode[2]) == (800, 600) and mode[0] not in refused]}
