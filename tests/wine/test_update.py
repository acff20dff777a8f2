"""A whole firmware update, from the window, against the simulated device.

The window is driven and read through the inspection tool; what crossed the
line is read from the device's log.
"""
from comports import MODEM_LINES_ENV, com_port, set_serialcomm
from inspector import (ERROR_ICON, ERROR_LINE_1, ERROR_LINE_2, OK_BUTTON, PORT_LIST, STATUS_FIELD,
                       SUCCESS_TEXT, UPLOAD_PROGRESS, WRITE_BUTTON, Inspector, start_app)
from wineenv import ROOT, end_process

TEST_IMAGE = (ROOT / "resources" / "test-firmware.bin").read_bytes()
UPLOAD_TIMEOUT_MS = 240_000


def start_identified(wine, *device_args, port=3):
    device = com_port(wine, port, *device_args)
    set_serialcomm(wine, {"Serial0": device.name})
    proc = wine.start(start_app.__globals__["APP_EXE"], env=MODEM_LINES_ENV)
    inspector = Inspector(wine)
    inspector.pid = inspector.find()["pid"]
    inspector.select(0)
    inspector.wait(WRITE_BUTTON, "enabled")
    return device, proc, inspector


def test_a_whole_update_ends_on_the_success_screen(wine):
    device, proc, inspector = start_identified(wine)
    inspector.click(WRITE_BUTTON)
    inspector.wait(SUCCESS_TEXT, "visible", timeout_ms=UPLOAD_TIMEOUT_MS)

    assert device.received() == b"VERS" + TEST_IMAGE + b"PUSK"
    assert [e for e in device.events("reply") if e["kind"] == "final"]
    assert len(device.events("pusk")) == 1
    assert inspector.close(wait_exit_ms=10000)["exit_code"] == 0
    end_process(proc)
