"""ListPorts under Wine: which SERIALCOMM values become OnPortFound, in which
order, driven through serial_probe.exe."""
from comports import com_port, locked_port, set_serialcomm
from serialprobe import run_probe

REG_SZ, REG_BINARY, REG_MULTI_SZ = 1, 3, 7


def test_lists_openable_ports_in_registry_order(wine):
    for number in (5, 7, 8):
        com_port(wine, number)
    locked_port(wine, 6)
    # Wine enumerates values sorted by name, so the names fix the order.
    set_serialcomm(wine, {
        "a0": "COM7",
        "a1": "COM6",                 # cannot be opened: left out
        "a2": ("REG_DWORD", "5"),     # not a string: skipped, the listing goes on
        "a3": "COM5",
        "a4": "COM9",                 # no such port
        "a5": "COM7",                 # listed again: no de-duplication
        "a6": ("REG_BINARY", "434F4D38"),
        "a7": "COM8",
    })
    out = run_probe(wine, "list")
    assert out.ports() == [b"COM7", b"COM5", b"COM7", b"COM8"], out.text


def test_values_of_any_size_or_content(wine):
    com_port(wine, 5)
    set_serialcomm(wine, {})
    out = run_probe(
        wine,
        "reg-set", "b0", str(REG_SZ), b"COM5".hex(),             # stored without a NUL
        "reg-set", "b1", str(REG_SZ), b"COM5\0ABC".hex(),        # cut at the first NUL
        "reg-set", "b2", str(REG_SZ), "-",                       # empty: cannot be opened
        "reg-set-fill", "b3", str(REG_SZ), "200000", "41",       # huge: cannot be opened
        "reg-set", "b4", str(REG_BINARY), b"COM5\0".hex(),       # another type: skipped
        "reg-set", "b5", str(REG_SZ), b"\xff\x01\\/".hex(),      # junk
        "reg-set-fill", "b6", str(REG_MULTI_SZ), "5000", "00",
        "reg-set", "b7", str(REG_SZ), b"COM5\0".hex(),
        "reg-set", "z" * 300, str(REG_SZ), b"COM5\0".hex(),      # a long value name
        "list", "list")
    assert not out.events("reg-set-failed"), out.text
    assert out.ports() == [b"COM5"] * 8, out.text


def test_no_serial_device_map_lists_nothing(wine):
    com_port(wine, 5)
    set_serialcomm(wine, {"a0": "COM5"})
    out = run_probe(wine, "list", "reg-clear", "list")
    assert out.events("reg-clear") == [["0"]]
    assert out.ports() == [b"COM5"]
    assert out.names().count("listed") == 2
