"""The size rows of the benchmark: what the exe weighs without the firmware
image (and without the bitmap it must carry), its sections, and whether it
imports system DLLs only. Read with the mingw objdump and icoutils' wrestool.
"""
import re
import subprocess

from report import Figure

OBJDUMP = "x86_64-w64-mingw32-objdump"
SIZE_LIMIT = 256 * 1024
# DLLs that are part of Windows itself.
SYSTEM_DLLS = re.compile(r"^(kernel32|user32|gdi32|comctl32|advapi32|winmm|msvcrt|ucrtbase|ntdll|shell32|ole32|"
                         r"api-ms-win-crt-.*)\.dll$", re.IGNORECASE)


def _run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=60).stdout


def resources(exe):
    """{name: bytes} of the exe's resources, from `wrestool -l`."""
    found = {}
    for line in _run("wrestool", "-l", str(exe)).splitlines():
        name = re.search(r"--name='?([^' ]+)'?", line)
        size = re.search(r"size=(\d+)", line)
        kind = re.search(r"--type=(\d+)", line)
        if name and size:
            found[f"{kind.group(1) if kind else '?'}/{name.group(1)}"] = int(size.group(1))
    return found


def sections(exe):
    """{section name: bytes} from `objdump -h`."""
    found = {}
    for line in _run(OBJDUMP, "-h", str(exe)).splitlines():
        cells = line.split()
        if len(cells) >= 3 and cells[0].isdigit() and cells[1].startswith("."):
            found[cells[1]] = int(cells[2], 16)
    return found


def imported_dlls(exe):
    return re.findall(r"DLL Name: (\S+)", _run(OBJDUMP, "-p", str(exe)))


def kib(n):
    return f"{n / 1024:.1f} KiB"


def figures(exe, image_bytes):
    total = exe.stat().st_size
    res = resources(exe)
    image = res.get("100/STREAM0")
    bitmap = res.get("2/BITMAP0", 0)
    if image != image_bytes:
        raise RuntimeError(f"{exe.name}: the image resource holds {image} bytes, not {image_bytes}")
    secs = sections(exe)
    without_image = total - image_bytes
    without_both = without_image - bitmap
    code_and_data = sum(size for name, size in secs.items() if name not in (".rsrc", ".bss"))
    dlls = imported_dlls(exe)
    foreign = [d for d in dlls if not SYSTEM_DLLS.match(d)]

    rows = [
        Figure("Size: exe without the image", f"{without_image:,} B ({kib(without_image)})", "-",
               f"{without_image / SIZE_LIMIT:.3f}", "<= 256 KiB", without_image <= SIZE_LIMIT),
        Figure("Size: exe without the image and BITMAP0", f"{without_both:,} B ({kib(without_both)})", "-",
               f"{without_both / SIZE_LIMIT:.3f}", "<= 256 KiB", without_both <= SIZE_LIMIT),
        Figure("Size: imported DLLs", f"{len(dlls)} DLLs" + (f", not system: {' '.join(foreign)}" if foreign else ""),
               "-", "-", "system DLLs only", not foreign),
    ]
    rows[2].notes.append(" ".join(dlls))
    rows[0].notes.append(f"whole exe {total:,} B; image {image_bytes:,} B; BITMAP0 {bitmap:,} B "
                         "(290 x 290 at 32 bits, carried as it is)")
    rows[1].notes.append("sections: " + ", ".join(f"{n} {kib(s)}" for n, s in secs.items() if n != ".bss") +
                         f"; code and data (all but .rsrc) {kib(code_and_data)}")
    for row in rows:
        row.data = {"exe_bytes": total, "resources": res, "sections": secs, "dlls": dlls}
    return rows
