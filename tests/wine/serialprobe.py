"""Runs serial_probe.exe (the real serial channel in a small Windows program)
and reads what it printed: one line per event, "<ms> <event> <values...>"."""
import os
from pathlib import Path

from wineenv import WIN_BUILD, end_process, wait_until

PROBE = WIN_BUILD / "bin" / "serial_probe.exe"
PROBE_TIMEOUT = 120  # s, for a loaded machine


class ProbeOutput:
    def __init__(self, text, code=None):
        self.code = code
        self.text = text
        self.lines = []
        for line in text.splitlines():
            ms, _, rest = line.partition(" ")
            if ms.isdigit():
                event, *values = rest.split(" ")
                self.lines.append((int(ms), event, values))

    def events(self, name):
        return [values for _, event, values in self.lines if event == name]

    def names(self):
        return [event for _, event, _ in self.lines]

    def chunks(self):
        """The received chunks as bytes, in order."""
        return [bytes.fromhex(v[1]) if v[1] != "-" else b"" for v in self.events("rx")]

    def ports(self):
        return [bytes.fromhex(v[0]) for v in self.events("port")]

    def after(self, name):
        """The events printed after the first event of this name."""
        names = self.names()
        return names[names.index(name) + 1:]


def start_probe(wine, *script, env=None):
    return wine.start(PROBE, *script, env=env)


def read_probe(proc):
    return ProbeOutput(Path(proc.out_path).read_text(errors="replace"), proc.poll())


def run_probe(wine, *script, env=None, timeout=PROBE_TIMEOUT):
    proc = start_probe(wine, *script, env=env)
    try:
        proc.wait(timeout=timeout)
    finally:
        end_process(proc)
    out = read_probe(proc)
    assert out.code == 0, f"serial_probe exited with {out.code}:\n{out.text}"
    assert "end" in out.names(), out.text
    return out


def cpu_seconds(pid):
    """User plus system CPU time of a process, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for_line(proc, name, timeout):
    return wait_until(lambda: name in read_probe(proc).names(), timeout, what=f"'{name}' from serial_probe")
