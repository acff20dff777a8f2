#!/usr/bin/python3
"""Fault matrix: whole runs of the test-image exe under Wine against the
simulated device, each with one fault drawn from a table.

    tools/fault_matrix.py [--runs N] [--seed S] [--replay SEED ...] [--jobs 1]

Every run has a seed of its own, derived from the master seed, and the seed
alone fixes its fault: --replay SEED runs that one again. For each run the
ending the program's rules predict is worked out first (tools/fault_rules.py),
and the run passes only if
  - the window ends on that screen (or, for a close, the process ends),
  - the device received exactly the predicted bytes ("VERS", the image
    prefix, "PUSK" or not) and never a byte past the image,
  - no wait ran past its bound, and the process exited with code 0.
One line per run, then the tally and the seeds of the failing runs; the exit
status is non-zero if any run failed. Each run has its own Wine prefix and
wineserver; every process it starts is ended by its PID.
"""
import argparse
import random
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "wine"))

import comports  # noqa: E402
from comports import MODEM_LINES, MODEM_LINES_ENV, SIMDEVICE, com_port, set_serialcomm  # noqa: E402
from inspector import (APP_EXE, ERROR_ICON, ERROR_LINE_1, ERROR_LINE_2, INSPECT_EXE, OK_BUTTON,  # noqa: E402
                       PORT_LIST, STATUS_FIELD, SUCCESS_TEXT, UPLOAD_PROGRESS, VERSION_LABEL,
                       WRITE_BUTTON, InspectError, Inspector)
from wineenv import ARTIFACTS, WinePrefix, Xvfb, end_process, make_template_prefix, wait_until  # noqa: E402

from fault_rules import (SUCCESS_PAUSE_S, Case, Expected, check_closed_bytes, describe_bytes,  # noqa: E402
                         draw_case, expected_ending, run_seeds)

PORT = 3

# Bounds and timing, in seconds. Generous: the machine is shared.
BLOCK_BOUND_S = 0.25       # per block written; about 0.02 s unpaced
ENDING_MARGIN_S = 45       # window start, the timeout report, a loaded machine
SCREEN_SETTLE_MS = 5000    # from OkButton shown to the last control of the screen
EXIT_AFTER_OK_S = 15
CLOSE_EXIT_MS = 3000       # a closed window's process must be gone by then
BYTES_SETTLE_S = 5
INSPECT_TIMED_OUT = 3  # inspect.exe's exit code when a wait runs out

# The program's screens: which controls show on each (the CRC captions lie
# outside the client area and never change).
FINISH_HIDDEN = (PORT_LIST, STATUS_FIELD, UPLOAD_PROGRESS, WRITE_BUTTON, VERSION_LABEL)
ERROR_MARK = (ERROR_LINE_1, ERROR_LINE_2, ERROR_ICON)
SCREENS = {
    "success": {"shown": (SUCCESS_TEXT, OK_BUTTON), "hidden": FINISH_HIDDEN + ERROR_MARK},
    "failure": {"shown": ERROR_MARK + (OK_BUTTON,), "hidden": FINISH_HIDDEN + (SUCCESS_TEXT,)},
}
LAST_SHOWN = {"success": SUCCESS_TEXT, "failure": ERROR_ICON}


# ---- One run ------------------------------------------------------------------------

@dataclass
class Result:
    case: Case
    expected: Expected
    observed: str = ""
    problems: list = field(default_factory=list)
    seconds: float = 0.0

    @property
    def passed(self):
        return not self.problems

    def line(self):
        verdict = "PASS" if self.passed else "FAIL: " + "; ".join(self.problems)
        return (f"seed {self.case.seed:<10} {self.case.describe():<34} expected {self.expected.describe():<32} "
                f"observed {self.observed:<32} {self.seconds:5.1f} s  {verdict}")


def screen_of(dump):
    """success, failure, or the ids of the controls shown."""
    visible = {c["id"] for c in dump["controls"] if c.get("visible")}
    for name, screen in SCREENS.items():
        if set(screen["shown"]) <= visible and not visible & set(screen["hidden"]) \
                and dump.window.get("enabled"):
            return name
    return "screen " + ",".join(map(str, sorted(visible)))


def wait_for_screen(inspector, expected):
    """Waits for OkButton, then for the last control of the expected screen
    (bounded; the dump tells what was there instead)."""
    bound_s = ENDING_MARGIN_S + expected.blocks * BLOCK_BOUND_S
    bound_s += SUCCESS_PAUSE_S if expected.ending == "success" else 0
    inspector.wait(OK_BUTTON, "visible", timeout_ms=int(bound_s * 1000))
    try:
        inspector.wait(LAST_SHOWN.get(expected.ending, OK_BUTTON), "visible", timeout_ms=SCREEN_SETTLE_MS)
    except InspectError:
        pass
    return screen_of(inspector.dump())


def settled_bytes(device):
    """What the device has received, once its log has stopped growing."""
    last = [None]

    def stable():
        now = device.received()
        same, last[0] = now == last[0], now
        return same

    wait_until(stable, BYTES_SETTLE_S, interval=0.2, what="the device's log to settle")
    return last[0]


def drive(case, expected, wine, device, result):
    """Starts the exe, chooses the port and plays the case out; fills result."""
    proc = wine.start(APP_EXE, env=MODEM_LINES_ENV)
    inspector = Inspector(wine)
    inspector.pid = inspector.find()["pid"]
    inspector.select(0)
    if expected.click:
        inspector.wait(WRITE_BUTTON, "enabled")
        if not case.close_before_write:
            inspector.click(WRITE_BUTTON)
    if case.kind == "close":
        time.sleep(case.close_s)  # the fault itself: a moment drawn at random
        try:
            closed = inspector.close(wait_exit_ms=CLOSE_EXIT_MS)
        except InspectError as error:
            if error.code != INSPECT_TIMED_OUT:
                raise
            result.problems.append(f"no exit within {CLOSE_EXIT_MS} ms of the close")
            return proc
        result.observed = f"ended {closed['exit_code']} in {closed['exit_ms']:.0f} ms"
        codes = [closed["exit_code"], proc.wait(timeout=EXIT_AFTER_OK_S)]
    else:
        screen = wait_for_screen(inspector, expected)
        result.observed = screen
        if screen != expected.ending:
            result.problems.append(f"ended on {screen}")
        inspector.click(OK_BUTTON)
        codes = [proc.wait(timeout=EXIT_AFTER_OK_S)]
    if any(code != 0 for code in codes):
        result.problems.append(f"exit code {codes}")
    return proc


def run_case(case, template, display):
    """Runs one case in a fresh prefix; returns its Result. Every process it
    started is ended by its PID before it returns."""
    started = time.monotonic()
    expected = expected_ending(case)
    result = Result(case, expected)
    wine = WinePrefix(template, display)
    device = proc = None
    try:
        device = com_port(wine, PORT, *case.device_args())
        set_serialcomm(wine, {"Serial0": device.name})
        proc = drive(case, expected, wine, device, result)
        sent = settled_bytes(device)
        if case.kind == "close":
            final = any(e["kind"] == "final" for e in device.events("reply"))
            result.problems += check_closed_bytes(case, sent, final)
        elif sent != expected.sent:
            result.problems.append(f"device received {describe_bytes(sent)}")
        result.observed += f", {describe_bytes(sent)}"
    except (TimeoutError, InspectError, subprocess.TimeoutExpired, RuntimeError) as error:
        result.problems.append(f"run broke off: {error}")
    finally:
        end_process(proc)
        if device is not None:
            device.close()
            if device in comports._running:  # ended here, not by a test's fixture
                comports._running.remove(device)
        if not result.passed:
            keep_logs(case, wine)
        wine.close()
        result.seconds = time.monotonic() - started
    return result


def keep_logs(case, wine):
    """Copies the device's log and the programs' output of a failing run."""
    target = ARTIFACTS / "fault-matrix" / str(case.seed)
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(wine.logs, target, dirs_exist_ok=True)


# ---- The matrix -------------------------------------------------------------------

def run_matrix(seeds, display):
    template = make_template_prefix(display)
    results = []
    try:
        for number, seed in enumerate(seeds, 1):
            result = run_case(draw_case(seed), template, display)
            results.append(result)
            print(f"{number:3} {result.line()}", flush=True)
    finally:
        shutil.rmtree(template, ignore_errors=True)
    return results


def report(results, seconds):
    failed = [r for r in results if not r.passed]
    print(f"\n{len(results) - len(failed)} of {len(results)} runs passed, {len(failed)} failed, "
          f"in {seconds / 60:.1f} min")
    tally = {}
    for r in results:
        counts = tally.setdefault(r.case.kind, [0, 0])
        counts[0 if r.passed else 1] += 1
    print("  " + ", ".join(f"{kind} {p}/{p + f}" for kind, (p, f) in sorted(tally.items())))
    if failed:
        print("failing seeds (replay with --replay SEED): " + " ".join(str(r.case.seed) for r in failed))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=40, help="runs in the matrix (default 40)")
    parser.add_argument("--seed", type=int, help="master seed (default: drawn, and printed)")
    parser.add_argument("--replay", type=int, action="append", help="run the run of this seed (repeatable)")
    parser.add_argument("--jobs", type=int, default=1, choices=[1],
                        help="runs at a time; one Wine session at a time is all this machine takes")
    args = parser.parse_args()
    for needed in (APP_EXE, INSPECT_EXE, SIMDEVICE, MODEM_LINES):
        if not needed.exists():
            print(f"missing {needed}: build the windows and native presets", file=sys.stderr)
            return 2
    if args.replay:
        seeds = args.replay
    else:
        master = args.seed if args.seed is not None else random.SystemRandom().getrandbits(32)
        print(f"master seed {master}: {args.runs} runs")
        seeds = run_seeds(master, args.runs)
    started = time.monotonic()
    xvfb = Xvfb()
    try:
        results = run_matrix(seeds, xvfb.display)
    finally:
        xvfb.close()
    return report(results, time.monotonic() - started)


if __name__ == "__main__":
    sys.exit(main())
