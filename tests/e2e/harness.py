"""Helpers shared by the end-to-end tests: the binary under test and the
exact shape of a report."""

import contextlib
import os
import re
import subprocess

BINARY = os.environ.get("DISPLAYMODES", "displaymodes")

HEADINGS = [
    "800 x 600 pixel, 32 bit\n",
    "800 x 600 pixel, 24 bit\n",
    "800 x 600 pixel, 16 bit\n",
]
PROMPT = "type enter key to continue.\n"
MODE_LINE = re.compile(r"\tdisplay mode number=( {0,2}\d+) : display frequency=( {0,2}\d+)Hz\n")


def refresh_rate(clock_hz, htotal, vtotal, doublescan, interlace):
    """Whole hertz, rounded to nearest, as a user computes it from a mode's
    timings."""
    dots = htotal * vtotal * (2 if doublescan else 1) // (2 if interlace else 1)
    return (clock_hz + dots // 2) // dots if dots else 0


def report(lines_by_depth):
    """The exact report text for {depth: [(index, frequency), ...]}."""
    text = ""
    for heading, depth in zip(HEADINGS, (32, 24, 16)):
        text += heading
        for index, frequency in lines_by_depth.get(depth, []):
            text += "\tdisplay mode number=%3d : display frequency=%3dHz\n" % (index, frequency)
    return text + PROMPT


def parse_report(text):
    """{depth: [(index, frequency), ...]} of a well-formed report, else
    raises ValueError."""
    lines = text.splitlines(keepends=True)
    if not lines or lines[-1] != PROMPT:
        raise ValueError("report does not end with the prompt: %r" % text)
    result, depth, headings = {}, None, 0
    for line in lines[:-1]:
        if headings < 3 and line == HEADINGS[headings]:
            depth = (32, 24, 16)[headings]
            result[depth] = []
            headings += 1
            continue
        match = MODE_LINE.fullmatch(line)
        if depth is None or match is None:
            raise ValueError("unexpected line %r in %r" % (line, text))
        result[depth].append((int(match.group(1)), int(match.group(2))))
    if headings != 3:
        raise ValueError("missing headings in %r" % text)
    if report(result) != text:
        raise ValueError("report not in exact format: %r" % text)
    return result


def run(args=(), stdin=subprocess.DEVNULL, env=None, timeout=60, **kwargs):
    return subprocess.run([BINARY, *args], stdin=stdin, capture_output=True,
                          env=env, timeout=timeout, **kwargs)


class Started:
    """A context manager for a server the tests start (`_start`, which
    returns it, sets `process` and may open a `log`): when the start fails,
    `__exit__` stops again whatever did start."""

    process = None
    log = None

    def __enter__(self):
        try:
            return self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def __exit__(self, *exc):
        if self.process is not None:
            stop(self.process)
        if self.log is not None:
            self.log.close()


def stop(process):
    """Ends a server the tests started: politely, then for good."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@contextlib.contextmanager
def waiting_for_a_key(command, env, stdout):
    """Starts `command` with its input a pipe held open and yields the
    process and `press(key)`, which types the key and returns the exit
    status. The process is killed if it is still running afterwards."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(command, stdin=read_end, stdout=stdout,
                               stderr=subprocess.PIPE, env=env)
    os.close(read_end)

    def press(key):
        os.write(write_end, key)
        return process.wait(timeout=60)

    try:
        yield process, press
    finally:
        os.close(write_end)
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stderr.close()
