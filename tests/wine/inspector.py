"""Looking at the program's main window from outside, through inspect.exe.

Inspector runs the inspection tool in a test's Wine prefix and returns what it
prints as Python values; texts come back as str (decoded from UTF-16), so they
compare directly with the expected Russian texts. start_app() starts the exe
and waits for its window. Every wait is bounded; every process a fixture
starts is ended by its PID when the test ends.
"""
import json
import os
import subprocess
import tempfile
from pathlib import Path, PureWindowsPath

import pytest

from wineenv import WIN_BUILD, end_process, wait_until

INSPECT_EXE = WIN_BUILD / "bin" / "inspect.exe"
APP_EXE = WIN_BUILD / "bin" / "korvelantis-bootloader-TEST-IMAGE.exe"

# Bounds, in milliseconds for the tool and seconds for Python: generous, as the
# machine is shared and a Wine process takes a while to start.
WINDOW_TIMEOUT_MS = 30000
WAIT_TIMEOUT_MS = 10000
TOOL_TIMEOUT_S = 90

# Control ids of the main window, in creation order (app/control_ids.h).
ERROR_LINE_1, ERROR_LINE_2, WRITE_BUTTON, STATUS_FIELD, PORT_LIST, UPLOAD_PROGRESS, VERSION_LABEL, \
    CRC_FIELD, CRC_RECEIVED_CAPTION, CRC_CAPTION, OK_BUTTON, ERROR_ICON, SUCCESS_TEXT = range(101, 114)
MAIN_WINDOW = 0  # the id the tool gives the main window itself
IDOK = 1


class InspectError(RuntimeError):
    """The tool failed; code is its exit code (2 usage, 3 timeout), result its JSON."""

    def __init__(self, args, code, result, stderr):
        message = result.get("error") if isinstance(result, dict) else None
        super().__init__(f"inspect {' '.join(map(str, args))[:200]} exited {code}: {message or stderr}")
        self.code = code
        self.result = result


def windows_path(path):
    """The path of a Unix file as Wine's Z: drive shows it."""
    return str(PureWindowsPath("Z:" + str(Path(path).resolve()).replace("/", "\\")))


def escape(text):
    """Text as the tool's --escaped arguments take it: plain ASCII, JSON escapes."""
    return json.dumps(text, ensure_ascii=True)[1:-1]


def _parse_lines(raw):
    return [json.loads(line) for line in raw.decode("ascii").splitlines() if line.strip()]


class Dump(dict):
    """The result of `inspect dump`: the window and its controls by id."""

    @property
    def window(self):
        return self["window"]

    def control(self, control_id):
        for control in self["controls"]:
            if control["id"] == control_id:
                return control
        raise KeyError(f"no control {control_id} in the main window")


class Launched:
    """A process started through `inspect launch`, with an exact command line."""

    def __init__(self, proc):
        self._proc = proc

    def _lines(self):
        return _parse_lines(Path(self._proc.out_path).read_bytes())

    @property
    def pid(self):
        lines = wait_until(lambda: self._lines() or self._proc.poll() is not None, TOOL_TIMEOUT_S,
                           what="the launched process's pid")
        lines = self._lines()
        if not lines or "pid" not in lines[0]:
            raise RuntimeError(f"launch failed: {lines}")
        return lines[0]["pid"]

    def wait(self, timeout=TOOL_TIMEOUT_S):
        """Waits for the launched process to end; returns its exit code."""
        self._proc.wait(timeout=timeout)
        last = self._lines()[-1]
        if "exit_code" not in last:
            raise RuntimeError(f"launched process did not end: {last}")
        return last["exit_code"]


class Inspector:
    """inspect.exe in one Wine prefix; pid narrows the main window to one process."""

    def __init__(self, wine, pid=None):
        self.wine = wine
        self.pid = pid

    def run(self, *args):
        """Runs one tool command; returns its JSON result, raises InspectError on failure.

        The tool prints a line for every outcome, its own failures included; a
        run that printed nothing never got to run (seen once under heavy load,
        exit code 1 from Wine), so it is tried once more before failing."""
        for attempt in range(2):
            proc = self.wine.start(INSPECT_EXE, *map(str, args))
            try:
                code = proc.wait(timeout=TOOL_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                end_process(proc)
                raise
            raw = Path(proc.out_path).read_bytes()
            if code == 0 or raw.strip() or attempt == 1:
                break
        lines = _parse_lines(raw)
        result = lines[-1] if lines else None
        if code != 0:
            raise InspectError(args, code, result, Path(proc.err_path).read_text(errors="replace"))
        return result

    def _window_args(self, timeout_ms):
        args = ["--timeout", timeout_ms]
        if self.pid is not None:
            args += ["--pid", self.pid]
        return args

    def find(self, timeout_ms=WINDOW_TIMEOUT_MS):
        return self.run("find", *self._window_args(timeout_ms))

    def dump(self, timeout_ms=WINDOW_TIMEOUT_MS):
        return Dump(self.run("dump", *self._window_args(timeout_ms)))

    def wait(self, control_id, condition, timeout_ms=WAIT_TIMEOUT_MS):
        """Waits until a control (MAIN_WINDOW: the window) is in a state:
        visible, hidden, enabled, disabled, gone, pos=N, selection=N, count=N."""
        return self.run("wait", control_id, condition, *self._window_args(timeout_ms))

    def wait_text(self, control_id, text, contains=False, timeout_ms=WAIT_TIMEOUT_MS):
        condition = ("contains=" if contains else "text=") + escape(text)
        return self.run("wait", control_id, condition, "--escaped", *self._window_args(timeout_ms))

    def click(self, control_id, force=False):
        return self.run("click", control_id, *(["--force"] if force else []), *self._window_args(WAIT_TIMEOUT_MS))

    def select(self, index, force=False):
        return self.run("select", index, *(["--force"] if force else []), *self._window_args(WAIT_TIMEOUT_MS))

    def close(self, wait_exit_ms=None):
        """Posts WM_CLOSE; with wait_exit_ms also waits for the process to end
        and returns its exit code and the measured times (exit_ms, window_gone_ms)."""
        extra = ["--wait-exit", wait_exit_ms] if wait_exit_ms is not None else []
        return self.run("close", *extra, *self._window_args(WAIT_TIMEOUT_MS))

    def msgbox(self, press=None, timeout_ms=WINDOW_TIMEOUT_MS):
        args = ["msgbox", "--timeout", timeout_ms]
        if self.pid is not None:
            args += ["--pid", self.pid]
        if press is not None:
            args += ["--press", press]
        return self.run(*args)

    def windows(self, pid=None, include_hidden=False):
        args = ["list"] + (["--pid", pid] if pid is not None else []) + (["--all"] if include_hidden else [])
        return self.run(*args)["windows"]

    def launch(self, command_line, wide=False, wait_ms=WINDOW_TIMEOUT_MS * 4):
        """Starts an exact command line (str: UTF-8 text, bytes: passed to
        CreateProcessA unchanged) and returns a Launched whose wait() gives
        the exit code."""
        fd, name = tempfile.mkstemp(prefix="cmdline-", suffix=".txt", dir=self.wine.path)
        os.close(fd)
        path = Path(name)
        raw = isinstance(command_line, bytes)
        path.write_bytes(command_line if raw else command_line.encode("utf-8"))
        args = ["launch", "--file", windows_path(path), "--wait", wait_ms]
        args += ["--raw"] if raw else []
        args += ["--wide"] if wide else []
        return Launched(self.wine.start(INSPECT_EXE, *args))

    def kill(self, pid):
        return self.run("kill", pid)


def start_app(wine, *args, timeout_ms=WINDOW_TIMEOUT_MS, env=None):
    """Starts the test-image exe with Wine's argument quoting (env: extra
    environment, e.g. comports.MODEM_LINES_ENV); waits for its window.
    Returns (proc, inspector); the window's pid narrows the inspector."""
    proc = wine.start(APP_EXE, *args, env=env)
    inspector = Inspector(wine)
    try:
        window = inspector.find(timeout_ms)
    except InspectError:
        end_process(proc)
        raise
    inspector.pid = window["pid"]
    return proc, inspector


def screenshot(wine, path, rect=None, settle_s=10, settled=True):
    """Saves a PNG of the X screen, cropped to rect ({x, y, w, h}) when given.
    Shoots until two shots in a row show the same pixels (the window may
    still be painting), for at most settle_s seconds; with settled=False
    (a screen that keeps changing, such as a moving progress bar) one shot."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    crop = ["-crop", f"{rect['w']}x{rect['h']}+{rect['x']}+{rect['y']}", "+repage"] if rect else []
    previous = None

    def shoot():
        nonlocal previous
        subprocess.run(["import", "-display", wine.display, "-window", "root", *crop, str(path)],
                       check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        pixels = Picture(path).rgb
        settled, previous = pixels == previous, pixels
        return settled

    if settled:
        wait_until(shoot, settle_s, interval=0.2, what=f"the screen to settle for {path.name}")
    else:
        shoot()
    return path


class Screen:
    """Real input on the Xvfb screen, as a person gives it (xdotool). With
    Managed=N, Win32 screen coordinates are X root coordinates."""

    def __init__(self, display):
        self.env = dict(os.environ, DISPLAY=display)

    def _xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.env, check=True, timeout=TOOL_TIMEOUT_S,
                       stdout=subprocess.DEVNULL)

    def click_at(self, x, y):
        self._xdotool("mousemove", "--sync", x, y, "click", "1")

    def click(self, dump, control_id, at=None):
        """Clicks a control of a dump: at its centre, or at (dx, dy) from its
        top-left corner (negative: from its right or bottom edge)."""
        rect, origin = dump.control(control_id)["rect"], dump.window["client_origin"]
        dx, dy = at if at is not None else (rect["w"] // 2, rect["h"] // 2)
        x = origin["x"] + rect["x"] + (dx if dx >= 0 else rect["w"] + dx)
        y = origin["y"] + rect["y"] + (dy if dy >= 0 else rect["h"] + dy)
        self.click_at(x, y)

    def key(self, *keys):
        """Key strokes such as "Down", "Tab", "space", "alt+F4" to the focused window."""
        self._xdotool("key", "--delay", 50, *keys)


class Picture:
    """The pixels of a PNG, read through ImageMagick: at(x, y) -> (r, g, b)."""

    def __init__(self, path):
        size = subprocess.run(["identify", "-format", "%w %h", str(path)], check=True, timeout=60,
                              capture_output=True).stdout.split()
        self.width, self.height = int(size[0]), int(size[1])
        self.rgb = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], check=True, timeout=60,
                                   capture_output=True).stdout

    def at(self, x, y):
        offset = 3 * (y * self.width + x)
        return tuple(self.rgb[offset:offset + 3])


@pytest.fixture
def app(wine):
    """The test-image exe started without arguments, its window shown:
    (proc, inspector)."""
    proc, inspector = start_app(wine)
    yield proc, inspector
    end_process(proc)
