#!/usr/bin/python3
"""Meets the running program the way a screen-reader or keyboard user does,
through AT-SPI and real key presses.

    atspi_check.py tree <application name>
        Prints each visible accessible as "role | name | value" and fails when a
        control is missing, has the wrong role or name, or an unnamed control
        is left in the tree; exit status 3 when the program is not on the bus.
    atspi_check.py keyboard <application name> <emulator state dir> <app pid>
        Tabs through the controls (pointer parked on the bare background, as
        keyboard focus follows it without a window manager), checks the order
        and the focus mark, activates Paste with Space and Save with Enter, and
        leaves with Escape; then checks what the accessory received.
"""
import os
import subprocess
import sys
import time

import pyatspi

EXPECTED = {
    # name: role
    "Login": "push button",
    "Paste": "push button",
    "Account ID": "text",
    "PIN": "text",
    "Save": "push button",
    "Load Firmware": "push button",
    "Run": "push button",
    "Minimize": "push button",
    "Exit": "push button",
    "Device connected": "label",
    "Firmware update progress": "progress bar",
    "Save progress": "progress bar",
}
VERSION_PREFIX = "Version V"


def find_application(name, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            if app is not None and app.name == name and app.childCount > 0:
                return app
        time.sleep(0.2)
    desktop = pyatspi.Registry.getDesktop(0)
    seen = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    print("applications on the bus:", [(a.name, a.childCount) for a in seen if a is not None])
    return None


def showing(accessible):
    return accessible.getState().contains(pyatspi.STATE_SHOWING)


def walk(accessible):
    for index in range(accessible.childCount):
        child = accessible.getChildAtIndex(index)
        if child is None:
            continue
        yield child
        yield from walk(child)


def value_of(accessible):
    try:
        value = accessible.queryValue()
    except NotImplementedError:
        return None
    return (value.currentValue, value.maximumValue)


def check_tree(app_name):
    app = find_application(app_name, seconds=15)
    if app is None:
        print("FAIL: the application is not on the accessibility bus")
        return 3
    problems = []
    found = {}
    for accessible in walk(app):
        if not showing(accessible):
            continue
        role, name = accessible.getRoleName(), accessible.name
        value = value_of(accessible) if role == "progress bar" else None
        print(f"{role} | {name} | {value if value is not None else ''}")
        if role in ("dialog", "frame", "window", "filler", "panel"):
            continue
        if not name:
            problems.append(f"unnamed {role}")
        found.setdefault(name, []).append((role, value))
    for name, role in EXPECTED.items():
        entries = found.get(name, [])
        if [r for r, _ in entries] != [role]:
            problems.append(f"{name!r}: expected one {role}, found {entries}")
    for name in ("Firmware update progress", "Save progress"):
        for role, value in found.get(name, []):
            if value != (0.0, 6.0):
                problems.append(f"{name!r}: value {value}, expected 0 of 6 at start")
    versions = [n for n in found if n and n.startswith(VERSION_PREFIX)]
    if [found[n][0][0] for n in versions] != ["label"]:
        problems.append(f"version line: {versions}")
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


TAB_ORDER = ["Login", "Paste", "Account ID", "PIN", "Save", "Load Firmware", "Run",
             "Minimize", "Exit"]


def xdotool(*args):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True,
                          text=True).stdout


def focused_name(app):
    for accessible in walk(app):
        if accessible.getState().contains(pyatspi.STATE_FOCUSED):
            return accessible.name
    return None


def press_and_wait_focus(app, key, previous):
    xdotool("key", key)
    deadline = time.time() + 3
    while time.time() < deadline:
        name = focused_name(app)
        if name != previous:
            return name
        time.sleep(0.05)
    return previous


def window_geometry(name, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{name}$"],
                               capture_output=True, text=True).stdout.split()
        if found:
            shell = xdotool("getwindowgeometry", "--shell", found[0])
            values = dict(line.split("=", 1) for line in shell.split())
            return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])
        time.sleep(0.1)
    return None


def screen_pixel(x, y):
    text = subprocess.run(["import", "-window", "root", "-depth", "8", "-crop", f"1x1+{x}+{y}", "txt:-"],
                          check=True, capture_output=True, text=True).stdout
    return text.splitlines()[-1].split()[2]  # "#RRGGBB"


def answer_box(title, key="Return"):
    geometry = window_geometry(title)
    if geometry is None:
        return False
    x, y, width, _ = geometry
    xdotool("mousemove", "--sync", str(x + width // 2), str(y + 5))
    xdotool("key", key)
    return True


def ended(pid):
    """True once the process is gone or a zombie (the shell has not reaped it)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] == "Z"
    except FileNotFoundError:
        return True


def check_keyboard(app_name, state_dir, app_pid):
    problems = []
    app = find_application(app_name)
    main_window = window_geometry("Corvane")
    if app is None or main_window is None:
        print("FAIL: the program did not come up")
        return 1
    win_x, win_y = main_window[0], main_window[1]

    def park_pointer():
        xdotool("mousemove", "--sync", str(win_x + 30), str(win_y + 300))

    def activate_window():
        # Pointer on the bare background, which takes no focus; the click makes
        # the window active again after a message box.
        park_pointer()
        xdotool("click", "1")

    activate_window()
    mark_pixel = (win_x + 207, win_y + 190)  # left edge of Login's mark
    untouched = screen_pixel(*mark_pixel)
    name = None
    for _ in range(len(TAB_ORDER) + 1):
        name = press_and_wait_focus(app, "Tab", name)
        if name == "Login":
            break
    visited = [name]
    time.sleep(0.3)
    marked = screen_pixel(*mark_pixel)
    if not marked.upper().startswith("#8DFE") or marked == untouched:
        problems.append(f"no focus mark beside Login (pixel {untouched} -> {marked})")
    for _ in range(len(TAB_ORDER)):
        name = press_and_wait_focus(app, "Tab", name)
        visited.append(name)
    print("tab order:", " -> ".join(str(v) for v in visited))
    if visited != TAB_ORDER + ["Login"]:
        problems.append(f"tab order {visited}")

    name = press_and_wait_focus(app, "Tab", name)  # Paste
    xdotool("key", "space")
    if not answer_box("Copy"):  # the clipboard is empty on a fresh display
        problems.append("Space on Paste did not paste")
    activate_window()
    # Paste is disabled while it works, which moves the focus on to the field
    # it fills; the user goes on typing there.
    name = focused_name(app)
    if name != "Account ID":
        problems.append(f"after Paste the focus is on {name}, not on Account ID")
    xdotool("key", "ctrl+a")
    xdotool("type", "--delay", "20", "KeyboardUser7")
    name = press_and_wait_focus(app, "Tab", name)  # PIN
    xdotool("key", "ctrl+a")
    xdotool("type", "--delay", "20", "97531")
    name = press_and_wait_focus(app, "Tab", name)
    if name != "Save":
        problems.append(f"expected Save after PIN, focus is on {name}")
    xdotool("key", "Return")
    if not answer_box("Success"):
        problems.append("Enter on Save did not save")
    activate_window()
    time.sleep(0.3)
    xdotool("key", "Escape")
    deadline = time.time() + 10
    while time.time() < deadline and not ended(app_pid):
        time.sleep(0.1)
    records = {}
    for record in ("rp.psnid", "rp.pin"):
        path = os.path.join(state_dir, "record." + record)
        records[record] = open(path).read() if os.path.exists(path) else None
    if records != {"rp.psnid": "KeyboardUser7", "rp.pin": "97531"}:
        problems.append(f"the accessory holds {records} after Escape")
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    if sys.argv[1] == "tree":
        sys.exit(check_tree(sys.argv[2]))
    sys.exit(check_keyboard(sys.argv[2], sys.argv[3], sys.argv[4]))
