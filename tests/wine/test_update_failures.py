"""From the window, against a simulated device that goes wrong during the
transfer: each way ends on the failure screen, at the right time, and OK (or
Alt+F4) then ends the program with exit code 0 and the port closed.
"""
import pytest

from comports import com_port
from inspector import ERROR_LINE_1, OK_BUTTON, PORT_LIST, WRITE_BUTTON, Screen, screenshot
from update_run import (BLOCK_BYTES, FAILURE_SCREEN, TEST_IMAGE, TRANSFER_TIMEOUT_S, assert_not_shown_until,
                        first_seen, identify, keep_awake_requests, port_holders, replies, start_with_ports,
                        visible_screen)
from wineenv import end_process, wait_until

# "At once": well before the reply timer could have spoken (2 s at the least).
AT_ONCE_S = 1.5
# After silence: the third tick of the 1000 ms reply timer after the last
# reply, 2 to 3 s after it, plus what the polling adds.
SILENCE_S = (2.0, 3.5)
# A silent device: the failure screen is surely still hidden this long after
# the last reply.
SURELY_HIDDEN_S = 1.5
EXIT_TIMEOUT_S = 20

# id, device options, blocks the device receives, the reply (kind, number)
# the failure follows, (earliest, latest) seconds after that reply, driven by.
CASES = [
    ("wrong-crc-at-block-3", ["--wrong-crc-at", 3], 3, ("block", 3), (None, AT_ONCE_S), "keys"),
    ("silent-from-block-6", ["--silent-from", 6], 6, ("block", 5), SILENCE_S, "messages"),
    ("lower-case-fz", ["--blocks", 4, "--lowercase-fz"], 4, ("final", 1), (None, AT_ONCE_S), "messages"),
]


@pytest.mark.parametrize("device_args, blocks, after, window, driven_by",
                         [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_a_failed_transfer_ends_on_the_failure_screen(wine, artifacts, device_args, blocks, after, window,
                                                      driven_by):
    device = com_port(wine, 3, *device_args)
    proc, inspector = start_with_ports(wine, [device])
    screen = Screen(wine.display)
    try:
        if driven_by == "keys":
            screen.click(inspector.dump(), PORT_LIST, at=(10, 12))  # into the list's text part
            screen.key("Down")
            inspector.wait(WRITE_BUTTON, "enabled", timeout_ms=30000)
            screen.click(inspector.dump(), WRITE_BUTTON)
        else:
            identify(inspector)
            inspector.click(WRITE_BUTTON)

        kind, number = after
        trigger = wait_until(lambda: (lambda r: r[number - 1] if len(r) >= number else None)(replies(device, kind)),
                             TRANSFER_TIMEOUT_S, what=f"{kind} reply {number}")
        earliest, latest = window
        if earliest is not None:
            assert_not_shown_until(inspector, ERROR_LINE_1, trigger["mono"] + SURELY_HIDDEN_S)
        seen, _ = first_seen(inspector, ERROR_LINE_1, timeout_s=30)
        delay = seen - trigger["mono"]
        print(f"failure screen seen {delay:.2f} s after {kind} reply {number}")
        assert delay <= latest and (earliest is None or delay >= earliest)

        dump = inspector.dump()
        assert visible_screen(dump) == FAILURE_SCREEN and dump.window["enabled"]
        [(thread, hold), (same_thread, release)] = keep_awake_requests(proc)
        assert (hold, release) == ("hold", "release") and thread == same_thread
        # Nothing after the failure: no further block, no "PUSK".
        assert device.received() == b"VERS" + TEST_IMAGE[:blocks * BLOCK_BYTES]
        assert len(device.events("block")) == blocks and device.events("pusk") == []
        if driven_by == "keys":
            screenshot(wine, artifacts / "update-failure.png", dump.window["rect"])
            screen.key("alt+F4")
        else:
            inspector.click(OK_BUTTON)
        assert proc.wait(timeout=EXIT_TIMEOUT_S) == 0
        assert port_holders(device) == []
    finally:
        end_process(proc)
