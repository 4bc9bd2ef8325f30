"""A real X server for tests: Xorg with the dummy video driver (or Xvfb),
started on a free display number and stopped afterwards, and an
independent reading of its outputs through xrandr and xdpyinfo."""

import os
import re
import socket
import subprocess
import sys
import tempfile
import threading

from harness import refresh_rate, stop

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIGS = os.path.join(HERE, "..", "x11")


class XServer:
    """Context manager: `with XServer(depth=24) as x: x.env ...`"""

    def __init__(self, depth=24, xvfb_args=None, config=None):
        self.depth = depth
        self.xvfb_args = xvfb_args
        self.config = config
        self.process = None
        self.display = None
        self.dir = None

    def __enter__(self):
        self.dir = tempfile.TemporaryDirectory()
        read_end, write_end = os.pipe()
        if self.xvfb_args is not None:
            command = ["Xvfb", *self.xvfb_args]
        else:
            config = self.config or os.path.join(CONFIGS, "xorg-dummy-%d.conf" % self.depth)
            command = ["Xorg", "-config", config,
                       "-logfile", os.path.join(self.dir.name, "Xorg.log"),
                       "-novtswitch", "-sharevts"]
        command += ["-noreset", "-nolisten", "tcp", "-displayfd", str(write_end)]
        self.process = subprocess.Popen(command, pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            self.process.kill()
            self.process.wait()
            raise RuntimeError("X server did not start: %s" % " ".join(command))
        self.display = ":" + number
        return self

    def __exit__(self, *exc):
        self.stop()
        self.dir.cleanup()

    def stop(self):
        stop(self.process)

    @property
    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def run(self, *command):
        return subprocess.run(list(command), env=self.env, capture_output=True, check=True,
                              timeout=60).stdout.decode()

    def xrandr(self, *args):
        return self.run("xrandr", *args)

    def bits_per_pixel(self):
        """The pixmap format's bits per pixel for the root window's depth."""
        info = self.run("xdpyinfo")
        depth = int(re.search(r"depth of root window:\s+(\d+) planes", info).group(1))
        return int(re.search(r"depth %d, bits_per_pixel (\d+)" % depth, info).group(1))


MODE = re.compile(r"^  (\S+) \((0x[0-9a-f]+)\)\s+([\d.]+)MHz(.*)$")
H_LINE = re.compile(r"^\s+h: width\s+(\d+) .* total\s+(\d+) ")
V_LINE = re.compile(r"^\s+v: height\s+(\d+) .* total\s+(\d+) ")
OUTPUT = re.compile(r"^(\S+) (connected|disconnected)( primary)?")
SCREEN = re.compile(r"maximum (\d+) x (\d+)")


def parse_xrandr_verbose(text):
    """(max_width, max_height, [output]) where each output is a dict with
    name, connected, primary, has_crtc and its modes in order."""
    outputs, output, mode = [], None, None
    maximum = tuple(int(n) for n in SCREEN.search(text).groups())
    for line in text.splitlines():
        match = OUTPUT.match(line)
        if match:
            output = {"name": match.group(1), "connected": match.group(2) == "connected",
                      "primary": bool(match.group(3)), "has_crtc": False, "modes": []}
            outputs.append(output)
            continue
        if output is None:
            continue
        if re.match(r"^\tCRTC:\s+\d+", line):
            output["has_crtc"] = True
        match = MODE.match(line)
        if match:
            megahertz = match.group(3)
            whole, _, fraction = megahertz.partition(".")
            mode = {"clock": int(whole) * 1000000 + int((fraction + "000000")[:6]),
                    "interlace": "Interlace" in match.group(4).split(),
                    "doublescan": "DoubleScan" in match.group(4).split()}
            output["modes"].append(mode)
            continue
        match = H_LINE.match(line)
        if match and mode is not None:
            mode["width"], mode["htotal"] = int(match.group(1)), int(match.group(2))
        match = V_LINE.match(line)
        if match and mode is not None:
            mode["height"], mode["vtotal"] = int(match.group(1)), int(match.group(2))
    return maximum, outputs


def frequency(mode):
    return refresh_rate(mode["clock"], mode["htotal"], mode["vtotal"], mode["doublescan"],
                        mode["interlace"])


def default_output(outputs):
    usable = [o for o in outputs if o["connected"] and o["modes"]]
    primary = [o for o in usable if o["primary"]]
    return (primary or usable or [None])[0]


def expected_lines(server):
    """{depth: [(index, frequency)]} that the report must show on `server`."""
    maximum, outputs = parse_xrandr_verbose(server.xrandr("--verbose"))
    output = default_output(outputs)
    if output is None or not output["has_crtc"]:
        return {}
    bpp = server.bits_per_pixel()
    if 800 > maximum[0] or 600 > maximum[1]:
        return {}
    return {bpp: [(i, frequency(m)) for i, m in enumerate(output["modes"])
                  if (m["width"], m["height"]) == (800, 600)]}


if __name__ == "__main__":
    # Demo: runs the given program against a virtual X server.
    with XServer() as server:
        sys.exit(subprocess.run(sys.argv[1:], env=server.env).returncode)


class XProxy:
    """Stands between clients and `server` on a display number of its own
    and records every byte the clients send."""

    def __init__(self, server):
        self.server = server
        self.sent = bytearray()
        self.threads = []

    def __enter__(self):
        number = int(self.server.display[1:])
        for candidate in range(number + 100, number + 200):
            path = "/tmp/.X11-unix/X%d" % candidate
            if not os.path.exists(path):
                break
        self.path = path
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(4)
        self.display = ":%d" % candidate
        accept = threading.Thread(target=self._accept, daemon=True)
        accept.start()
        return self

    def __exit__(self, *exc):
        self.listener.close()
        os.unlink(self.path)
        for thread in self.threads:
            thread.join(timeout=10)

    @property
    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            upstream.connect("/tmp/.X11-unix/X%s" % self.server.display[1:])
            for source, sink, record in ((client, upstream, True), (upstream, client, False)):
                thread = threading.Thread(target=self._pump, args=(source, sink, record),
                                          daemon=True)
                thread.start()
                self.threads.append(thread)

    def _pump(self, source, sink, record):
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            if not data:
                try:
                    sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                source.close()
                return
            if record:
                self.sent += data
            try:
                sink.sendall(data)
            except OSError:
                source.close()
                return
