"""Driver of the benchmark (tools/benchmark.sh): the exe's figures under Wine,
each a ratio to a reference program of ours measured beside it in the same
run, so that the noise of a shared machine cancels.

Runs on its own Xvfb, in one fresh Wine prefix with its own wineserver, the
simulated devices behind COMn (with the modem-line preload for the exe and
the references alike). Product and reference runs alternate; every figure is
the median of the paired ratios, with the spread. Prints one table and
writes it, with every sample, to build/windows/benchmark/. Every process it
starts is ended by its PID; every wait is bounded. It fails (exit 1) when a
run does not do what it measures (an update that does not end with the final
reply, say), never because of a figure.
"""
import argparse
import json
import shutil
import statistics
import sys
import time
from contextlib import contextmanager
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))
sys.path.insert(0, str(Path(__file__).resolve().parent / "bench"))

import comports  # noqa: E402
from comports import MODEM_LINES_ENV, SIMDEVICE, com_port, set_serialcomm  # noqa: E402
from inspector import APP_EXE, WRITE_BUTTON, Inspector, windows_path  # noqa: E402
from report import Figure, Samples, best_of, load_average, machine, pair_ratios, ratio_figure, table  # noqa: E402
from wineenv import ROOT, WIN_BUILD, WinePrefix, Xvfb, end_process, make_template_prefix, wait_until  # noqa: E402

import sizes  # noqa: E402
from probes import CpuMeter, DeviceWatch, cores_kept_awake, cpu_share, windows_process  # noqa: E402

BIN = WIN_BUILD / "bin"
BARE_UPLOAD = BIN / "bare_upload.exe"
WRITE_FLOOR = BIN / "write_floor.exe"
BARE_WINDOW = BIN / "bare_window.exe"
WINDOW_START = BIN / "window_start.exe"
PORT_IDLE = BIN / "port_idle.exe"
IMAGE = ROOT / "resources" / "test-firmware.bin"
OUT_DIR = WIN_BUILD / "benchmark"

IMAGE_BYTES = 130_048
BLOCKS = 508
LINE_BAUD = 38462
BITS_PER_BYTE = 10  # 8N1
REPLY_BYTES = 2
LINE_LIMIT_S = (IMAGE_BYTES + BLOCKS * REPLY_BYTES) * BITS_PER_BYTE / LINE_BAUD
PORT_COUNT = 8  # listed at start-up
DEVICE_PORT = 3  # of the update runs
PHASES = {"size", "startup", "paced", "unpaced", "idle"}
WATCH_INTERVAL_S = 0.02  # between looks at a running transfer

# Targets.
PACED_LIMIT = 1.02
PER_BYTE_LIMIT = 1.5
STARTUP_LIMIT = 1.3
IDLE_LIMIT_PERCENT = 1.0

# Bounds, generous for a loaded machine (seconds).
UPDATE_TIMEOUT_S = 300
RUN_TIMEOUT_S = 300
IDENTIFY_TIMEOUT_MS = 30000
SETTLE_S = 1.0  # after identification, before the idle interval starts
IDLE_MARGIN_S = 5  # port_idle lives this much longer than the interval

def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


# --- devices and their logs -------------------------------------------------

@contextmanager
def device(wine, number, *args):
    """A simulated device as COM<number> for the length of the block."""
    port = com_port(wine, number, *args)
    try:
        yield port
    finally:
        port.close()
        if port in comports._running:
            comports._running.remove(port)


def transfer(port):
    """(seconds from the first image byte at the device, the first "rx" after
    "vers", to the final reply; median and longest ms from one reply to the
    next), on the device's clock. Fails unless the device got "VERS" and the
    whole image and sent the final reply."""
    events = port.events()
    vers = next(i for i, e in enumerate(events) if e["event"] == "vers")
    first = next(e for e in events[vers + 1:] if e["event"] == "rx")
    final = [e for e in events if e["event"] == "reply" and e["kind"] == "final"]
    if len(final) != 1:
        raise RuntimeError(f"expected one final reply in {port.log_path}, found {len(final)}")
    received = port.received()
    if not received.startswith(b"VERS" + IMAGE.read_bytes()):
        raise RuntimeError(f"the device did not receive VERS and the whole image ({len(received)} bytes)")
    replies = [e["t"] for e in events if e["event"] == "reply" and e["kind"] in ("block", "final")]
    periods_ms = [1000 * (b - a) for a, b in zip(replies, replies[1:])]
    return final[0]["t"] - first["t"], statistics.median(periods_ms), max(periods_ms)


def follow(watch, meter, proc, until, what):
    """Looks at the device and samples the CPU until until(watch) holds;
    fails when the program ends first."""
    def done():
        meter.sample()
        if until(watch.look()):
            return True
        if proc.poll() is not None and not until(watch.look()):
            raise RuntimeError(f"the program ended (exit {proc.returncode}) before {what}")
        return False

    wait_until(done, UPDATE_TIMEOUT_S, interval=WATCH_INTERVAL_S, what=what)


# --- the programs -----------------------------------------------------------

def run_json(wine, exe, *args):
    """Runs a reference program to its end; its JSON line, or raises."""
    code, out = wine.run(exe, *args, env=MODEM_LINES_ENV, timeout=RUN_TIMEOUT_S)
    return _result(exe, args, code, out)


def _result(exe, args, code, out):
    lines = [line for line in out.decode(errors="replace").splitlines() if line.startswith("{")]
    if code != 0 or not lines:
        raise RuntimeError(f"{exe.name} {' '.join(map(str, args))} exited {code}: {out[-500:]!r}")
    return json.loads(lines[-1])


def start_identified(wine, env):
    """The exe started, COM3 chosen and the device identified: (proc, inspector)."""
    proc = wine.start(APP_EXE, env=env)
    try:
        inspector = Inspector(wine)
        inspector.pid = inspector.find()["pid"]
        inspector.select(0)
        inspector.wait(WRITE_BUTTON, "enabled", timeout_ms=IDENTIFY_TIMEOUT_MS)
        return proc, inspector
    except BaseException:
        end_process(proc)
        raise


def measured_transfer(wine, port, proc, exe_name, query_first, until_final=True):
    """Follows a running program's transfer: its CPU (program, wineserver) from
    the first image byte at the device to the final reply, or to the
    program's end without until_final."""
    pid = wait_until(lambda: _process_of(wine, exe_name), RUN_TIMEOUT_S, interval=0.01, what=f"{exe_name} to run")
    meter, watch = CpuMeter(wine, pid), DeviceWatch(port, query_first)
    follow(watch, meter, proc, lambda w: w.image_started, "the first image byte")
    meter.start()
    if until_final:
        follow(watch, meter, proc, lambda w: w.final_sent, "the final reply")
    else:
        wait_until(lambda: meter.sample() and proc.poll() is not None, RUN_TIMEOUT_S, interval=WATCH_INTERVAL_S,
                   what=f"{exe_name} to end")
    return meter.used()


def _process_of(wine, exe_name):
    try:
        return windows_process(wine, exe_name)
    except RuntimeError:
        return None


def product_update(wine, *device_args):
    """One whole update from the window: transfer() figures and the CPU used.
    The exe is ended once the final reply is out (its success screen would
    come 15 s later)."""
    with device(wine, DEVICE_PORT, *device_args) as port:
        proc, inspector = start_identified(wine, MODEM_LINES_ENV)
        try:
            inspector.click(WRITE_BUTTON)
            cpu = measured_transfer(wine, port, proc, APP_EXE.name, query_first=True)
        finally:
            end_process(proc)
        return (*transfer(port), cpu)


def bare_update(wine, *device_args):
    with device(wine, DEVICE_PORT, *device_args) as port:
        args = (port.name, windows_path(IMAGE))
        proc = wine.start(BARE_UPLOAD, *args, env=MODEM_LINES_ENV)
        try:
            cpu = measured_transfer(wine, port, proc, BARE_UPLOAD.name, query_first=True)
            proc.wait(timeout=RUN_TIMEOUT_S)
        finally:
            end_process(proc)
        result = _result(BARE_UPLOAD, args, proc.returncode, Path(proc.out_path).read_bytes())
        if result["stuck_waits"]:
            log(f"bare_upload: {result['stuck_waits']} stuck wait(s)")
        return (*transfer(port), cpu)


def floor_per_byte(wine):
    """write_floor's own figure (us a byte) and the CPU it used from its first byte at the device to its end."""
    with device(wine, DEVICE_PORT) as port:
        args = (port.name, IMAGE_BYTES)
        proc = wine.start(WRITE_FLOOR, *args, env=MODEM_LINES_ENV)
        try:
            cpu = measured_transfer(wine, port, proc, WRITE_FLOOR.name, query_first=False, until_final=False)
        finally:
            end_process(proc)
        return _result(WRITE_FLOOR, args, proc.returncode, Path(proc.out_path).read_bytes())["us_per_byte"], cpu


def timed_start(wine, exe):
    result = run_json(wine, WINDOW_START, PORT_COUNT, windows_path(exe))
    if result["exit_code"] != 0:
        raise RuntimeError(f"{exe.name} exited {result['exit_code']} after WM_CLOSE")
    return result["shown_ms"]


def product_idle(wine, env, seconds):
    """The identified exe, its port open and the device silent."""
    with device(wine, DEVICE_PORT):
        proc, _ = start_identified(wine, env)
        try:
            time.sleep(SETTLE_S)
            return cpu_share(wine, APP_EXE.name, seconds, lambda: proc.poll() is None)
        finally:
            end_process(proc)


def reference_idle(wine, env, seconds):
    """port_idle with the port open and its wait issued, the device silent."""
    with device(wine, DEVICE_PORT) as port:
        lifetime = int(SETTLE_S + seconds) + IDLE_MARGIN_S
        proc = wine.start(PORT_IDLE, port.name, lifetime, env=env)
        try:
            wait_until(lambda: b'"open": true' in Path(proc.out_path).read_bytes() or proc.poll() is not None,
                       RUN_TIMEOUT_S, what="port_idle to open the port")
            if proc.poll() is not None:
                raise RuntimeError(f"port_idle exited {proc.returncode}: {Path(proc.err_path).read_text()}")
            time.sleep(SETTLE_S)
            share = cpu_share(wine, PORT_IDLE.name, seconds, lambda: proc.poll() is None)
            if proc.wait(timeout=RUN_TIMEOUT_S) != 0:
                raise RuntimeError(f"port_idle exited {proc.returncode}")
            return share
        finally:
            end_process(proc)


# --- the phases -------------------------------------------------------------

def interleave(reps, runners, describe):
    """Runs every runner once per repetition, in turn, the order reversed on
    every other repetition (A B, B A, ...) so that a drift of the machine's
    load weighs on all alike. Returns one list of results per runner."""
    results = [[] for _ in runners]
    for i in range(reps):
        order = list(range(len(runners)))
        if i % 2:
            order.reverse()
        for k in order:
            results[k].append(runners[k]())
        log(f"  run {i + 1}/{reps}: " + describe(*(r[-1] for r in results)))
    return results


def startup_phase(wine, reps):
    log(f"start-up: {reps} x (exe, bare_window) with {PORT_COUNT} ports")
    ports = []
    try:
        for n in range(1, PORT_COUNT + 1):
            ports.append(com_port(wine, n))
        set_serialcomm(wine, {f"Serial{i}": p.name for i, p in enumerate(ports)})
        timed_start(wine, APP_EXE)  # warm-up of each, not counted: the first start fills Wine's caches
        timed_start(wine, BARE_WINDOW)
        ps, rs = interleave(reps, [lambda: timed_start(wine, APP_EXE), lambda: timed_start(wine, BARE_WINDOW)],
                            lambda p, r: f"exe {p:.0f} ms, bare_window {r:.0f} ms")
    finally:
        for p in ports:
            p.close()
            comports._running.remove(p)
            (wine.dosdevices / f"com{p.number}").unlink(missing_ok=True)
    set_serialcomm(wine, {"Serial0": f"COM{DEVICE_PORT}"})
    row = ratio_figure(f"Start-up to the window with {PORT_COUNT} ports", Samples(ps, "ms"), Samples(rs, "ms"),
                       STARTUP_LIMIT, 0, "bare_window")
    row.notes.append(f"from CreateProcess (in window_start) to a visible window with {PORT_COUNT} entries in its "
                     "drop-down list, looked for every ~1 ms for both")
    return [row]


def idle_phase(wine, seconds):
    log(f"idle: {seconds:g} s with the port open, device silent: exe and port_idle, modem lines then a plain pty")
    rows = []
    for env, label in ((MODEM_LINES_ENV, "modem lines"), (None, "plain pty")):
        exe, ref = product_idle(wine, env, seconds), reference_idle(wine, env, seconds)
        log(f"  {label}: exe {exe['process']:.2f} %, port_idle {ref['process']:.2f} %")
        plain = env is None
        row = Figure(f"Idle CPU over {seconds:g} s, port open, device silent, {label}" + (" (note)" if plain else ""),
                     f"{exe['process']:.2f} % of one core", f"{ref['process']:.2f} % (port_idle)",
                     f"{exe['process'] / ref['process']:.3f} x" if ref["process"] > 0 else "-",
                     "-" if plain else f"< {IDLE_LIMIT_PERCENT:g} % (exe)",
                     None if plain else exe["process"] < IDLE_LIMIT_PERCENT,
                     data={"exe": exe, "port_idle": ref})
        for name, share in (("exe", exe), ("port_idle", ref)):
            row.notes.append(f"{name}: threads " + ", ".join(f"{t:.2f}" for t in share["threads"]) +
                             f" %, threads that ended meanwhile {share['ended_threads']:.2f} %; "
                             f"the prefix's wineserver meanwhile {share['wineserver']:.2f} %")
        rows.append(row)
    rows[0].notes.append("CPU time: utime+stime of the program's Wine process (/proc/<pid>/stat); the wineserver "
                         "serves every process of the prefix and is shown apart, not added")
    rows[1].notes.append("without the modem-line preload Wine ends every pending wait after a few ms")
    return rows


def block_period_note(name, product, reference, reference_name):
    row = Figure(name, product.text(2), f"{reference.text(2)} ({reference_name})",
                 pair_ratios(product, reference).text(3))
    row.notes.append("median over the update of the time from one reply of the device to the next: steadier "
                     "than the whole time on a loaded machine, as a burst of load moves it little")
    row.data = {"product": product.values, reference_name: reference.values}
    return row


def paced_phase(wine, reps):
    log(f"line-paced update at {LINE_BAUD} baud: {reps} x (exe, bare_upload)")
    pace = ("--pace-baud", LINE_BAUD)
    ps, rs = interleave(reps, [lambda: product_update(wine, *pace), lambda: bare_update(wine, *pace)],
                        lambda p, r: f"exe {p[0]:.2f} s ({p[1]:.2f} ms a block, longest {p[2]:.0f}), "
                                     f"bare loop {r[0]:.2f} s ({r[1]:.2f} ms a block, longest {r[2]:.0f})")
    product, bare = Samples([p[0] for p in ps], "s"), Samples([r[0] for r in rs], "s")
    row = ratio_figure("Line-paced update, first image byte to final reply", product, bare, PACED_LIMIT, 2,
                       "bare_upload")
    limit = Figure(f"... against the line's own limit ({LINE_LIMIT_S:.3f} s)",
                   Samples([v / LINE_LIMIT_S for v in product.values], "x").text(3),
                   f"{Samples([v / LINE_LIMIT_S for v in bare.values], 'x').text(3)} (bare_upload)")
    limit.notes.append(f"limit: {IMAGE_BYTES:,} x {BITS_PER_BYTE} / {LINE_BAUD} s plus {BLOCKS} replies of "
                       f"{REPLY_BYTES} bytes; under Wine each reply also pays the notification latency")
    period = block_period_note("... median block period (note)", Samples([p[1] for p in ps], "ms"),
                               Samples([r[1] for r in rs], "ms"), "bare_upload")
    period.notes.append("longest block period of each run: exe " + ", ".join(f"{p[2]:.0f}" for p in ps) +
                        " ms; bare_upload " + ", ".join(f"{r[2]:.0f}" for r in rs) + " ms")
    return [row, limit, period]


def per_byte(seconds):
    return seconds * 1e6 / IMAGE_BYTES


def unpaced_phase(wine, reps):
    log(f"unpaced update: {reps} x (exe, write_floor, bare_upload)")
    ps, fs, bs = interleave(reps, [lambda: product_update(wine), lambda: floor_per_byte(wine),
                                   lambda: bare_update(wine)],
                            lambda p, f, b: f"exe {per_byte(p[0]):.1f} us/B, floor {f[0]:.1f} us/B, "
                                            f"bare loop {per_byte(b[0]):.1f} us/B")
    product = Samples([per_byte(p[0]) for p in ps], "us/B")
    bare = Samples([per_byte(b[0]) for b in bs], "us/B")
    floor = Samples([f[0] for f in fs], "us/B")
    row = ratio_figure("Software cost per image byte, device unpaced", product, floor, PER_BYTE_LIMIT, 1,
                       "write_floor")
    cpu_rows = []
    for label, index in (("process and wineserver", None), ("its own process only", 0)):
        def cpu(run, index=index):
            used = run[-1]
            return per_byte(sum(used) if index is None else used[index])

        product_cpu = Samples([cpu(p) for p in ps], "us/B")
        floor_cpu = Samples([cpu(f) for f in fs], "us/B")
        cpu_rows.append(Figure(f"... CPU time a byte, {label} (note)", product_cpu.text(1),
                               f"{floor_cpu.text(1)} (write_floor)", pair_ratios(product_cpu, floor_cpu).text(3),
                               data={"product": product_cpu.values, "write_floor": floor_cpu.values}))
    cpu_rows[0].notes.append("utime+stime from the first image byte at the device to the final reply (write_floor: "
                             "to its end); the exe's includes its window thread, which keeps the CRC field's text")
    note = Figure("... the bare protocol loop, unpaced (note)", product.text(1), f"{bare.text(1)} (bare_upload)",
                  pair_ratios(product, bare).text(3), data={"product": product.values, "bare_upload": bare.values})
    note.notes.append(f"the exe's and the bare loop's times include the wait for {BLOCKS} replies; "
                      "write_floor's has none")
    note.notes.append(best_of(product, bare, 1))
    period = block_period_note("... median block period, unpaced (note)", Samples([p[1] for p in ps], "ms"),
                               Samples([b[1] for b in bs], "ms"), "bare_upload")
    return [row, *cpu_rows, note, period]


def size_phase():
    log("size")
    return sizes.figures(APP_EXE, IMAGE_BYTES)


# --- driver -----------------------------------------------------------------

def check_built():
    missing = [p for p in (APP_EXE, BARE_UPLOAD, WRITE_FLOOR, BARE_WINDOW, WINDOW_START, PORT_IDLE, SIMDEVICE,
                           comports.MODEM_LINES) if not p.exists()]
    if missing:
        raise SystemExit(f"missing {', '.join(map(str, missing))}: build the windows and native presets")


def measure(args):
    figures = []
    if "size" in args.only:
        figures += size_phase()
    if not args.only & (PHASES - {"size"}):
        return figures
    xvfb = Xvfb()
    try:
        return figures + measure_under_wine(args, xvfb.display)
    finally:
        xvfb.close()


def measure_under_wine(args, display):
    figures = []
    template = make_template_prefix(display)
    wine = WinePrefix(template, display)
    try:
        set_serialcomm(wine, {"Serial0": f"COM{DEVICE_PORT}"})
        # The idle phase measures CPU time, and runs with the cores left alone.
        phases = [("startup", True, lambda: startup_phase(wine, args.startup_reps)),
                  ("paced", True, lambda: paced_phase(wine, args.reps)),
                  ("unpaced", True, lambda: unpaced_phase(wine, args.unpaced_reps)),
                  ("idle", False, lambda: idle_phase(wine, args.idle_seconds))]
        for name, timed, phase in phases:
            if name in args.only:
                with cores_kept_awake(timed and args.keep_awake):
                    figures += phase()
    finally:
        while comports._running:  # devices a failed phase left behind
            comports._running.pop().close()
        wine.close()
        shutil.rmtree(template, ignore_errors=True)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=3, help="line-paced runs of the exe and of bare_upload (default 3)")
    parser.add_argument("--unpaced-reps", type=int, default=5,
                        help="unpaced runs of the exe, write_floor and bare_upload (default 5)")
    parser.add_argument("--startup-reps", type=int, default=21, help="start-ups of each (default 21)")
    parser.add_argument("--idle-seconds", type=float, default=10.0, help="idle interval (default 10 s)")
    parser.add_argument("--keep-awake", action="store_true",
                        help="keep the cores awake with idle-class busy loops during the timed phases "
                             "(an experiment: see the README)")
    parser.add_argument("--only", default="size,startup,paced,unpaced,idle",
                        help="comma-separated phases to run (default: all)")
    args = parser.parse_args()
    args.only = set(args.only.split(","))
    unknown = args.only - PHASES
    if unknown:
        parser.error(f"unknown phase(s) {', '.join(sorted(unknown))}; the phases: {', '.join(sorted(PHASES))}")
    check_built()

    started = time.monotonic()
    load_at_start = load_average()
    figures = measure(args)
    elapsed = time.monotonic() - started
    text = (table(figures) + f"\nMachine: {machine(load_at_start)}\n\n"
            f"Run: {time.strftime('%Y-%m-%d %H:%M')}, {elapsed / 60:.1f} min\n")
    print(text)
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    (OUT_DIR / "table.md").write_text(text)
    (OUT_DIR / "figures.json").write_text(json.dumps([f.__dict__ for f in figures], indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
