r"""COM ports for the Windows-side tests.

com_port(wine, number, *device_args) starts the simulated device
(build/native/bin/simdevice) on a pseudo-terminal and links
$WINEPREFIX/dosdevices/comN to its slave, so that \\.\COMn opens it.
set_serialcomm(wine, {name: data}) sets the values of
HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM. MODEM_LINES_ENV, passed to wine.start or
wine.run, preloads a library that gives the pseudo-terminal modem lines, as a
real port has (Wine's waits then stay pending instead of ending every ~5 ms).

Every device started during a test is ended by its PID when the test ends;
every wait is bounded.
"""
import json
import subprocess
import tempfile
from pathlib import Path

import pytest

from wineenv import NATIVE_BUILD, end_process, wait_until

SIMDEVICE = NATIVE_BUILD / "bin" / "simdevice"
MODEM_LINES = NATIVE_BUILD / "bin" / "libmodemlines.so"
MODEM_LINES_ENV = {"LD_PRELOAD": str(MODEM_LINES)}
SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
DEVICE_START_TIMEOUT = 20  # s, for a loaded machine

_running = []


class ComPort:
    """One simulated device behind $WINEPREFIX/dosdevices/comN."""

    def __init__(self, wine, number, device_args):
        if not SIMDEVICE.exists():
            raise FileNotFoundError(f"{SIMDEVICE} is missing: build the native preset")
        self.number = number
        self.name = f"COM{number}"
        self.dir = Path(tempfile.mkdtemp(prefix=f"com{number}-", dir=wine.logs))
        self.log_path = self.dir / "device.log"
        path_file = self.dir / "device.path"
        with open(self.dir / "device.err", "wb") as err:
            self.proc = subprocess.Popen(
                [str(SIMDEVICE), "--path-file", str(path_file), "--log", str(self.log_path),
                 *map(str, device_args)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _running.append(self)
        wait_until(lambda: path_file.exists() or self.proc.poll() is not None,
                   DEVICE_START_TIMEOUT, what="the simulated device's slave path")
        if self.proc.poll() is not None:
            raise RuntimeError(f"simdevice exited with {self.proc.returncode}: "
                               f"{(self.dir / 'device.err').read_text()}")
        self.slave = path_file.read_text().strip()
        link = wine.dosdevices / f"com{number}"
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(self.slave)

    def events(self, kind=None):
        """The device's log so far, as dicts; only those of one kind if given."""
        if not self.log_path.exists():
            return []
        found = []
        for line in self.log_path.read_text().splitlines():
            try:
                event = json.loads(line)
            except json.JSONDecodeError:
                continue  # a line still being written
            if kind is None or event["event"] == kind:
                found.append(event)
        return found

    def received(self):
        """Every byte the device has read, in order."""
        return b"".join(bytes.fromhex(e["hex"]) for e in self.events("rx"))

    def wait_for(self, kind, timeout, count=1):
        """Waits until the log holds count events of the kind; returns them."""
        return wait_until(lambda: (lambda es: es if len(es) >= count else None)(self.events(kind)),
                          timeout, what=f"{count} '{kind}' event(s) in the device log")

    def wait_received(self, n, timeout):
        return wait_until(lambda: (lambda b: b if len(b) >= n else None)(self.received()),
                          timeout, what=f"{n} bytes at the device")

    def close(self):
        end_process(self.proc)


def com_port(wine, number, *device_args):
    """A simulated device as COM<number> of the prefix; ended when the test ends."""
    return ComPort(wine, number, device_args)


def locked_port(wine, number):
    """COM<number> exists but cannot be opened (the pty slave is locked)."""
    return ComPort(wine, number, ("--lock",))


def set_serialcomm(wine, values):
    """Makes SERIALCOMM hold exactly these values.

    values maps a value name to its data: a string (REG_SZ) or a pair
    (reg type name, data). Wine enumerates the values sorted by name without
    regard to case, whatever the order they were added in: name them so that
    the sorted order is the order wanted. Wine's services fill the key when
    they start; the first reg command here starts them, so the key is emptied
    afterwards.
    """
    wine.reg("add", SERIALCOMM, "/f")
    wine.reg("delete", SERIALCOMM, "/va", "/f")
    for name, data in values.items():
        kind, text = data if isinstance(data, tuple) else ("REG_SZ", data)
        wine.reg("add", SERIALCOMM, "/v", name, "/t", kind, "/d", text, "/f")
    # Should the services have added their own values meanwhile, remove them.
    for _ in range(3):
        extra = [name for name in _serialcomm_names(wine) if name not in values]
        if not extra:
            return
        for name in extra:
            wine.reg("delete", SERIALCOMM, "/v", name, "/f")
    raise RuntimeError(f"SERIALCOMM keeps values the test did not set: {extra}")


def _serialcomm_names(wine):
    code, out = wine.run("reg", "query", SERIALCOMM)
    if code != 0:
        raise RuntimeError(f"wine reg query {SERIALCOMM} failed with {code}")
    names = []
    for line in out.decode(errors="replace").splitlines():
        if line.startswith("    ") and "    REG_" in line:
            names.append(line[4:line.index("    REG_")])
    return names


@pytest.fixture(autouse=True)
def _end_com_ports():
    yield
    while _running:
        _running.pop().close()
