"""Wine and Xvfb for the Windows-side tests.

One Xvfb per test session; one fresh Wine prefix per test, copied from a
template prepared once. Every process started here is ended by its PID, and
every wait is bounded.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WIN_BUILD = Path(os.environ.get("KORV_WIN_BUILD", ROOT / "build" / "windows"))
NATIVE_BUILD = Path(os.environ.get("KORV_NATIVE_BUILD", ROOT / "build" / "native"))
ARTIFACTS = Path(os.environ.get("KORV_ARTIFACTS", WIN_BUILD / "test-artifacts"))


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls predicate until it returns a true value; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def end_process(proc, grace=2.0):
    """Ends a Popen by its PID: SIGTERM, then SIGKILL after grace seconds."""
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=5)
    except ProcessLookupError:
        pass


class Xvfb:
    def __init__(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            end_process(self.proc)
            raise RuntimeError("Xvfb did not start")
        self.display = f":{number}"

    def close(self):
        end_process(self.proc)


def _base_env(prefix, display):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEARCH="win64", DISPLAY=display,
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def make_template_prefix(display):
    """Prepares a Wine prefix once: booted, no window-manager waits."""
    path = Path(tempfile.mkdtemp(prefix="korv-wine-template-"))
    env = _base_env(path, display)
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        with open(path / "wineboot.log", "wb") as log:
            subprocess.run(["wine", "wineboot", "-i"], env=env, stdout=log, stderr=log, timeout=180, check=True)
            subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                            "/t", "REG_SZ", "/d", "N", "/f"], env=env, stdout=log, stderr=log,
                           timeout=60, check=True)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, timeout=30)
        end_process(server)
    return path


class WinePrefix:
    """A fresh prefix for one test, with its own wineserver."""

    def __init__(self, template, display):
        self.path = Path(tempfile.mkdtemp(prefix="korv-wine-"))
        shutil.copytree(template, self.path, symlinks=True, dirs_exist_ok=True)
        self.display = display
        self.env = _base_env(self.path, display)
        self.logs = self.path / "logs"
        self.logs.mkdir(exist_ok=True)
        self._procs = []
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._procs.append(self.server)
        self._count = 0

    @property
    def dosdevices(self):
        return self.path / "dosdevices"

    def start(self, exe, *args, env=None):
        """Starts a Windows program; output goes to files, never to a pipe."""
        self._count += 1
        out = open(self.logs / f"{self._count}-{Path(exe).stem}.out", "wb")
        err = open(self.logs / f"{self._count}-{Path(exe).stem}.err", "wb")
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        proc = subprocess.Popen(["wine", str(exe), *map(str, args)], env=full_env,
                                stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        proc.out_path, proc.err_path = out.name, err.name
        out.close()
        err.close()
        self._procs.append(proc)
        return proc

    def run(self, exe, *args, timeout=60, env=None):
        """Runs a Windows program to its end; returns (exit code, stdout bytes)."""
        proc = self.start(exe, *args, env=env)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_process(proc)
            raise
        return code, Path(proc.out_path).read_bytes()

    def reg(self, *args, timeout=60):
        code, _ = self.run("reg", *args, timeout=timeout)
        if code != 0:
            raise RuntimeError(f"wine reg {' '.join(args)} failed with {code}")

    def close(self):
        for proc in reversed(self._procs[1:]):
            end_process(proc)
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end_process(self.server)
        shutil.rmtree(self.path, ignore_errors=True)
