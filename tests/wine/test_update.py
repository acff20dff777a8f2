"""From the window, against the simulated device: the port list at start, the
port choice and identification, and a whole firmware update to the success
screen. The window is read and driven through the inspection tool (or, where
said, with real mouse clicks on the Xvfb screen); what crossed the line is
read from the device's log.
"""

import pytest

from comports import com_port, locked_port
from inspector import (MAIN_WINDOW, OK_BUTTON, PORT_LIST, STATUS_FIELD, SUCCESS_TEXT, UPLOAD_PROGRESS,
                       WRITE_BUTTON, Screen, screenshot)
from update_run import (BLOCK_BYTES, BLOCKS, IDENTITY_TEXT, LAST_PROGRESS, NO_DEVICE_TEXT, START_TEXT,
                        SUCCESS_SCREEN, TEST_IMAGE, TRANSFER_TIMEOUT_S, assert_not_shown_until, first_seen,
                        identify, keep_awake_requests, port_holders, replies, start_with_ports, visible_screen)
from wineenv import end_process, wait_until

SUCCESS_DELAY_S = 15.0
# Both endings must still be hidden this long after the final reply.
SURELY_HIDDEN_S = 14.5
EXIT_TIMEOUT_S = 20


def test_start_lists_only_the_openable_ports_in_registry_order(wine, artifacts):
    # Registry order (by value name) differs from the port numbers on purpose.
    com4, com2, com12 = com_port(wine, 4), com_port(wine, 2), com_port(wine, 12)
    locked = locked_port(wine, 8)
    proc, inspector = start_with_ports(wine, [com4, locked, com2, "COM9", com12])  # COM9: no such port
    try:
        dump = inspector.dump()
        ports = dump.control(PORT_LIST)
        assert ports["entries"] == ["COM4", "COM2", "COM12"]
        assert ports["selection"] == -1 and ports["text"] == ""
        assert dump.control(STATUS_FIELD)["text"] == START_TEXT
        assert dump.control(WRITE_BUTTON)["visible"] and not dump.control(WRITE_BUTTON)["enabled"]
        # Discovery probed the ports and closed them again.
        assert all(port_holders(port) == [] for port in (com4, com2, com12))
        screenshot(wine, artifacts / "update-start.png", dump.window["rect"])
    finally:
        end_process(proc)


def test_port_choice_closes_the_previous_port_and_identifies_the_device(wine, artifacts):
    silent = com_port(wine, 3, "--no-vers-reply")
    unplugged = com_port(wine, 5)
    device = com_port(wine, 7)
    proc, inspector = start_with_ports(wine, [silent, unplugged, device])
    try:
        # A silent device: "VERS" goes out and the window keeps waiting.
        inspector.select(0)
        vers = silent.wait_for("vers", 30)[0]
        assert_not_shown_until(inspector, WRITE_BUTTON, vers["mono"] + 1.5, condition="enabled")
        dump = inspector.dump()
        assert dump.control(STATUS_FIELD)["text"] == START_TEXT
        assert dump.control(PORT_LIST)["enabled"]
        assert silent.received() == b"VERS" and port_holders(silent)

        # A port that went away after the list was made cannot be opened; the
        # silent device's port is closed first.
        (wine.dosdevices / "com5").unlink()
        inspector.select(1)
        inspector.wait_text(STATUS_FIELD, NO_DEVICE_TEXT)
        assert port_holders(silent) == []
        assert inspector.dump().control(PORT_LIST)["enabled"]
        assert unplugged.events("rx") == []

        # The device answers: its identity, the list locked, "Записать" enabled.
        identify(inspector, 2)
        dump = inspector.dump()
        assert dump.control(STATUS_FIELD)["text"] == IDENTITY_TEXT
        assert not dump.control(PORT_LIST)["enabled"]
        assert dump.control(WRITE_BUTTON)["enabled"] and dump.window["enabled"]
        assert device.received() == b"VERS"
        screenshot(wine, artifacts / "update-identified.png", dump.window["rect"])
    finally:
        end_process(proc)


class ByMessages:
    """Drives the window with messages through the inspection tool."""

    def __init__(self, wine, inspector):
        self.inspector = inspector

    def choose_port(self, entry):
        self.inspector.select(entry)

    def press(self, control_id):
        self.inspector.click(control_id)


class ByMouse:
    """Drives the window as a person does: real clicks on the Xvfb screen."""

    def __init__(self, wine, inspector):
        self.inspector = inspector
        self.screen = Screen(wine.display)

    def choose_port(self, entry):
        self.screen.click(self.inspector.dump(), PORT_LIST, at=(-8, 12))  # the arrow opens the list
        listbox = wait_until(lambda: [w for w in self.inspector.windows(pid=self.inspector.pid)
                                      if w["class"] == "ComboLBox"], 30, what="the opened port list")[0]["rect"]
        rows = len(self.inspector.dump().control(PORT_LIST)["entries"])
        row_height = (listbox["h"] - 2) / min(rows, 8)
        self.screen.click_at(listbox["x"] + listbox["w"] // 2, int(listbox["y"] + 1 + (entry + 0.5) * row_height))

    def press(self, control_id):
        self.screen.click(self.inspector.dump(), control_id)


@pytest.mark.parametrize("modem_lines, driver", [(True, ByMessages), (False, ByMouse)],
                         ids=["modem-lines-by-messages", "plain-pty-by-mouse"])
def test_a_whole_update_ends_on_the_success_screen(wine, artifacts, modem_lines, driver):
    device = com_port(wine, 3)
    proc, inspector = start_with_ports(wine, [device], modem_lines=modem_lines)
    user = driver(wine, inspector)
    shots = artifacts if driver is ByMessages else None
    try:
        user.choose_port(0)
        inspector.wait(WRITE_BUTTON, "enabled", timeout_ms=30000)
        user.press(WRITE_BUTTON)
        inspector.wait(MAIN_WINDOW, "disabled")
        assert not inspector.dump().control(WRITE_BUTTON)["enabled"]
        # The machine is kept awake from the click until a finished screen.
        [(window_thread, request)] = keep_awake_requests(proc)
        assert request == "hold"
        if shots:
            wait_until(lambda: len(device.events("block")) >= BLOCKS // 4, TRANSFER_TIMEOUT_S,
                       what="a quarter of the image at the device")
            screenshot(wine, shots / "update-uploading.png", inspector.find()["rect"], settled=False)

        final = wait_until(lambda: replies(device, "final"), TRANSFER_TIMEOUT_S, what="the final reply")[0]
        # The pause: the bar at its end, the window still disabled.
        inspector.wait(UPLOAD_PROGRESS, f"pos={LAST_PROGRESS}")
        assert not inspector.find()["enabled"]
        assert keep_awake_requests(proc) == [(window_thread, "hold")]
        # Neither ending shows before the pause is over: OK belongs to both, so
        # a reply timeout during the pause would show it too.
        assert_not_shown_until(inspector, OK_BUTTON, final["mono"] + SURELY_HIDDEN_S)
        seen, _ = first_seen(inspector, SUCCESS_TEXT, timeout_s=30)
        print(f"success screen seen {seen - final['mono']:.2f} s after the final reply")
        assert seen - final["mono"] >= SUCCESS_DELAY_S

        dump = inspector.dump()
        assert visible_screen(dump) == SUCCESS_SCREEN and dump.window["enabled"]
        assert keep_awake_requests(proc) == [(window_thread, "hold"), (window_thread, "release")]
        assert dump.control(UPLOAD_PROGRESS)["pos"] == LAST_PROGRESS
        assert device.received() == b"VERS" + TEST_IMAGE + b"PUSK"
        assert [b["n"] for b in device.events("block")] == list(range(1, BLOCKS + 1))
        assert len(device.events("pusk")) == 1 and device.events("unexpected") == []
        assert len(replies(device, "block")) == BLOCKS - 1 and len(TEST_IMAGE) == BLOCKS * BLOCK_BYTES
        if shots:
            screenshot(wine, shots / "update-success.png", dump.window["rect"])

        user.press(OK_BUTTON)
        assert proc.wait(timeout=EXIT_TIMEOUT_S) == 0
        assert port_holders(device) == []
        assert len(keep_awake_requests(proc)) == 2
    finally:
        end_process(proc)


def test_the_keyboard_alone_identifies_the_device_and_starts_the_write(wine):
    device = com_port(wine, 3)
    proc, inspector = start_with_ports(wine, [device])
    screen = Screen(wine.display)
    try:
        screen.click(inspector.dump(), PORT_LIST, at=(10, 12))  # into the list's text part
        screen.key("Down")
        inspector.wait(WRITE_BUTTON, "enabled", timeout_ms=30000)
        # The port list that held the focus is disabled now; Tab goes on to "Записать".
        screen.key("Tab")
        wait_until(lambda: inspector.find()["focus_id"] == WRITE_BUTTON, 10, interval=0.2,
                   what="the focus on the write button")
        screen.key("space")
        inspector.wait(MAIN_WINDOW, "disabled")
        device.wait_for("block", 30)
    finally:
        end_process(proc)
