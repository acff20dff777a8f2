"""Driver of the main job (tools/main-job.sh): a whole simulated firmware update.

Starts the simulated device paced at the line's 38462 baud, with the modem
lines a USB serial adapter has; makes a fresh Wine prefix in which Wine
itself maps COM5 to the device's tty (HKLM\\Software\\Wine\\Ports, as the README
tells users to do with an adapter); runs the test-image exe; chooses COM5 and
presses "Записать" (with --manual, on a display, a person does the clicking);
prints the progress bar's position every few seconds and the elapsed times;
keeps screenshots and the device's log in build/windows/main-job/. Exits 0
only if the update ended on the success screen with every image byte on the
line and OK ended the program with exit code 0.

Every process it starts is ended by its PID; every wait is bounded.
"""
import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))

from comports import MODEM_LINES_ENV, ComPort  # noqa: E402
from inspector import (APP_EXE, ERROR_LINE_1, OK_BUTTON, PORT_LIST, STATUS_FIELD, SUCCESS_TEXT,  # noqa: E402
                       UPLOAD_PROGRESS, WRITE_BUTTON, InspectError, screenshot, start_app)
from update_run import (LAST_PROGRESS, PACED_BAUD, SUCCESS_SCREEN, TEST_IMAGE, TIMEOUT_EXIT_CODE,  # noqa: E402
                        first_seen, replies, visible_screen)
from wineenv import WIN_BUILD, WinePrefix, Xvfb, end_process, make_template_prefix  # noqa: E402

OUT_DIR = WIN_BUILD / "main-job"
PORT_NUMBER = 5
PORT_NAME = f"COM{PORT_NUMBER}"
WINE_PORTS = r"HKLM\Software\Wine\Ports"

PROGRESS_EVERY_S = 3.0
IDENTIFY_TIMEOUT_S = 30        # automatic: port open, "VERS" and the reply
PERSON_TIMEOUT_S = 600         # manual: how long a person may take for each step
TRANSFER_TIMEOUT_S = 300       # ~40 s at 38462 baud; generous for a loaded machine
SCREEN_AFTER_FINAL_S = 30      # the success screen comes 15 s after the final reply
EXIT_TIMEOUT_S = 20
WAIT_PIECE_S = 60              # one wait of the inspection tool, well within its own bound


def map_port_in_prefix(prefix, display, unix_path):
    """Adds COM5 -> unix_path to Wine's own port map of a prefix whose
    services are not running; they read it when they next start."""
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", DISPLAY=display)
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        subprocess.run(["wine", "reg", "add", WINE_PORTS, "/v", PORT_NAME, "/t", "REG_SZ", "/d", unix_path, "/f"],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, timeout=30)
        end_process(server)


class Run:
    """One update: the device, the prefix, the program, and the clock."""

    def __init__(self, display, manual, cleanup):
        """cleanup: an ExitStack that ends each piece made here, in reverse order."""
        self.manual = manual
        self.started = time.monotonic()
        work_dir = Path(tempfile.mkdtemp(prefix="korv-main-job-"))
        cleanup.callback(shutil.rmtree, work_dir, ignore_errors=True)
        template = make_template_prefix(display)
        cleanup.callback(shutil.rmtree, template, ignore_errors=True)
        # The device's link goes into the template; Wine's port map makes it again.
        self.device = ComPort(types.SimpleNamespace(logs=work_dir, dosdevices=template / "dosdevices"),
                              PORT_NUMBER, ("--pace-baud", PACED_BAUD))
        cleanup.callback(self.device.close)
        cleanup.callback(lambda: self.device.log_path.exists() and shutil.copy(self.device.log_path,
                                                                              OUT_DIR / "device.log"))
        map_port_in_prefix(template, display, self.device.slave)
        self.wine = WinePrefix(template, display)
        cleanup.callback(self.wine.close)
        self.proc = None
        cleanup.callback(lambda: end_process(self.proc))
        self.times = {}

    def say(self, text):
        print(f"{time.monotonic() - self.started:7.1f} s  {text}", flush=True)

    def shot(self, name, **options):
        path = screenshot(self.wine, OUT_DIR / f"{name}.png", self.inspector.find()["rect"], **options)
        self.say(f"screenshot {path}")

    def wait(self, control_id, condition, timeout_s):
        """The tool's wait, in pieces short enough for its own bound."""
        deadline = time.monotonic() + timeout_s
        while True:
            piece_s = min(WAIT_PIECE_S, max(deadline - time.monotonic(), 0.1))
            try:
                return self.inspector.wait(control_id, condition, timeout_ms=int(piece_s * 1000))
            except InspectError as error:
                if error.code != TIMEOUT_EXIT_CODE or time.monotonic() >= deadline:
                    raise

    def start(self):
        self.proc, self.inspector = start_app(self.wine, env=MODEM_LINES_ENV)
        self.times["program"] = time.monotonic()
        entries = self.inspector.dump().control(PORT_LIST)["entries"]
        self.say(f"window shown; ports listed: {', '.join(entries) or 'none'}")
        self.shot("start")
        if PORT_NAME not in entries:
            raise RuntimeError(f"{PORT_NAME} is not in the port list: Wine did not map it")
        return entries.index(PORT_NAME)

    def identify(self, entry):
        if self.manual:
            self.say(f'choose {PORT_NAME} in the port list, then press "Записать"')
        else:
            self.inspector.select(entry)
        chosen = time.monotonic()
        self.wait(WRITE_BUTTON, "enabled", PERSON_TIMEOUT_S if self.manual else IDENTIFY_TIMEOUT_S)
        vers = self.device.events("vers")[-1]["mono"]
        self.times["identification"] = time.monotonic() - (vers if self.manual else chosen)
        self.say("identified: " + self.inspector.dump().control(STATUS_FIELD)["text"].strip())
        self.shot("identified")

    def transfer(self):
        if not self.manual:
            self.inspector.click(WRITE_BUTTON)
        shot_taken = False
        deadline = time.monotonic() + (PERSON_TIMEOUT_S if self.manual else 0) + TRANSFER_TIMEOUT_S
        while not replies(self.device, "final"):
            dump = self.inspector.dump()
            if dump.control(ERROR_LINE_1)["visible"]:
                return False
            position = dump.control(UPLOAD_PROGRESS)["pos"]
            if dump.window["enabled"]:  # "Записать" not pressed yet
                time.sleep(PROGRESS_EVERY_S)
                continue
            self.say(f"progress {position}/{LAST_PROGRESS}, blocks at the device {len(self.device.events('block'))}")
            if position >= LAST_PROGRESS // 4 and not shot_taken:  # the bar visibly on its way
                self.shot("uploading", settled=False)
                shot_taken = True
            if time.monotonic() > deadline:
                raise TimeoutError("the transfer did not end")
            time.sleep(PROGRESS_EVERY_S)
        events = self.device.events()
        vers_at = max(i for i, e in enumerate(events) if e["event"] == "vers")
        first_byte = next(e for e in events[vers_at + 1:] if e["event"] == "rx")["mono"]
        self.final = replies(self.device, "final")[0]["mono"]
        self.times["transfer"] = self.final - first_byte
        self.say("final reply from the device; the success pause runs")
        return True

    def success_screen(self):
        try:
            seen, _ = first_seen(self.inspector, SUCCESS_TEXT, timeout_s=SCREEN_AFTER_FINAL_S)
        except InspectError:
            return False
        self.times["pause"] = seen - self.final
        self.times["total"] = seen - self.times.pop("program")
        dump = self.inspector.dump()
        return visible_screen(dump) == SUCCESS_SCREEN

    def finish(self):
        if self.manual:
            self.say('press "OK"')
            code = self.proc.wait(timeout=PERSON_TIMEOUT_S)
        elif self.inspector.dump().control(OK_BUTTON)["visible"]:
            self.inspector.click(OK_BUTTON)
            code = self.proc.wait(timeout=EXIT_TIMEOUT_S)
        else:
            self.say("no ending on the window: closing it")
            self.inspector.close(wait_exit_ms=EXIT_TIMEOUT_S * 1000)
            code = self.proc.wait(timeout=EXIT_TIMEOUT_S)
        self.say(f"program ended with exit code {code}")
        return code



def update(display, manual):
    with contextlib.ExitStack() as cleanup:
        run = Run(display, manual, cleanup)
        run.identify(run.start())
        ok = run.transfer()
        ok = ok and run.success_screen()
        run.shot("success" if ok else "failure")
        if not ok:
            run.say("the update ended on the failure screen" if run.inspector.dump().control(ERROR_LINE_1)["visible"]
                    else "the update did not end on the success screen")
        code = run.finish()
        on_line = run.device.received() == b"VERS" + TEST_IMAGE + b"PUSK"
        run.say("the device received every image byte in order, then PUSK" if on_line
                else "the device did NOT receive exactly VERS, the image and PUSK")
        for name in ("identification", "transfer", "pause", "total"):
            if name in run.times:
                print(f"{name:>15}: {run.times[name]:6.1f} s")
        return 0 if ok and on_line and code == 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--manual", action="store_true",
                        help='leave choosing the port and pressing "Записать" and "OK" to a person '
                             '(needs DISPLAY)')
    args = parser.parse_args()
    if not APP_EXE.exists():
        print(f"missing {APP_EXE}: build the windows preset first", file=sys.stderr)
        return 1
    display = os.environ.get("DISPLAY")
    if args.manual and not display:
        print("--manual needs a display (DISPLAY) for the person to click on", file=sys.stderr)
        return 2
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    for old in OUT_DIR.iterdir():  # only this run's pictures and log stay
        if old.is_file():
            old.unlink()
    if display:
        return update(display, args.manual)
    xvfb = Xvfb()
    try:
        return update(xvfb.display, args.manual)
    finally:
        xvfb.close()


if __name__ == "__main__":
    sys.exit(main())
