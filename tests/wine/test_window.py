"""The main window of the test-image exe, looked at from outside under Wine.

Frame, controls, z-order, keyboard and mouse behaviour, the "/ih" switch, odd
command lines and closing. Texts are compared as the UTF-16 the window returns
and as their Windows-1251 bytes.
"""
import subprocess

import pytest

from inspector import (APP_EXE, CRC_CAPTION, CRC_FIELD, CRC_RECEIVED_CAPTION, ERROR_ICON, ERROR_LINE_1,
                       ERROR_LINE_2, IDOK, OK_BUTTON, PORT_LIST, STATUS_FIELD, SUCCESS_TEXT,
                       UPLOAD_PROGRESS, VERSION_LABEL, WRITE_BUTTON, Inspector, Picture, screenshot,
                       windows_path)
from wineenv import wait_until

MAIN_CLASS = "KorvelantisBootloaderWindow"
CAPTION = "Korvelantis bootloader"

WS_CAPTION, WS_SYSMENU, WS_THICKFRAME = 0x00C00000, 0x00080000, 0x00040000
WS_MINIMIZEBOX, WS_MAXIMIZEBOX, WS_BORDER = 0x00020000, 0x00010000, 0x00800000
WS_EX_CLIENTEDGE = 0x00000200
SS_TYPE_MASK, SS_CENTER, SS_LEFT, SS_ICON, SS_LEFTNOWORDWRAP, SS_NOPREFIX = 0x1F, 0x1, 0x0, 0x3, 0xC, 0x80
ES_READONLY, ES_AUTOHSCROLL = 0x0800, 0x0080
CBS_TYPE_MASK, CBS_DROPDOWN, CBS_SORT = 0x3, 0x2, 0x100
BS_TYPE_MASK, BS_PUSHBUTTON = 0xF, 0x0
PBS_SMOOTH, PBS_VERTICAL = 0x1, 0x4

SUCCESS_TEXT_VALUE = (" " * 29 + "ПО успешно обновлено!\r\n" + " " * 24 + "Сбросте настройки по умолчанию!")

# The controls as the window starts: class, place and size in client pixels
# (None where the size follows the text or the font), text, visible, enabled.
FIT = None
CONTROLS = [
    (ERROR_LINE_1, "Static", (0, 0, 610, FIT), "Ошибка при передаче данных!", False, True),
    (ERROR_LINE_2, "Static", (0, FIT, 610, FIT), "Проверьте все соединения и попробуйте ещё раз.", False, True),
    (WRITE_BUTTON, "Button", (5, 50, 85, 30), "Записать", True, False),
    (STATUS_FIELD, "Edit", (110, 10, 320, 25), "Выберите порт с подключённым устройством.", True, True),
    (PORT_LIST, "ComboBox", (10, 10, 85, FIT), "", True, True),
    (UPLOAD_PROGRESS, "msctls_progress32", (5, 90, 600, 30), "", True, True),
    (VERSION_LABEL, "Static", (110, 55, FIT, FIT), "Версия ПО для обновления:1.5 (TVKA)", True, True),
    (CRC_FIELD, "Edit", (45, 145, 85, 25), "FFFF", False, True),
    (CRC_RECEIVED_CAPTION, "Static", (140, 150, FIT, FIT), "CRC принятый:", True, True),
    (CRC_CAPTION, "Static", (10, 150, FIT, FIT), "CRC:", True, True),
    (OK_BUTTON, "Button", (245, 60, 115, 30), "OK", False, True),
    (ERROR_ICON, "Static", (145, 3, 15, 14), None, False, True),  # a picture: its text is not specified
    (SUCCESS_TEXT, "Static", (5, 0, 492, 49), SUCCESS_TEXT_VALUE, False, True),
]
CREATION_ORDER = [row[0] for row in CONTROLS]


def style_faults(control_id, control):
    """The settings of the table that show in a control's style bits."""
    style, exstyle, faults = control["style"], control["exstyle"], []

    def need(condition, what):
        if not condition:
            faults.append(f"{control_id}: {what} (style {style:#x}, exstyle {exstyle:#x})")

    if control["class"] == "Static" and control_id != ERROR_ICON:
        centred = control_id in (ERROR_LINE_1, ERROR_LINE_2, SUCCESS_TEXT)
        alignments = (SS_CENTER,) if centred else (SS_LEFT, SS_LEFTNOWORDWRAP)
        need(style & SS_TYPE_MASK in alignments, "centred" if centred else "left-aligned")
        need(style & SS_NOPREFIX, "shows & literally (SS_NOPREFIX)")
        need(not style & WS_BORDER and not exstyle & WS_EX_CLIENTEDGE, "no border")
    if control["class"] == "Button":
        need(style & BS_TYPE_MASK == BS_PUSHBUTTON, "a plain push button, not a default one")
    if control_id == STATUS_FIELD:
        need(style & ES_READONLY and style & ES_AUTOHSCROLL, "read-only, scrolls horizontally")
        need(exstyle & WS_EX_CLIENTEDGE, "sunken edge")
    if control_id == CRC_FIELD:
        need(not style & ES_READONLY, "editable")
        need(exstyle & WS_EX_CLIENTEDGE, "sunken edge")
    if control_id == PORT_LIST:
        need(style & CBS_TYPE_MASK == CBS_DROPDOWN, "drop-down with an editable text part")
        need(not style & CBS_SORT, "entries in the order added")
    if control_id == UPLOAD_PROGRESS:
        need(style & PBS_SMOOTH and not style & PBS_VERTICAL, "horizontal, smooth")
        need(exstyle & WS_EX_CLIENTEDGE, "sunken edge")
    return faults


def control_faults(row, control):
    control_id, cls, (x, y, w, h), text, visible, enabled = row
    faults = []

    def same(what, actual, expected):
        if expected is not None and actual != expected:
            faults.append(f"{control_id} {what}: {actual!r}, expected {expected!r}")

    rect = control["rect"]
    same("class", control["class"], cls)
    for name, expected in zip("xywh", (x, y, w, h)):
        same(name, rect[name], expected)
    if rect["w"] <= 0 or rect["h"] <= 0:
        faults.append(f"{control_id} has no area: {rect}")
    same("text", control["text"], text)
    same("Windows-1251 bytes", control["text_cp1251"], text.encode("cp1251").hex() if text is not None else None)
    same("visible", control["visible"], visible)
    same("WS_VISIBLE", control["style_visible"], visible)
    same("enabled", control["enabled"], enabled)
    return faults + style_faults(control_id, control)


def test_frame_caption_geometry_and_style(app, artifacts):
    _, inspector = app
    window = inspector.find()
    assert window["class"] == MAIN_CLASS
    assert window["caption"] == CAPTION
    assert window["rect"] == {"x": 200, "y": 200, "w": 616, "h": 171}
    assert (window["client"]["w"], window["client"]["h"]) == (610, 146)
    assert window["visible"] and window["enabled"]
    assert window["owner"] == 0
    style = window["style"]
    assert style & WS_CAPTION == WS_CAPTION and style & WS_SYSMENU and style & WS_MINIMIZEBOX
    assert not style & WS_MAXIMIZEBOX, "the window must not be maximizable"
    assert not style & WS_THICKFRAME, "the window must have a fixed size"
    screenshot(inspector.wine, artifacts / "window.png", window["rect"])


# Points in client pixels where a colour of the window shows on screen at start,
# and the system colour expected there.
COLOUR_POINTS = {
    "window background": ((550, 60), "btnface"),
    "status field, right of its text": ((425, 30), "3dlight"),
    "port list's text part": ((50, 22), "window"),
    "empty progress bar": ((300, 105), "btnface"),
}


@pytest.mark.parametrize("where", list(COLOUR_POINTS))
def test_colours_on_screen(app, artifacts, where):
    _, inspector = app
    window = inspector.find()
    colours = inspector.run("colors")
    name = "colours-" + where.split(",")[0].replace(" ", "-").replace("'", "") + ".png"
    picture = Picture(screenshot(inspector.wine, artifacts / name, window["rect"]))
    (x, y), colour = COLOUR_POINTS[where]
    border = (window["client_origin"]["x"] - window["rect"]["x"], window["client_origin"]["y"] - window["rect"]["y"])
    assert picture.at(x + border[0], y + border[1]) == tuple(colours[colour])


def test_controls_match_the_table(app):
    _, inspector = app
    dump = inspector.dump()
    assert sorted(c["id"] for c in dump["controls"]) == sorted(CREATION_ORDER)
    faults = [fault for row in CONTROLS for fault in control_faults(row, dump.control(row[0]))]
    assert not faults, "\n".join(faults)

    ports = dump.control(PORT_LIST)
    assert ports["selection"] == -1
    progress = dump.control(UPLOAD_PROGRESS)
    assert (progress["range"], progress["pos"]) == ([0, 507], 0)
    assert len(dump.control(SUCCESS_TEXT)["text_cp1251"]) == 2 * 107
    # Waiting on a text (the way later tests follow the window) sees the same
    # texts, line break and leading spaces included.
    inspector.wait_text(SUCCESS_TEXT, SUCCESS_TEXT_VALUE)
    inspector.wait_text(STATUS_FIELD, "порт с подключённым", contains=True)


def test_later_controls_lie_above_earlier_ones(app):
    _, inspector = app
    topmost_first = [c["id"] for c in inspector.dump()["controls"]]
    assert topmost_first == list(reversed(CREATION_ORDER))


def xdotool(wine, *args):
    subprocess.run(["xdotool", *map(str, args)], env=wine.env, check=True, timeout=30)


def press_and_read_focus(inspector, key):
    before = inspector.find()["focus_id"]
    xdotool(inspector.wine, "key", key)
    # Bounded wait for the key to take effect; the focus may also stay put.
    try:
        return wait_until(lambda: (f := inspector.find()["focus_id"]) != before and f, 5, interval=0.2,
                          what=f"focus to leave {before} after {key}")
    except TimeoutError:
        return before


def test_tab_moves_focus_in_creation_order(app):
    _, inspector = app
    # Focus a known control first: a click into the status field.
    window = inspector.find()
    origin = window["client_origin"]
    xdotool(inspector.wine, "mousemove", origin["x"] + 400, origin["y"] + 22, "click", 1)
    wait_until(lambda: inspector.find()["focus_id"] == STATUS_FIELD, 10, interval=0.2, what="focus on the status field")

    forward = [press_and_read_focus(inspector, "Tab") for _ in range(4)]
    backward = [press_and_read_focus(inspector, "shift+Tab") for _ in range(4)]
    stops = sorted(set(forward) | {STATUS_FIELD})
    assert {STATUS_FIELD, PORT_LIST} <= set(stops), f"Tab visited {forward}"
    assert not set(stops) & {WRITE_BUTTON, OK_BUTTON, CRC_FIELD}, "hidden or disabled controls take no focus"

    def following(focus, step):
        return stops[(stops.index(focus) + step) % len(stops)]

    sequence = [STATUS_FIELD] + forward
    assert all(b == following(a, 1) for a, b in zip(sequence, sequence[1:])), f"Tab order {sequence}"
    sequence = [forward[-1]] + backward
    assert all(b == following(a, -1) for a, b in zip(sequence, sequence[1:])), f"Shift+Tab order {sequence}"


def test_arrow_and_page_keys_do_not_move_the_focus(app):
    _, inspector = app
    origin = inspector.find()["client_origin"]
    xdotool(inspector.wine, "mousemove", origin["x"] + 400, origin["y"] + 22, "click", 1)
    wait_until(lambda: inspector.find()["focus_id"] == STATUS_FIELD, 10, interval=0.2, what="focus on the status field")
    xdotool(inspector.wine, "key", "Down", "Right", "Next", "Up", "Left", "Prior")
    assert inspector.find()["focus_id"] == STATUS_FIELD


def test_dragging_the_background_moves_the_window(app):
    _, inspector = app
    window = inspector.find()
    origin = window["client_origin"]
    start = (origin["x"] + 550, origin["y"] + 60)  # clear of every control
    xdotool(inspector.wine, "mousemove", *start, "mousedown", 1, "mousemove", start[0] + 20, start[1] + 10,
            "mousemove", start[0] + 60, start[1] + 40, "mouseup", 1)
    moved = wait_until(lambda: (r := inspector.find()["rect"]) != window["rect"] and r, 10, interval=0.2,
                       what="the window to move")
    assert (moved["x"], moved["y"]) == (260, 240)
    assert (moved["w"], moved["h"]) == (616, 171)


def info_box_faults(box):
    visible = [c for c in box["controls"] if c["visible"]]
    buttons = [c["text"] for c in visible if c["class"] == "Button"]
    texts = [c["text"] for c in visible if c["class"] == "Static" and c["text"]]
    icons = [c for c in visible if c["class"] == "Static" and c["style"] & SS_TYPE_MASK == SS_ICON and c["image"]]
    faults = []
    if box["caption"] != "HiAsm Info":
        faults.append(f"caption {box['caption']!r}")
    if texts != ["Сделано в HiAsm."]:
        faults.append(f"texts {texts!r}")
    if buttons != ["OK"]:
        faults.append(f"buttons {buttons!r}")
    if icons:
        faults.append("an icon is shown")
    if box["owner"] != 0:
        faults.append("the box has an owner")
    return faults


def exe_command_line(rest, quoted_exe=True):
    exe = windows_path(APP_EXE)
    return (f'"{exe}"' if quoted_exe else exe) + rest


INFO_SWITCH_CASES = [
    # command line after the program name, program name quoted, what opens
    (" /ih", True, "box"),
    (" /ih", False, "box"),
    (' "/ih"', True, "box"),
    (" /ih further arguments", True, "box"),
    (' "/ih" x', True, "box"),
    (" /IH", True, "window"),
    (" /Ih", True, "window"),
    (" x /ih", True, "window"),
    (' "" /ih', True, "window"),
    (" /ihx", True, "window"),
]


@pytest.mark.parametrize("rest,quoted,opens", INFO_SWITCH_CASES,
                         ids=[f"{c[0].strip()}{'' if c[1] else ' (bare name)'}" for c in INFO_SWITCH_CASES])
def test_info_switch_only_as_the_exact_first_argument(wine, rest, quoted, opens):
    inspector = Inspector(wine)
    launched = inspector.launch(exe_command_line(rest, quoted_exe=quoted))
    pid = launched.pid
    inspector.pid = pid
    if opens == "box":
        box = inspector.msgbox()
        assert not info_box_faults(box), info_box_faults(box)
        others = [w for w in inspector.windows(pid=pid, include_hidden=True) if w["hwnd"] != box["hwnd"]]
        assert not [w for w in others if w["class"] == MAIN_CLASS or w["visible"]], others
        inspector.msgbox(press=IDOK)
    else:
        assert inspector.find()["caption"] == CAPTION
        inspector.close()
    assert launched.wait() == 0


ODD_COMMAND_LINES = {
    # name: command line (str: text, bytes: passed as they are), what opens (None: either)
    "longest": (exe_command_line(" " + "x" * (32767 - 200)), "window"),
    "many arguments": (exe_command_line(" x" * 10000), "window"),
    "lone quote": (exe_command_line(' "'), "window"),
    "unbalanced quote": (exe_command_line(' "/ih'), None),
    "quotes only": (exe_command_line(' """"""""'), "window"),
    "backslashes and quotes": (exe_command_line(r' \\\"/ih\" \\\\ "\"'), None),
    "tabs and spaces": (exe_command_line("\t \t/ih\t"), None),
    "non-ASCII bytes": (exe_command_line(" ").encode() + bytes(range(0x80, 0x100)), "window"),
    "control bytes": (exe_command_line(" ").encode() + bytes(range(1, 0x20)), "window"),
    "program name only, unquoted": (exe_command_line("", quoted_exe=False), "window"),
}


@pytest.mark.parametrize("name", list(ODD_COMMAND_LINES))
def test_odd_command_lines_do_not_crash(wine, name):
    command_line, opens = ODD_COMMAND_LINES[name]
    inspector = Inspector(wine)
    launched = inspector.launch(command_line)
    inspector.pid = launched.pid

    def shown():
        visible = inspector.windows(pid=inspector.pid)
        return next((w["class"] for w in visible if w["class"] in (MAIN_CLASS, "#32770")), None)

    shown_class = wait_until(shown, 60, interval=0.3, what="the window or the info box")
    if opens is not None:
        assert shown_class == (MAIN_CLASS if opens == "window" else "#32770")
    if shown_class == MAIN_CLASS:
        inspector.close()
    else:
        inspector.msgbox(press=IDOK)
    assert launched.wait() == 0


def test_closing_ends_the_process_with_0_within_2_s(app):
    proc, inspector = app
    closed = inspector.close(wait_exit_ms=10000)
    print(f"WM_CLOSE to window gone: {closed['window_gone_ms']:.1f} ms, to process end: {closed['exit_ms']:.1f} ms")
    assert closed["exit_code"] == 0
    assert closed["exit_ms"] < 2000
    assert proc.wait(timeout=30) == 0


@pytest.mark.parametrize("how", ["Alt+F4", "close button"])
def test_the_user_closes_the_window(app, how):
    proc, inspector = app
    window = inspector.find()
    rect = window["rect"]
    if how == "Alt+F4":
        origin = window["client_origin"]
        xdotool(inspector.wine, "mousemove", origin["x"] + 550, origin["y"] + 60, "click", 1, "key", "alt+F4")
    else:
        # The caption's close box is at the right end of the title bar.
        xdotool(inspector.wine, "mousemove", rect["x"] + rect["w"] - 14, rect["y"] + 12, "click", 1)
    assert proc.wait(timeout=30) == 0
