"""Wayland compositors for tests: the tests' own scripted compositor, and
sway on wlroots' headless backend run as an unprivileged user; and an
independent reading of a compositor's outputs through wlr-randr."""

import contextlib
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time

from harness import Started

SCRIPTED_COMPOSITOR = os.environ.get("SCRIPTED_COMPOSITOR", "scripted_compositor")
TEST_USER = "displaymodes-test"


def hertz(millihertz):
    """Whole hertz, rounded to nearest, as a user reads a refresh rate."""
    return (millihertz + 500) // 1000 if millihertz > 0 else 0


def default_head(heads):
    """The first enabled head with modes, else the first head with modes."""
    with_modes = [h for h in heads if h["modes"]]
    enabled = [h for h in with_modes if h["enabled"]]
    return (enabled or with_modes or [None])[0]


def expected_lines(heads, refused=()):
    """{32: [(index, frequency)]} for heads given as dicts with `enabled`
    and `modes` [(width, height, millihertz)], where the compositor refuses
    the modes in `refused`."""
    head = default_head(heads)
    if head is None:
        return {}
    return {32: [(i, hertz(m[2])) for i, m in enumerate(head["modes"])
                 if m[:2] == (800, 600) and m not in refused]}


def head(name, enabled, modes, x=0, y=0, transform=0, scale=1, current=-1):
    """A head for a script: modes are (width, height, millihertz); current
    is the index of its current mode, -1 for none."""
    return {"name": name, "enabled": enabled, "modes": modes, "x": x, "y": y,
            "transform": transform, "scale": scale, "current": current}


def script(heads, refused=(), cancelled=(), quit_at_test=0, error_at_test=0, kde=False,
           order=None):
    """The scripted compositor's script for `heads`, refusing or cancelling
    tests of the modes listed, and quitting at, or answering with a
    protocol error, the Nth test; with `kde`, as KDE's output devices, in
    KDE's output `order` (names) when given."""
    lines = ["interface kde"] if kde else []
    if order is not None:
        lines.append(" ".join(["order"] + order))
    for h in heads:
        lines.append("head %s %d %d %d %d %g %d" % (h["name"], h["enabled"], h["x"], h["y"],
                                                    h["transform"], h["scale"], h["current"]))
        lines += ["mode %d %d %d" % m for m in h["modes"]]
    lines += ["refuse %d %d %d" % m for m in refused]
    lines += ["cancel %d %d %d" % m for m in cancelled]
    if quit_at_test:
        lines.append("quit-at-test %d" % quit_at_test)
    if error_at_test:
        lines.append("error-at-test %d" % error_at_test)
    return "\n".join(lines) + "\n"


class ScriptedCompositor:
    """Context manager: the tests' compositor serving `script` (text) in a
    runtime folder of its own; with `log=False` it keeps no log, as for
    benchmarks, where writing it would be counted as the client's time."""

    def __init__(self, script, log=True):
        self.script = script
        self.keep_log = log

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory()
        script = os.path.join(self.dir.name, "script")
        with open(script, "w") as f:
            f.write(self.script)
        self.log_path = os.path.join(self.dir.name, "log") if self.keep_log else os.devnull
        self.process = subprocess.Popen(
            [SCRIPTED_COMPOSITOR, script, self.log_path], stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL, env=dict(os.environ, XDG_RUNTIME_DIR=self.dir.name),
            text=True)
        self.socket = os.path.join(self.dir.name, self.process.stdout.readline().strip())
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        self.dir.cleanup()

    @property
    def env(self):
        env = dict(os.environ, WAYLAND_DISPLAY=self.socket)
        env.pop("DISPLAY", None)
        return env

    def log(self):
        with open(self.log_path) as f:
            return f.read()


def run_as(user):
    """Keyword arguments for subprocess that run a command as `user` when
    this process is root."""
    if os.getuid() != 0:
        return {}
    entry = pwd.getpwnam(user)
    return {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}


def ensure_test_user():
    """The unprivileged user compositors run as when the tests run as root
    (sway refuses to run as root)."""
    if os.getuid() != 0:
        return pwd.getpwuid(os.getuid()).pw_name
    try:
        pwd.getpwnam(TEST_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                        "/usr/sbin/nologin", TEST_USER], check=True)
    return TEST_USER


@contextlib.contextmanager
def runnable_by_anyone(program):
    """A copy of `program` that the unprivileged test user can run, for a
    build tree it cannot reach (under /root, say). It lives under /var/tmp,
    which a qemu guest that uses this machine's root also sees."""
    folder = tempfile.mkdtemp(prefix="displaymodes-", dir="/var/tmp")
    try:
        os.chmod(folder, 0o755)
        copy = os.path.join(folder, os.path.basename(program))
        shutil.copy(program, copy)
        os.chmod(copy, 0o755)
        yield copy
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def wait_for(predicate, timeout, what, process=None):
    deadline = time.monotonic() + timeout
    while not predicate():
        if process is not None and process.poll() is not None:
            raise RuntimeError("%s: the compositor exited with %s" % (what, process.returncode))
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for %s" % what)
        time.sleep(0.05)


class HeadlessSway(Started):
    """Context manager: sway on wlroots' headless backend with XWayland,
    as an unprivileged user; `env` names both its Wayland socket and its
    X display, as a desktop session does, and `user` holds the keyword
    arguments that run a client as the session's user (XWayland admits
    only that user)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="sway-")

    def _start(self):
        user = ensure_test_user()
        self.user = run_as(user)
        entry = pwd.getpwnam(user)
        os.chown(self.dir, entry.pw_uid, entry.pw_gid)
        os.chmod(self.dir, 0o700)
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write("xwayland force\n"
                    "exec sh -c 'echo \"$DISPLAY\" > \"$XDG_RUNTIME_DIR/x-display\"'\n")
        env = {"PATH": "/usr/bin:/bin", "HOME": self.dir, "XDG_RUNTIME_DIR": self.dir,
               "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
               "WLR_LIBINPUT_NO_DEVICES": "1"}
        self.log = open(os.path.join(self.dir, "sway.log"), "w")
        self.process = subprocess.Popen(["sway", "-c", config], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=self.log, start_new_session=True,
                                        **self.user)
        display_file = os.path.join(self.dir, "x-display")
        def x_display():
            with contextlib.suppress(FileNotFoundError), open(display_file) as f:
                return f.read().strip()
        wait_for(x_display, 60, "sway and XWayland", self.process)
        self.x_display = x_display()
        self.socket = os.path.join(self.dir, [n for n in os.listdir(self.dir)
                                              if re.fullmatch(r"wayland-\d+", n)][0])
        return self

    def __exit__(self, *exc):
        super().__exit__(*exc)
        shutil.rmtree(self.dir, ignore_errors=True)

    @property
    def env(self):
        return dict(os.environ, WAYLAND_DISPLAY=self.socket, DISPLAY=self.x_display)


MODE_LINE = re.compile(r"^    (\d+)x(\d+) px(?:, ([\d.]+) Hz)?")


def parse_wlr_randr(text):
    """Heads as wlr-randr lists them: [{name, enabled, modes}], each mode
    (width, height, millihertz), in the order the compositor announced
    them. wlr-randr lists heads and modes last announced first; it prints
    the rate as a float of hertz, so the millihertz are rounded back."""
    heads = []
    for line in text.splitlines():
        if line and not line.startswith(" "):
            heads.insert(0, {"name": line.split()[0], "enabled": False, "modes": []})
        elif line.strip().startswith("Enabled:"):
            heads[0]["enabled"] = line.split()[-1] == "yes"
        else:
            match = MODE_LINE.match(line)
            if match:
                millihertz = round(float(match.group(3) or 0) * 1000)
                heads[0]["modes"].insert(0, (int(match.group(1)), int(match.group(2)),
                                             millihertz))
    return heads


def wlr_randr(env, **kwargs):
    return subprocess.run(["wlr-randr"], env=env, capture_output=True, text=True, check=True,
                          timeout=60, **kwargs).stdout


def run_logged(program, env, **kwargs):
    """Runs `program` with the client's protocol log on stderr; returns
    (report, protocol log)."""
    result = subprocess.run([program], env=dict(env, WAYLAND_DEBUG="client"),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                            **kwargs)
    return result.stdout.decode(), result.stderr.decode(errors="replace")
