"""Whole firmware updates from the window against simulated devices: what the
end-to-end tests and the main job share.

One clock: the simulated device stamps each log line with CLOCK_MONOTONIC
("mono"), the clock of Python's time.monotonic(), so what crossed the line
and what the window showed are compared on it. The inspection tool starts
only after the Python call that runs it, and its waits last at least their
--timeout: a wait that times out proves the state did not hold up to (call +
timeout); a wait that succeeds proves it held by the time the call returned.
Every wait is bounded; every process is ended by its PID by the fixtures.
"""
import os
import re
import time
from pathlib import Path

from comports import MODEM_LINES_ENV, set_serialcomm
from inspector import (ERROR_ICON, ERROR_LINE_1, ERROR_LINE_2, OK_BUTTON, SUCCESS_TEXT, WRITE_BUTTON,
                       InspectError, start_app)
from wineenv import ROOT

TEST_IMAGE = (ROOT / "resources" / "test-firmware.bin").read_bytes()
BLOCK_BYTES = 256
BLOCKS = len(TEST_IMAGE) // BLOCK_BYTES  # 508: the device's last block
LAST_PROGRESS = BLOCKS - 1               # the final reply steps no counter

START_TEXT = "Выберите порт с подключённым устройством."
NO_DEVICE_TEXT = "На этом порту устройств не найдено."
# The simulated device's default identity "KORVELANTIS 7 1.5\r\n", as the
# window shows it: the reply's CR LF stays at the end of the line.
IDENTITY_TEXT = "Устройство: 7   Текущая версия ПО: 1.5\r\n"

SUCCESS_SCREEN = {SUCCESS_TEXT, OK_BUTTON}
FAILURE_SCREEN = {ERROR_LINE_1, ERROR_LINE_2, ERROR_ICON, OK_BUTTON}

# SetThreadExecutionState: ES_CONTINUOUS | ES_SYSTEM_REQUIRED holds the
# machine awake, ES_CONTINUOUS alone lets it sleep again. Wine's stub logs
# each call as a warning of its ntdll channel.
HOLD, RELEASE = 0x80000001, 0x80000000
KEEP_AWAKE_LOGGING = "-all,warn+ntdll"
KEEP_AWAKE_LINE = re.compile(r"^(?P<thread>[0-9a-f]+):warn:ntdll:NtSetThreadExecutionState \((?P<state>0x[0-9a-f]+),")

PACED_BAUD = 38462           # the device's line rate
TIMEOUT_EXIT_CODE = 3        # the inspection tool's exit code when a wait runs out
IDENTIFY_TIMEOUT_MS = 30000  # port open, "VERS" and the reply, on a loaded machine
TRANSFER_TIMEOUT_S = 300     # ~15 s unpaced, ~35 s paced; generous for a loaded machine
CLOSE_BOUND_S = 3.0          # closing ends the process within this, in any state


def start_with_ports(wine, ports, modem_lines=True):
    """Lists the ports (ComPort objects or "COMn" names) in SERIALCOMM in this
    order, then starts the test-image exe: (proc, inspector). modem_lines=False
    runs it on plain ptys, where Wine's serial waits end every ~5 ms. Wine
    logs the program's requests not to sleep (see keep_awake_requests)."""
    set_serialcomm(wine, {f"Port{i:03d}": getattr(port, "name", port) for i, port in enumerate(ports)})
    env = dict(MODEM_LINES_ENV if modem_lines else {}, WINEDEBUG=KEEP_AWAKE_LOGGING)
    return start_app(wine, env=env)


def keep_awake_requests(proc):
    """The program's SetThreadExecutionState calls so far, as Wine's ntdll
    logs them on stderr: [(thread id, "hold" or "release")]."""
    requests = []
    for line in Path(proc.err_path).read_text(errors="replace").splitlines():
        found = KEEP_AWAKE_LINE.match(line)
        if found:
            state = int(found["state"], 16)
            requests.append((found["thread"], {HOLD: "hold", RELEASE: "release"}.get(state, hex(state))))
    return requests


def identify(inspector, entry=0):
    """Chooses a port list entry by message and waits until "Записать" is enabled."""
    inspector.select(entry)
    inspector.wait(WRITE_BUTTON, "enabled", timeout_ms=IDENTIFY_TIMEOUT_MS)


def port_holders(port):
    """The processes, other than the device itself, that hold the port's pty
    slave open: [(pid, name)]. Empty once the program has closed the port."""
    holders = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == port.proc.pid:
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
            name = Path(f"/proc/{pid}/comm").read_text().strip()
        except OSError:
            continue  # gone, or not ours
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == port.slave:
                    holders.append((int(pid), name))
                    break
            except OSError:
                continue
    return holders


def replies(device, kind=None):
    """The device's replies so far (kind: identity, block, final, flood)."""
    return [e for e in device.events("reply") if kind is None or e["kind"] == kind]


def visible_screen(dump):
    """Ids of the controls a user can see: visible, and inside the client area."""
    client = dump.window["client"]

    def inside(rect):
        return rect["x"] < client["w"] and rect["y"] < client["h"] and rect["x"] + rect["w"] > 0 \
            and rect["y"] + rect["h"] > 0

    return {c["id"] for c in dump["controls"] if c["visible"] and inside(c["rect"])}


def assert_not_shown_until(inspector, control_id, until, condition="visible"):
    """Proves the control was not yet in the state (visible) up to the
    monotonic time until: the tool's wait for it must run out."""
    remaining_ms = int((until - time.monotonic()) * 1000) + 1
    assert remaining_ms > 0, "the check came too late to prove anything"
    try:
        state = inspector.wait(control_id, condition, timeout_ms=remaining_ms)
    except InspectError as error:
        if error.code == TIMEOUT_EXIT_CODE:
            return
        raise
    raise AssertionError(f"control {control_id} was {condition} before it should be: {state}")


def first_seen(inspector, control_id, condition="visible", timeout_s=30):
    """Waits for a control's state; returns (the monotonic time by which it
    was seen, the tool's result). The tool polls every 20 ms."""
    result = inspector.wait(control_id, condition, timeout_ms=int(timeout_s * 1000))
    return time.monotonic(), result


def close_from_outside(inspector, proc, bound_s=CLOSE_BOUND_S):
    """Posts WM_CLOSE, as the system does at logoff (it reaches a disabled
    window too), and waits for the process: its exit code and time in ms."""
    result = inspector.close(wait_exit_ms=int(bound_s * 1000) * 4)
    code = proc.wait(timeout=60)
    return {"exit_code": result["exit_code"], "wine_exit_code": code, "exit_ms": result["exit_ms"]}
