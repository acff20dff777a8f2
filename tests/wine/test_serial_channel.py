"""The serial channel (THIComAsync) under Wine, driven through serial_probe.exe
against the simulated device on a pseudo-terminal.

Most tests give the pseudo-terminal modem lines (MODEM_LINES_ENV), as a real
port has: Wine's waits then stay pending, which is the hard case for closing.
"""
import time

import pytest

from comports import MODEM_LINES_ENV, com_port
from serialprobe import cpu_seconds, read_probe, run_probe, start_probe, wait_for_line
from wineenv import end_process

IDENTITY_20 = b"KORVELANTIS \x00\x11\x13\xff\r\n\x7f\x03"
assert len(IDENTITY_20) == 20
ALL_BYTES = bytes(range(256))
LINE_KINDS = [pytest.param(MODEM_LINES_ENV, id="modem-lines"), pytest.param(None, id="plain-pty")]


def crc16_modbus(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def identity_arg(data):
    return "".join(f"\\x{b:02x}" for b in data)


def test_line_state_handed_to_the_driver(wine):
    out = run_probe(wine, "line-state")
    assert out.events("line-state")[0] == [
        "length", "28", "baud", "38462", "flags", "00004001", "xonlim", "1024", "xofflim", "1024",
        "bytesize", "8", "parity", "0", "stopbits", "0", "xon", "11", "xoff", "13", "evt", "00",
        # interval, read multiplier, read constant, write multiplier, write constant
        "timeouts", "FFFFFFFF", "0", "0", "100", "1000",
        "queues", "4096", "4096", "mask", "1"]


def test_open_reports_number_or_zero_and_ignores_a_second_open(wine):
    com_port(wine, 5)
    # The reply makes sure the reader has started and is back in its wait
    # (with modem lines it stays pending) when the port is closed.
    out = run_probe(wine, "open", "COM3x", "open", "COM7", "open", "COM5", "open", "COM5",
                    "send", "56455253", "wait-rx", "19", "20000", "pump", "200", "close",
                    "open", "com5", "close", env=MODEM_LINES_ENV)
    assert [v[0] for v in out.events("open-result")] == ["0", "0", "5", "5"]
    # Closing an idle port wakes its pending wait; it does not run into the 2000 ms bound.
    assert all(int(v[1]) < 1500 for v in out.events("closed")), out.events("closed")
    # The second open while open fires nothing before it returns.
    names = out.names()
    third = [i for i, n in enumerate(names) if n == "open"][3]
    assert names[third:third + 2] == ["open", "open-returned"]


def test_reads_never_wait_and_an_empty_queue_gives_an_empty_chunk(wine):
    com_port(wine, 5, "--no-vers-reply")
    out = run_probe(wine, "read-waiting", "4", "open", "COM5", "read-waiting", "0", "read-waiting", "64",
                    "close", "read-waiting", "4", env=MODEM_LINES_ENV)
    # Closed: nothing. Open with nothing queued: one empty chunk per read, at once.
    assert out.events("rx") == [["0", "-"], ["0", "-"]], out.text
    assert out.names().count("read-returned") == 4


@pytest.mark.parametrize("env", LINE_KINDS)
def test_written_bytes_arrive_exactly_and_replies_concatenate_exactly(wine, env):
    device = com_port(wine, 5, "--identity", identity_arg(IDENTITY_20), "--second-identity")
    out = run_probe(wine, "send", "41", "open", "COM5", "send", "-", "send", "56455253",
                    "wait-rx", "40", "20000", "send", ALL_BYTES.hex(), "send", "-", "wait-rx", "42", "20000",
                    "close", env=env)
    assert out.events("rx-total") == [["40"], ["42"]], out.text
    # Nothing sent while closed, nothing for the empty sends, every byte value as written.
    assert device.received() == b"VERS" + ALL_BYTES
    # Two identity replies written 40 ms apart, then the block reply: at least
    # two chunks, whose concatenation is exact (NUL, XON and XOFF included).
    chunks = out.chunks()
    assert len(chunks) >= 3
    assert b"".join(chunks) == IDENTITY_20 * 2 + crc16_modbus(ALL_BYTES).to_bytes(2, "big")


def test_close_while_bytes_keep_arriving_stops_deliveries(wine):
    com_port(wine, 5, "--pace-baud", "38462", "--flood", "400000")
    out = run_probe(wine, "quiet-rx", "open", "COM5", "send", "56455253", "wait-rx", "3000", "20000",
                    "close", "pump", "1500", "open", "COM5", "send", "56455253", "wait-rx", "1000", "20000",
                    "destroy", "pump", "1500", env=MODEM_LINES_ENV)
    assert not [n for n in out.names() if n.startswith("LATE")], out.text
    assert [v[0] for v in out.events("open-result")] == ["5", "5"]
    close_ms = int(out.events("closed")[0][1])
    destroy_ms = int(out.events("destroyed")[0][1])
    print(f"ClosePort while receiving: {close_ms} ms; destroying: {destroy_ms} ms")
    assert close_ms < 5000 and destroy_ms < 10000  # returned, rather than hung
    # After the close, no chunk until the port was opened again.
    after_close = out.after("closed")
    assert "rx" not in after_close[:after_close.index("open")]
    assert "rx" not in out.after("destroyed")


def test_close_never_waits_for_a_delivery_that_waits_for_the_main_thread(wine):
    com_port(wine, 5, "--pace-baud", "38462", "--flood", "400000")
    out = run_probe(wine, "open", "COM5", "hold-rx", "send", "56455253", "close-held", "20000",
                    "pump", "1500", "open", "COM5", "send", "56455253", "wait-rx", "100", "20000", "close",
                    env=MODEM_LINES_ENV)
    names = out.names()
    assert "no-held-delivery" not in names, out.text
    assert "held-returned" in names, out.text
    assert not [n for n in names if n.startswith("LATE")], out.text
    held_close_ms = int(out.events("closed-while-held")[0][1])
    print(f"ClosePort during a held delivery: {held_close_ms} ms")
    # A close that waited for the held reader would take at least its 2000 ms bound.
    assert held_close_ms < 1500
    # The reader closed the port when its delivery returned: it opens again.
    assert [v[0] for v in out.events("open-result")] == ["5", "5"]
    assert out.events("rx-total"), out.text


@pytest.mark.parametrize("env", LINE_KINDS)
def test_vanished_device_gives_no_busy_loop_and_the_port_still_closes(wine, env):
    device = com_port(wine, 5, "--vanish-at", "1")
    proc = start_probe(wine, "open", "COM5", "send", "56455253", "wait-rx", "19", "20000",
                       "send-fill", "256", "00", "pump", "12000", "send", "41",
                       "close", env=env)
    try:
        device.wait_for("vanished", 30)
        wait_for_line(proc, "sent", 30)
        window = 3.0
        before = cpu_seconds(proc.pid) + cpu_seconds(wine.server.pid)
        time.sleep(window)  # a measuring window, not a synchronisation
        used = cpu_seconds(proc.pid) + cpu_seconds(wine.server.pid) - before
        print(f"CPU used by the probe and wineserver over {window} s after the device vanished: {used:.2f} s")
        # Before the back-off, a vanished port cost ~45 % (a wake every ~2 ms); a spin costs more.
        assert used < 0.25 * window, "the reader spins on a vanished port"
        proc.wait(timeout=60)
    finally:
        end_process(proc)
    out = read_probe(proc)
    assert out.code == 0, out.text
    assert "closed" in out.names() and "end" in out.names()


def test_flood_of_bytes_arrives_complete(wine):
    flood = 2_000_000
    com_port(wine, 5, "--flood", str(flood))
    out = run_probe(wine, "quiet-rx", "open", "COM5", "send", "56455253", "wait-rx", str(flood + 19), "90000",
                    "close", env=MODEM_LINES_ENV)
    assert out.events("rx-total") == [[str(flood + 19)]], out.text[-2000:]
    print(f"{flood + 19} bytes in {len(out.events('rx'))} chunks")
