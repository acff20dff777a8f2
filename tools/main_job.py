"""Driver of the main job (tools/main-job.sh): the test-image exe under Wine.

Uses $DISPLAY when set, else starts its own Xvfb; makes a fresh Wine prefix;
starts the exe, waits for its window, saves a PNG of it, closes it and checks
that the program ended with exit code 0. Every process it starts is ended by
its PID; every wait is bounded.
"""
import json
import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))

from inspector import APP_EXE, screenshot, start_app  # noqa: E402
from wineenv import WIN_BUILD, WinePrefix, Xvfb, make_template_prefix  # noqa: E402

OUT_DIR = WIN_BUILD / "main-job"
# Bound of the program's exit after its window was closed, in milliseconds.
EXIT_TIMEOUT_MS = 10000


def run(display):
    template = make_template_prefix(display)
    wine = WinePrefix(template, display)
    try:
        proc, inspector = start_app(wine)
        window = inspector.find()
        print(f"window: {window['caption']!r} at {window['rect']}, client {window['client']}")
        shot = screenshot(wine, OUT_DIR / "window.png", window["rect"])
        print(f"screenshot: {shot}")
        (OUT_DIR / "window.json").write_text(json.dumps(inspector.dump(), ensure_ascii=False, indent=1) + "\n")
        closed = inspector.close(wait_exit_ms=EXIT_TIMEOUT_MS)
        code = proc.wait(timeout=EXIT_TIMEOUT_MS / 1000)
        print(f"closed: exit code {closed['exit_code']} after {closed['exit_ms']:.0f} ms (wine: {code})")
        return 0 if closed["exit_code"] == 0 and code == 0 else 1
    finally:
        wine.close()
        shutil.rmtree(template, ignore_errors=True)


def main():
    if not APP_EXE.exists():
        print(f"missing {APP_EXE}: build the windows preset first", file=sys.stderr)
        return 1
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    display = os.environ.get("DISPLAY")
    if display:
        return run(display)
    xvfb = Xvfb()
    try:
        return run(xvfb.display)
    finally:
        xvfb.close()


if __name__ == "__main__":
    sys.exit(main())
