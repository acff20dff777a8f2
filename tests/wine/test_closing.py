"""Closing never hangs: in every state of an update the program ends within
3 s of being closed, with exit code 0, and the device's port is closed.

The window is disabled during a transfer and the success pause, so those
closes come from outside (WM_CLOSE, as the system sends at logoff). All runs
give the pty modem lines, as a real port has: that is where a reader that is
never woken would hang the close.
"""
import time

import pytest

from comports import com_port
from inspector import ERROR_LINE_1, SUCCESS_TEXT, UPLOAD_PROGRESS, WRITE_BUTTON, Screen
from update_run import (CLOSE_BOUND_S, PACED_BAUD, TRANSFER_TIMEOUT_S, close_from_outside, identify,
                        keep_awake_requests, port_holders, replies, start_with_ports)
from wineenv import end_process, wait_until

MID_TRANSFER_BLOCKS = 30
FLOOD_BYTES = 20_000_000  # far more than the program can take in a test's time
CAPTION_CLOSE_BUTTON = (-11, 12)  # from the frame's top-right corner, in pixels


def waiting_for_identity(wine, inspector, device):
    inspector.select(0)
    device.wait_for("vers", 30)
    assert not inspector.dump().control(WRITE_BUTTON)["enabled"]


def transferring(wine, inspector, device):
    identify(inspector)
    inspector.click(WRITE_BUTTON)
    wait_until(lambda: len(device.events("block")) >= MID_TRANSFER_BLOCKS, TRANSFER_TIMEOUT_S,
               what=f"{MID_TRANSFER_BLOCKS} blocks at the device")
    # The bar follows the accepted blocks; a reply may still be on its way.
    before = len(replies(device, "block"))
    position = inspector.dump().control(UPLOAD_PROGRESS)["pos"]
    after = len(replies(device, "block"))
    assert before - 2 <= position <= after
    assert not inspector.find()["enabled"]


def in_the_success_pause(wine, inspector, device):
    identify(inspector)
    inspector.click(WRITE_BUTTON)
    wait_until(lambda: replies(device, "final"), TRANSFER_TIMEOUT_S, what="the final reply")
    device.wait_for("pusk", 10)
    dump = inspector.dump()
    assert not dump.window["enabled"] and not dump.control(SUCCESS_TEXT)["visible"]


def after_a_failure(wine, inspector, device):
    identify(inspector)
    inspector.click(WRITE_BUTTON)
    inspector.wait(ERROR_LINE_1, "visible", timeout_ms=30000)  # ~3 s: the timer keeps ticking after it


def while_bytes_arrive(wine, inspector, device):
    # After the identity the device floods the line; every chunk is a bad
    # reply to an upload that never started: the failure screen, again and again.
    identify(inspector)
    inspector.wait(ERROR_LINE_1, "visible", timeout_ms=30000)
    assert replies(device, "flood") == [], "the flood ended before the close"


# id, device options, how the test gets there, closed by, whether the write
# was pressed (the machine was then held awake, and is let go by the end)
CASES = [
    ("waiting-for-identity", ["--no-vers-reply"], waiting_for_identity, "message", False),
    ("during-a-transfer", ["--pace-baud", PACED_BAUD], transferring, "message", True),
    ("during-the-success-pause", ["--blocks", 3], in_the_success_pause, "message", True),
    ("after-a-failure", ["--silent-from", 2], after_a_failure, "close button", True),
    ("while-bytes-arrive", ["--flood", FLOOD_BYTES], while_bytes_arrive, "message", False),
]


@pytest.mark.parametrize("device_args, get_there, closed_by, written", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_closing_ends_the_program_at_once(wine, device_args, get_there, closed_by, written):
    device = com_port(wine, 3, *device_args)
    proc, inspector = start_with_ports(wine, [device])
    try:
        get_there(wine, inspector, device)
        assert port_holders(device), "the port should be open before the close"
        if closed_by == "message":
            closed = close_from_outside(inspector, proc)
            exit_code, wine_exit_code, exit_s = closed["exit_code"], closed["wine_exit_code"], closed["exit_ms"] / 1000
        else:
            frame = inspector.find()["rect"]
            dx, dy = CAPTION_CLOSE_BUTTON
            clicked = time.monotonic()
            Screen(wine.display).click_at(frame["x"] + frame["w"] + dx, frame["y"] + dy)
            wine_exit_code = proc.wait(timeout=CLOSE_BOUND_S * 4)
            exit_code, exit_s = wine_exit_code, time.monotonic() - clicked
        print(f"exit {exit_code} {exit_s:.3f} s after the close")
        assert exit_code == 0 and wine_exit_code == 0
        assert exit_s < CLOSE_BOUND_S
        assert port_holders(device) == []
        requests = [request for _, request in keep_awake_requests(proc)]
        assert requests == (["hold", "release"] if written else [])
    finally:
        end_process(proc)
