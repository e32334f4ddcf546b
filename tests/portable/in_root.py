"""The portable archive, unpacked in a foreign root (Debian 13 with only what a
desktop provides), run there against the rig's accessory, a loopback sign-in
stand-in and an X server of this machine.

    in_root.py <root> <archive> <device server> <work folder> <source folder>
               <the build's corvane>

Runs as root in a mount and network namespace of its own (check_portable.sh):
the root is seen through an overlay, so it stays as it was made, and every
mount ends with the namespace.
"""

import fcntl
import glob
import json
import os
import re
import socket
import struct
import subprocess
import sys
import time

root_lower, archive, server_binary, work, source, reference_window = (
    os.path.abspath(p) for p in sys.argv[1:7])
sys.path[:0] = [os.path.join(source, "tests", "rig"), os.path.join(source, "tests", "python")]
import rig  # noqa: E402
from fake_signin_server import FakeSignInServer  # noqa: E402

ROOT = os.path.join(work, "root")
# Where the archive is unpacked inside the root: a path with spaces, mounted
# read-only, and reached from ~/bin through a link.
FOLDER_PARENT = "/opt/Corvane Apps"
RECORDS = {"version": "V2.0.1", "rp.psnid": "RootAccount9", "rp.pin": "24680"}
SKIP = 77
# The status line at the top of the window: "Device not connected" or not.
STATUS_AREA = "320x36+180+103"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(*command):
    subprocess.run(command, check=True)


def loopback_up():
    """A new network namespace starts with its loopback down."""
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH", b"lo", 0)
        flags = struct.unpack("16sH", fcntl.ioctl(s, siocgifflags, request)[:18])[1]
        fcntl.ioctl(s, siocsifflags, struct.pack("16sH", b"lo", flags | iff_up))


def inside(path):
    return os.path.join(ROOT, path.lstrip("/"))


def mount_root():
    for folder in ("upper", "overlay-work", "root"):
        os.makedirs(os.path.join(work, folder))
    run("mount", "-t", "overlay", "corvane-root", "-o",
        "lowerdir=%s,upperdir=%s/upper,workdir=%s/overlay-work" % (root_lower, work, work), ROOT)
    run("mount", "--bind", "/proc", inside("/proc"))
    run("mount", "--rbind", "/sys", inside("/sys"))
    run("mount", "--rbind", "/run", inside("/run"))
    os.makedirs(inside("/tmp/.X11-unix"), exist_ok=True)
    run("mount", "--bind", "/tmp/.X11-unix", inside("/tmp/.X11-unix"))


def mount_dev():
    """After the device server has mounted its node folder, so it comes along."""
    run("mount", "--rbind", "/dev", inside("/dev"))


def unpack():
    parent = inside(FOLDER_PARENT)
    os.makedirs(parent)
    run("tar", "-xzf", archive, "-C", parent)
    (name,) = os.listdir(parent)
    run("mount", "--bind", parent, parent)
    run("mount", "-o", "remount,bind,ro", parent, parent)
    os.makedirs(inside("/root/bin"), exist_ok=True)
    os.symlink(os.path.join(FOLDER_PARENT, name, "corvane-cli"), inside("/root/bin/corvane-cli"))
    for folder in ("/tmp/runtime", "/tmp/config", "/tmp/home", "/tmp/files"):
        os.makedirs(inside(folder), mode=0o700, exist_ok=True)
    return os.path.join(FOLDER_PARENT, name)


def in_root(command, cwd="/tmp/files", timeout=120, **extra):
    env = {"PATH": "/root/bin:/usr/bin:/bin", "HOME": "/tmp/home", "LANG": "C.UTF-8",
           "XDG_RUNTIME_DIR": "/tmp/runtime", "CORVANE_CONFIG_DIR": "/tmp/config",
           "CORVANE_INSTANCE_KEY": "corvane-portable",
           # The rig's sysfs tree is made of plain files, which libudev checks for.
           "SYSTEMD_DEVICE_VERIFY_SYSFS": "0"}
    env.update(extra)
    arguments = ["chroot", ROOT, "/usr/bin/env", "-i", "-C", cwd]
    arguments += ["%s=%s" % item for item in env.items()] + list(command)
    return subprocess.run(arguments, capture_output=True, text=True, timeout=timeout)


def expect_exit(result, code, what):
    check(result.returncode == code, "%s: exit %d, not %d\n%s%s" % (
        what, result.returncode, code, result.stdout, result.stderr[-2000:]))


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


# ---- the checks ----

def every_elf_resolves(folder):
    files = [p for p in glob.glob(inside(folder) + "/**", recursive=True)
             if os.path.isfile(p) and not os.path.islink(p) and is_elf(p)]
    check(len(files) > 20, "only %d ELF files in the bundle" % len(files))
    for path in files:
        result = in_root(["ldd", path[len(ROOT):]])
        check(result.returncode == 0 and "not found" not in result.stdout and
              "not found" not in result.stderr,
              "ldd %s:\n%s%s" % (path[len(ROOT):], result.stdout, result.stderr))
    return "%d ELF files, every library resolved" % len(files)


def cli_without_accessory(folder):
    result = in_root(["./corvane-cli", "list"], cwd=folder)
    expect_exit(result, 3, "list with no accessory")
    version = in_root(["./corvane-cli", "--version"], cwd=folder).stdout.strip()
    check(folder.endswith("corvane-" + version.split()[-1]),
          "--version says %r in %s" % (version, folder))
    return "list: %s; %s" % ((result.stdout + result.stderr).strip(), version)


def cli(*arguments):
    # Through the link in ~/bin, from a folder of its own.
    result = in_root(["corvane-cli", "--json", *arguments])
    try:
        result.json = json.loads(result.stdout) if result.stdout.strip() else {}
    except ValueError:
        result.json = {}
    return result


def file_in_root(name, data=None):
    path = inside("/tmp/files/" + name)
    if data is not None:
        with open(path, "wb") as f:
            f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def cli_works_the_accessory(r):
    a = r.plug(input_size=1023, records=RECORDS)
    listed = cli("list")
    expect_exit(listed, 0, "list")
    check([d.get("path") for d in listed.json.get("accessories", [])] == [a.devnode],
          "list shows %s" % listed.stdout)
    info = cli("info", "--show-pin")
    expect_exit(info, 0, "info")
    check(info.json.get("accountId") == RECORDS["rp.psnid"] and
          info.json.get("pin") == RECORDS["rp.pin"], "info shows %s" % info.stdout)
    mark = r.server.mark()
    expect_exit(cli("set", "--account", "Portable01", "--pin", "1357"), 0, "set")
    check(r.server.wait_event("record-write rp.psnid %s$" % b"Portable01".hex(), 5, mark) and
          r.server.wait_event("record-write rp.pin %s$" % b"1357".hex(), 5, mark),
          "set wrote %s" % r.server.events[mark:])
    image = file_in_root("image.bin", os.urandom(64 * 1024))
    expect_exit(cli("flash", "/tmp/files/image.bin"), 0, "flash")
    check(r.dump(a, "firmware", os.path.join(work, "got.bin")) == read(image),
          "the device did not receive the image byte for byte")
    expect_exit(cli("backup", "/tmp/files/backup.bin"), 0, "backup")
    check(read(file_in_root("backup.bin")) == r.dump(a, "flash", os.path.join(work, "flash.bin")),
          "the backup differs from the device's flash")
    r.fault(a, "deny", 1)
    denied = cli("info")
    expect_exit(denied, 4, "info on a node that may not be opened")
    check("/opt/Corvane Apps/" in denied.stderr and "install-udev-rule.sh" in denied.stderr,
          "the hint does not name the folder's rule installer: %s" % denied.stderr)
    r.unplug(a)
    return "list, info, set, flash and backup byte-exact; exit 4 says: %s" % denied.stderr.strip()


def rule_and_menu_installers(folder):
    result = in_root(["%s/install-udev-rule.sh" % folder, "--yes"])
    expect_exit(result, 0, "install-udev-rule.sh")
    installed = inside("/etc/udev/rules.d/70-corvane.rules")
    check(read(installed) == read(os.path.join(source, "packaging", "70-corvane.rules")),
          "the installed rule differs from the package's")
    expect_exit(in_root(["%s/install-udev-rule.sh" % folder, "--remove"]), 0, "--remove")
    check(not os.path.exists(installed), "--remove left the rule")
    expect_exit(in_root(["%s/install-desktop-entry.sh" % folder]), 0, "install-desktop-entry.sh")
    entry = inside("/tmp/home/.local/share/applications/org.corvane.Corvane.desktop")
    exec_line = [line for line in read(entry).decode().splitlines() if line.startswith("Exec=")]
    check(exec_line == ['Exec="%s/corvane"' % folder], "the entry says %s" % exec_line)
    check(os.path.exists(inside("/tmp/home/.local/share/icons/hicolor/48x48/apps/"
                                "org.corvane.Corvane.png")), "no icon in the user's icons")
    validate = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    check(validate.returncode == 0 and not re.search(r": (error|warning):", validate.stdout),
          "desktop-file-validate: %s" % validate.stdout)
    return "rule installed as the package's and removed; menu entry %s" % exec_line[0]


def resolve_reaches_the_stand_in(folder):
    server = FakeSignInServer((200, {"access_token": "tok"}),
                              (200, {"user_id": "1", "scopes": "psn:s2s"})).start()
    try:
        result = in_root(["./corvane-cli", "resolve", "--url",
                          "https://redirect.example.net/remoteplay/redirect?code=c0de"],
                         cwd=folder, CORVANE_AUTH_HOST="http://" + server.host,
                         CORVANE_REDIRECT_HOST="redirect.example.net",
                         CORVANE_CLIENT_SECRET="secret")
    finally:
        server.stop()
    expect_exit(result, 0, "resolve")
    check(result.stdout.strip().endswith("AQAAAAAAAAA="), "resolve printed %s" % result.stdout)
    return "resolve: %s" % result.stdout.strip()


def xdotool(*arguments):
    return subprocess.run(["xdotool", *arguments], capture_output=True, text=True).stdout


def find_window(title):
    return xdotool("search", "--onlyvisible", "--name", "^%s$" % title).split()


def save_diagnostic_log(window, path):
    """Through the window's background menu, as a user does."""
    geometry = dict(line.split("=") for line in
                    xdotool("getwindowgeometry", "--shell", window).split())
    xdotool("mousemove", "--sync", str(int(geometry["X"]) + 30), str(int(geometry["Y"]) + 300))
    xdotool("click", "3")
    time.sleep(0.5)
    xdotool("key", "Down", "Down", "Return")
    for _ in range(50):
        if find_window("Save diagnostic log"):
            break
        time.sleep(0.2)
    time.sleep(0.5)
    xdotool("key", "ctrl+a")
    xdotool("type", "--delay", "10", path)
    xdotool("key", "Return")
    for _ in range(50):
        if find_window("Success"):
            xdotool("key", "Return")
            return
        time.sleep(0.2)


def screenshot_of(command, name, diagnostics=None):
    """Starts the window, takes a picture of it once it has looked for the
    accessory (and saves its diagnostic log to `diagnostics`), and ends it."""
    log = open(os.path.join(work, name + ".log"), "w")
    window = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    try:
        found = ""
        for _ in range(150):
            found = find_window("Corvane")
            if found or window.poll() is not None:
                break
            time.sleep(0.2)
        check(found, "the window did not appear:\n" + open(log.name).read()[-2000:])
        time.sleep(1.5)  # its first look for the accessory, then the paint
        shot = os.path.join(work, name + ".png")
        run("import", "-window", found[0], shot)
        if diagnostics:
            save_diagnostic_log(found[0], diagnostics)
        return shot
    finally:
        window.terminate()
        try:
            window.wait(10)
        except subprocess.TimeoutExpired:
            window.kill()
            window.wait()
        log.close()


def status_differs(shot, reference):
    """Pixels of the status line that differ between the two pictures."""
    crops = []
    for picture in (shot, reference):
        crops.append(picture + ".status.png")
        run("convert", picture, "-crop", STATUS_AREA, "+repage", crops[-1])
    result = subprocess.run(["compare", "-metric", "AE", "-fuzz", "10%", *crops, "null:"],
                            capture_output=True, text=True)
    return int(float(result.stderr.split()[0]))


def window_shows_device_not_connected(folder):
    env = ["DISPLAY=" + os.environ["DISPLAY"], "QT_QPA_PLATFORM=xcb", "LANG=C.UTF-8"]
    shot = screenshot_of(["chroot", ROOT, "/usr/bin/env", "-i", "-C", "/tmp/files",
                          "HOME=/tmp/home", "XDG_RUNTIME_DIR=/tmp/runtime",
                          "CORVANE_CONFIG_DIR=/tmp/config", *env, folder + "/corvane"], "window",
                       "/tmp/files/diagnostics.txt")
    saved = read(file_in_root("diagnostics.txt")).decode(errors="replace")
    version = folder.rsplit("corvane-", 1)[1]
    check("Program: Corvane %s\n" % version in saved,
          "the diagnostic log does not say version %s:\n%s" % (version, saved[:500]))
    # The build's own program on this machine, unconnected too, is what it
    # must look like.
    os.makedirs(os.path.join(work, "host-runtime"), mode=0o700)
    reference = screenshot_of(["env", "-i", "HOME=" + work, "CORVANE_CONFIG_DIR=" + work,
                               "XDG_RUNTIME_DIR=" + os.path.join(work, "host-runtime"), *env,
                               reference_window], "reference")
    differing = status_differs(shot, reference)
    check(differing < 100, "the status line differs from the build's own in %d pixels (%s)"
          % (differing, shot))
    return ("the window shows 'Device not connected' as the build's own does (%d pixels "
            "differ); its diagnostic log says %s") % (differing, saved.splitlines()[1])


def main():
    try:
        loopback_up()
        rig.make_private_dev_and_sys(work)
        mount_root()
        r = rig.Rig(server_binary)
        mount_dev()
    except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
        print("SKIPPED: the foreign root cannot be set up here: %s" % error)
        return SKIP
    x_server = None
    try:
        folder = unpack()
        checks = [(every_elf_resolves, folder), (cli_without_accessory, folder),
                  (cli_works_the_accessory, r), (rule_and_menu_installers, folder),
                  (resolve_reaches_the_stand_in, folder)]
        failed = sum(run_check(function, argument) for function, argument in checks)
        x_server = rig.start_x_server()
        failed += run_check(window_shows_device_not_connected, folder)
    finally:
        if x_server:
            x_server.terminate()
            x_server.wait()
        r.server.stop()
    print("%d passed, %d failed" % (len(checks) + 1 - failed, failed))
    return 1 if failed else 0

def run_check(function, argument):
    started = time.monotonic()
    try:
        said = function(argument)
        print("PASS %s (%.1f s): %s" % (function.__name__, time.monotonic() - started, said))
        return 0
    except Exception as error:  # one check's failure must not hide the others'
        print("FAIL %s: %s" % (function.__name__, error))
        return 1
    finally:
        sys.stdout.flush()



if __name__ == "__main__":
    sys.exit(main())
