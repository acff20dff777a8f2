"""What the benchmark reads off a running Wine program from outside: the
simulated device's log as it grows, the CPU time of a process and of its
threads and of the prefix's wineserver (from /proc), the Unix process of a
Windows exe; and the idle-class busy loops that can keep the cores awake.
"""
import os
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path

from wineenv import end_process

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# Events as the device logs them.
FINAL_REPLY_MARK = b'"event":"reply","kind":"final"'
VERS_MARK = b'"event":"vers"'
RX_MARK = b'"event":"rx"'


@contextmanager
def cores_kept_awake(enabled):
    """One busy loop per core at the idle scheduling class (it runs only when
    nothing else wants the core) for the length of the block. On a virtual
    machine a core with nothing to run halts, and waking a thread there can
    cost more than the write it is waiting for; a program whose other thread
    keeps a core busy (the exe's window thread) would then be measured under
    better conditions than a single-threaded reference."""
    spinners = []
    try:
        if enabled:
            for _ in range(len(os.sched_getaffinity(0))):
                spinners.append(subprocess.Popen(["chrt", "--idle", "0", sys.executable, "-c", "while True: pass"],
                                                 stdin=subprocess.DEVNULL))
        yield
    finally:
        for spinner in spinners:
            end_process(spinner)


class DeviceWatch:
    """Follows a device's log as it grows, reading only what was added since
    the last look (parsing the whole log again and again would take CPU from
    the run being measured): has the first image byte come, has the final
    reply gone out."""

    def __init__(self, port, query_first):
        self._path = port.log_path
        self._log = bytearray()
        self._start_mark = RX_MARK if not query_first else VERS_MARK
        self._query_first = query_first
        self.image_started = False
        self.final_sent = False

    def look(self):
        if not self._path.exists():
            return self
        searched_from = max(len(self._log) - len(FINAL_REPLY_MARK), 0)
        with open(self._path, "rb") as f:
            f.seek(len(self._log))
            self._log.extend(f.read())
        if not self.image_started:
            at = self._log.find(self._start_mark)
            self.image_started = at >= 0 and (not self._query_first or self._log.find(RX_MARK, at) >= 0)
        self.final_sent = self.final_sent or self._log.find(FINAL_REPLY_MARK, searched_from) >= 0
        return self


class CpuMeter:
    """CPU seconds (utime + stime) a Wine process and the prefix's wineserver
    use between start() and stop(); the last good sample stands for a process
    that ended meanwhile."""

    def __init__(self, wine, pid):
        self._pids = (pid, wine.server.pid)
        self._first = self._last = None

    def sample(self):
        try:
            self._last = tuple(cpu_seconds(p) for p in self._pids)
        except (OSError, IndexError):
            pass  # the process ended; the last sample stands
        return self._last

    def start(self):
        self._first = self.sample()

    def used(self):
        """(process, wineserver) seconds since start()."""
        return tuple(b - a for a, b in zip(self._first, self._last))


def _ticks(stat_path):
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime and stime: fields 14 and 15 of stat


def cpu_seconds(pid):
    """utime + stime of a process (all its threads) so far."""
    return _ticks(f"/proc/{pid}/stat") / CLOCK_TICKS


def thread_seconds(pid):
    """{thread id: utime + stime} of each thread of a process."""
    found = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            found[task.name] = _ticks(task / "stat") / CLOCK_TICKS
        except OSError:
            continue  # a thread that just ended
    return found


def windows_process(wine, exe_name):
    """The pid of the prefix's one Unix process whose command line names the exe."""
    marker = ("WINEPREFIX=" + str(wine.path)).encode()
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes()
            environ = (entry / "environ").read_bytes()
        except OSError:
            continue
        if exe_name.encode() in cmdline and marker in environ.split(b"\0"):
            found.append(int(entry.name))
    if len(found) != 1:
        raise RuntimeError(f"expected one process of {exe_name}, found {found}")
    return found[0]


def cpu_share(wine, exe_name, seconds, alive):
    """Over `seconds`: % of one core used by the exe's process, by each of its
    threads (busiest first) and by the prefix's wineserver."""
    pid = windows_process(wine, exe_name)
    server = wine.server.pid
    before = (cpu_seconds(pid), cpu_seconds(server), thread_seconds(pid), time.monotonic())
    time.sleep(seconds)  # the measured interval itself
    after = (cpu_seconds(pid), cpu_seconds(server), thread_seconds(pid), time.monotonic())
    if not alive():
        raise RuntimeError(f"{exe_name} ended during the idle interval")
    wall = after[3] - before[3]
    process = 100 * (after[0] - before[0]) / wall
    # Threads alive at the end; what the process used beyond them went to threads that ended meanwhile.
    threads = sorted((100 * (t - before[2].get(tid, 0.0)) / wall for tid, t in after[2].items()), reverse=True)
    return {"process": process, "wineserver": 100 * (after[1] - before[1]) / wall, "threads": threads,
            "ended_threads": max(process - sum(threads), 0.0)}
