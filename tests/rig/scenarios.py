"""The rig's scenarios: the production corvane-cli and corvane, linked to the
system's hidapi and libudev, against accessories the rig plugs in.

    scenarios.py <build folder> <device server> <work folder> <cli|window>
"""

import errno
import json
import os
import select
import subprocess
import sys
import threading
import time
import traceback

import rig

build, server_binary, work = (os.path.abspath(p) for p in sys.argv[1:4])
suite = sys.argv[4]
CLI = os.path.join(build, "corvane-cli")
WINDOW = os.path.join(build, "corvane")
RECORDS = {"version": "V2.0.1", "rp.psnid": "RigAccount77", "rp.pin": "86420"}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def environment(**extra):
    runtime = os.path.join(work, "runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    env = dict(os.environ, SYSTEMD_DEVICE_VERIFY_SYSFS="0", XDG_RUNTIME_DIR=runtime,
               CORVANE_CONFIG_DIR=os.path.join(work, "config"),
               ASAN_OPTIONS="detect_leaks=0", CORVANE_INSTANCE_KEY="corvane-rig-" + suite)
    env.update(extra)
    return env


def cli(*arguments, timeout=120):
    result = subprocess.run([CLI, "--json", *arguments], env=environment(), cwd=work,
                            capture_output=True, text=True, timeout=timeout)
    try:
        result.json = json.loads(result.stdout) if result.stdout.strip() else {}
    except ValueError:
        result.json = {}
    return result


def expect_exit(result, code, what):
    check(result.returncode == code, "%s: exit %d, not %d\n%s%s" % (
        what, result.returncode, code, result.stdout, result.stderr[-2000:]))


def random_file(name, size):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- corvane-cli ----

def cli_identifies_over_both_report_sizes(r):
    for size in (1024, 1023):
        a = r.plug(input_size=size, records=RECORDS)
        mark = r.server.mark()
        info = cli("info", "--show-pin")
        expect_exit(info, 0, "info over %d-byte reports" % size)
        # hidapi checks that the node is hidraw before it uses it.
        check(r.server.wait_event("^ioctl %s HIDIOCGRDESCSIZE$" % a.node, 5, mark),
              "the node was opened without its descriptor size: %s" % r.server.events[mark:])
        check(info.json.get("version") == RECORDS["version"] and
              info.json.get("accountId") == RECORDS["rp.psnid"] and
              info.json.get("pin") == RECORDS["rp.pin"] and
              info.json.get("path") == a.devnode, "info shows %s" % info.stdout)
        r.unplug(a)


def cli_reads_never_written_records_over_1023_byte_reports(r):
    # An erased record announces 0xFFFF bytes, more than a 1023-byte report holds.
    r.plug(input_size=1023, records={"version": "V2.0.1"})
    info = cli("info", "--show-pin")
    expect_exit(info, 0, "info of a device with records never written")
    check(info.json.get("accountId") == "" and info.json.get("pin") == "",
          "never-written records show %s" % info.stdout)


def cli_sets_records(r):
    a = r.plug(records=RECORDS)
    mark = r.server.mark()
    result = cli("set", "--account", "NewAcct\u00e9", "--pin", "1357")
    expect_exit(result, 0, "set")
    check(r.server.wait_event("record-write rp.psnid %s$" % "NewAcct\u00e9".encode("latin-1").hex(),
                              5, mark) and
          r.server.wait_event("record-write rp.pin %s$" % b"1357".hex(), 5, mark),
          "the device received other records: %s" % r.server.events[mark:])
    r.unplug(a)


def cli_flash_and_backup_are_byte_exact(r):
    a = r.plug(input_size=1023, records=RECORDS)
    image = random_file("image.bin", 96 * 1024)
    expect_exit(cli("flash", image), 0, "flash")
    check(r.dump(a, "firmware", os.path.join(work, "got.bin")) == read(image),
          "the device did not receive the image byte for byte")
    backup = os.path.join(work, "backup.bin")
    expect_exit(cli("backup", backup), 0, "backup")
    check(read(backup) == r.dump(a, "flash", os.path.join(work, "flash.bin")),
          "the backup differs from the device's flash")
    check(os.stat(backup).st_mode & 0o777 == 0o600, "the backup is not private")


def cli_unplug_during_transfers_fails(r):
    for job, argument in (("flash", random_file("long.bin", 128 * 1024)),
                          ("backup", os.path.join(work, "cut.bin"))):
        a = r.plug(records=RECORDS)
        r.fault(a, "gone-after", 60)
        mark = r.server.mark()
        process = subprocess.Popen([CLI, "--json", job, argument], env=environment(), cwd=work,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        check(r.server.wait_event("^gone " + a.node, 30, mark), "the device was never removed")
        r.unplug(a, device_side=False)
        out, err = process.communicate(timeout=60)
        check(process.returncode == 1, "%s cut by a removal: exit %d\n%s%s" % (
            job, process.returncode, out, err[-1500:]))
        check(job != "backup" or not os.path.exists(argument),
              "a backup cut short left a file")


def cli_late_missing_and_short_replies(r):
    a = r.plug(records=RECORDS)
    r.fault(a, "late", 300)
    info = cli("info", "--show-pin")
    expect_exit(info, 0, "info with replies 300 ms late")
    check(info.json.get("pin") == RECORDS["rp.pin"], "late replies: %s" % info.stdout)
    r.fault(a, "late", 0)
    r.fault(a, "drop", 1)
    expect_exit(cli("set", "--pin", "1111"), 1, "set without a reply")
    r.fault(a, "short", 20) # the record's value is cut off
    info = cli("info", "--show-pin")
    check(info.returncode == 1 and "version" not in info.json,
          "a version reply cut short was taken: exit %d %s" % (info.returncode, info.stdout))
    r.unplug(a)


def cli_enumeration(r):
    # Only another usage page, then a watched pair the program never opens.
    foreign = r.plug(descriptor=rig.collection(0xFF00, 0x01, 1024, 1023))
    other_pair = r.plug(vid=0x1ABE, pid=0x2202)
    expect_exit(cli("list"), 3, "list with no candidate")
    expect_exit(cli("info"), 3, "info with no candidate")
    second = r.plug(vid=0x6A3A, pid=0x2202, records=dict(RECORDS, **{"rp.pin": "2202"}))
    first = r.plug(vid=0x1ABE, pid=0x2203, records=RECORDS)
    listed = cli("list")
    expect_exit(listed, 0, "list")
    paths = [d.get("path") for d in listed.json.get("accessories", [])]
    check(sorted(paths) == sorted([first.devnode, second.devnode]), "list shows %s" % paths)
    info = cli("info", "--show-pin")
    check(info.json.get("path") == first.devnode, "the first candidate was not chosen: %s"
          % info.stdout)
    chosen = cli("--device", second.devnode, "info", "--show-pin")
    check(chosen.json.get("pin") == "2202", "--device: %s" % chosen.stdout)
    for a in (foreign, other_pair, second, first):
        r.unplug(a)


def cli_permission_denied(r):
    a = r.plug(records=RECORDS)
    r.fault(a, "deny", 1)
    listed = cli("list")
    check([d.get("accessible") for d in listed.json.get("accessories", [])] == [False],
          "list: %s" % listed.stdout)
    info = cli("info")
    expect_exit(info, 4, "info on a node that may not be opened")
    check("udev rule" in info.stderr, "no udev hint: %s" % info.stderr)
    r.unplug(a)


def nodes_behave_like_hidraw(r):
    """The stand itself: what the kernel's hidraw driver does, the nodes do."""
    a = r.plug(input_size=1023, records=RECORDS)
    request = bytearray(1024)
    request[3:7] = bytes([1, 3, 18, 0])
    request[9:16] = b"version"
    reader = os.open(a.devnode, os.O_RDWR | os.O_NONBLOCK)
    other = os.open(a.devnode, os.O_RDWR)
    try:
        try:
            os.read(reader, 1024)
            raise Failure("a non-blocking read with nothing queued did not fail")
        except BlockingIOError:
            pass
        for _ in range(70):
            os.write(other, bytes(request))
        poller = select.poll()
        poller.register(reader, select.POLLIN)
        check(poller.poll(1000), "poll did not report the queued replies")
        sizes = []
        while True:
            try:
                sizes.append(len(os.read(reader, 4096)))
            except BlockingIOError:
                break
        check(sizes == [1023] * 64, "the queue held %d reports of sizes %s" % (len(sizes),
                                                                            set(sizes)))
        check(len(os.read(other, 100)) == 100, "a short read did not cut the report")
        r.unplug(a)
        check(poller.poll(1000)[0][1] & (select.POLLERR | select.POLLHUP),
              "poll on a removed node reports no error")
        for call, code in ((lambda: os.read(reader, 1024), errno.EIO),
                           (lambda: os.write(other, bytes(request)), errno.ENODEV)):
            try:
                call()
                raise Failure("a removed node still works")
            except OSError as error:
                check(error.errno == code, "a removed node fails with %s" % error)
    finally:
        os.close(reader)
        os.close(other)


CLI_SCENARIOS = [
    nodes_behave_like_hidraw,
    cli_identifies_over_both_report_sizes,
    cli_reads_never_written_records_over_1023_byte_reports,
    cli_sets_records,
    cli_flash_and_backup_are_byte_exact,
    cli_unplug_during_transfers_fails,
    cli_late_missing_and_short_replies,
    cli_enumeration,
    cli_permission_denied,
]


# ---- the window, in an X server of the rig's own, driven with xdotool ----

def xdotool(*arguments):
    return subprocess.run(["xdotool", *arguments], capture_output=True, text=True).stdout.strip()


def wait_for(predicate, seconds, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return None


def find_window(title):
    return xdotool("search", "--onlyvisible", "--name", "^%s$" % title).split("\n")[0]


class Window:
    """One run of the production program."""

    def __init__(self):
        self.log_path = os.path.join(work, "window.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([WINDOW], env=environment(QT_QPA_PLATFORM="xcb",
                                                                   QT_QPA_PLATFORMTHEME=""),
                                        cwd=work, stdout=self.log, stderr=subprocess.STDOUT)
        self.id = wait_for(lambda: find_window("Corvane"), 30)
        if not self.id:
            self.close()
            raise Failure("the window did not appear:\n" + self.output()[-1500:])
        geometry = dict(line.split("=") for line in
                        xdotool("getwindowgeometry", "--shell", self.id).split("\n"))
        self.x, self.y = int(geometry["X"]), int(geometry["Y"])

    def output(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def click(self, x, y, button="1"):
        xdotool("mousemove", "--sync", str(self.x + x), str(self.y + y))
        xdotool("click", button)

    def field(self, x, y):
        """The text of the line edit at x, y, through the clipboard."""
        self.click(x, y)
        xdotool("key", "ctrl+a", "ctrl+c")
        time.sleep(0.3)
        return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True,
                              text=True, timeout=5).stdout

    def type_into(self, x, y, text):
        self.click(x, y)
        xdotool("key", "ctrl+a", "BackSpace")
        xdotool("type", "--delay", "10", text)

    def records(self):
        return self.field(358, 253), self.field(358, 333)

    def answer_box(self, title, seconds):
        """Waits for a message box with this title and presses Enter in it."""
        box = wait_for(lambda: find_window(title), seconds)
        if not box:
            return False
        geometry = dict(line.split("=") for line in
                        xdotool("getwindowgeometry", "--shell", box).split("\n"))
        xdotool("mousemove", "--sync", str(int(geometry["X"]) + 20), str(int(geometry["Y"]) + 5))
        xdotool("windowfocus", "--sync", box)
        xdotool("key", "Return")
        wait_for(lambda: not find_window(title), 5)
        return True

    def save(self, account, pin):
        self.type_into(358, 253, account)
        self.type_into(358, 333, pin)
        self.click(332, 404)
        return self.answer_box("Success", 20)

    def choose_file(self, title, path):
        dialog = wait_for(lambda: find_window(title), 10)
        check(dialog, "no file dialog " + title)
        time.sleep(0.5)
        xdotool("windowfocus", "--sync", dialog)
        xdotool("key", "ctrl+a")
        xdotool("type", "--delay", "10", path)
        xdotool("key", "Return")
        check(wait_for(lambda: not find_window(title), 5), "file dialog still open: " + title)

    def load_firmware(self, path):
        self.click(169, 567)
        self.choose_file("select bin file", path)

    def background_menu(self, entry, title, path):
        """Chooses entry `entry` (counted from 1) of the background menu, then
        names `path` in the file dialog it opens."""
        self.click(30, 300, "3")
        time.sleep(0.5)
        xdotool("key", *(["Down"] * entry), "Return")
        self.choose_file(title, path)

    def press_until(self, x, y, r, pattern, since):
        """Presses the button at x, y until the device sees a request matching
        `pattern` (a click the X server drops now and then is tried again)."""
        for _ in range(3):
            self.click(x, y)
            if r.server.wait_event(pattern, 5, since):
                return True
        return False

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.log.close()
        if os.environ.get("RIG_KEEP_LOG"):
            with open(os.environ["RIG_KEEP_LOG"], "a") as kept:
                kept.write(self.output())


def identified(r, accessory, since, seconds=15):
    return r.server.wait_event("request %s record-read rp.pin" % accessory.node, seconds, since)


def window_session_follows_the_accessory(r):
    a = r.plug(input_size=1023, records=RECORDS)
    mark = r.server.mark()
    window = Window()
    try:
        check(identified(r, a, mark), "the window did not identify the accessory at start")
        check(window.records() == (RECORDS["rp.psnid"], RECORDS["rp.pin"]),
              "the window shows %s" % (window.records(),))

        diagnostics = os.path.join(work, "diagnostics.txt")
        window.background_menu(2, "Save diagnostic log", diagnostics)
        check(wait_for(lambda: os.path.exists(diagnostics), 5) and
              "version %s" % RECORDS["version"] in read(diagnostics).decode(errors="replace"),
              "the diagnostic log does not name the version")
        check(window.answer_box("Success", 10), "no Success box after saving the log")

        backup = os.path.join(work, "window-backup.bin")
        window.background_menu(1, "Back up device flash", backup)
        check(window.answer_box("Success", 60), "no Success box after a backup")
        check(read(backup) == r.dump(a, "flash", os.path.join(work, "flash.bin")),
              "the window's backup differs from the device's flash")

        mark = r.server.mark()
        check(window.save("RigSaved01", "97531"), "no Success box after Save")
        check(r.server.wait_event("record-write rp.psnid %s$" % b"RigSaved01".hex(), 5, mark) and
              r.server.wait_event("record-write rp.pin %s$" % b"97531".hex(), 5, mark),
              "Save wrote %s" % r.server.events[mark:])

        # A second accessory comes and goes; the window stays with the first.
        mark = r.server.mark()
        other = r.plug(vid=0x6A3A, pid=0x2202, records=RECORDS)
        time.sleep(1)
        r.unplug(other)
        time.sleep(1)
        check(r.server.count("request %s " % other.node, mark) == 0,
              "the window spoke to the second accessory")
        check(window.save("RigSaved02", "1"), "the first accessory was lost to the second")

        # Unplugged in the middle of a firmware update.
        image = random_file("window.bin", 256 * 1024)
        window.load_firmware(image)
        r.fault(a, "gone-after", 100)
        mark = r.server.mark()
        check(window.press_until(530, 565, r, "firmware 0$", mark), "Run did not start")
        check(r.server.wait_event("^gone " + a.node, 30, mark), "the device was never removed")
        r.unplug(a, device_side=False)
        check(window.answer_box("Warning", 20), "an interrupted update was not reported")
        check(not find_window("Success") and "successfully" not in window.output(),
              "an interrupted update was reported as a success")

        # Plugged back in: connected again.
        mark = r.server.mark()
        a = r.plug(input_size=1023, records=RECORDS, number=a.number)
        check(identified(r, a, mark), "the window did not take the accessory back:\n" + window.output()[-2500:])
        check(window.save("RigSaved03", "2"), "no Success box after plugging back in")
        image = random_file("window-update.bin", 64 * 1024)
        window.load_firmware(image)
        mark = r.server.mark()
        check(window.press_until(530, 565, r, "firmware 0$", mark), "Run did not start")
        check(window.answer_box("Success", 60), "no Success box after an update")
        check(r.dump(a, "firmware", os.path.join(work, "got.bin")) == read(image),
              "the window's update did not reach the device byte for byte")

        # Its removal is missed; when it comes back the window opens it again.
        r.unplug(a, announce=False)
        mark = r.server.mark()
        a = r.plug(input_size=1023, records=RECORDS, number=a.number)
        check(identified(r, a, mark), "an arrival after a missed removal was ignored")
        check(window.save("RigSaved04", "3"), "no Success box after the missed removal")
    finally:
        window.close()


def window_explains_a_node_it_may_not_open(r):
    a = r.plug(records=RECORDS)
    r.fault(a, "deny", 1)
    window = Window()
    try:
        check(wait_for(lambda: "udev rule" in window.output(), 15),
              "no udev hint for a node that may not be opened:\n" + window.output()[-1500:])
        window.click(332, 404)
        check(window.answer_box("Warning", 10), "Save on a refused node did not warn")
    finally:
        window.close()


def window_sees_an_accessory_plugged_during_start_up(r):
    # The window's first look finds an accessory that is unplugged while the
    # window opens it; the one plugged in meanwhile must not be missed.
    decoy = r.plug(records=RECORDS, announce=False)
    r.fault(decoy, "hold", 1)
    started = {}
    mark = r.server.mark()
    thread = threading.Thread(target=lambda: started.setdefault("window", Window()))
    thread.start()
    try:
        check(r.server.wait_event("^holding " + decoy.node, 30, mark), "the window never looked")
        r.unplug(decoy)
        mark = r.server.mark()
        a = r.plug(records=RECORDS)
        r.server.command("release %s 19" % decoy.node)  # ENODEV: the decoy is gone
        thread.join(40)
        check("window" in started, "the window did not appear")
        check(identified(r, a, mark), "the accessory plugged in during start-up was missed")
    finally:
        thread.join(40)
        if "window" in started:
            started["window"].close()


WINDOW_SCENARIOS = [
    window_session_follows_the_accessory,
    window_explains_a_node_it_may_not_open,
]
STARTUP_SCENARIOS = [window_sees_an_accessory_plugged_during_start_up]

# ---- runner ----

SKIP = 77


def main():
    # What this machine does not allow (mounts in the namespace, a FUSE
    # mount, an X server) means the rig cannot run here: skipped, not passed.
    try:
        rig.make_private_dev_and_sys(work)
        r = rig.Rig(server_binary)
    except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
        print("SKIPPED: the rig cannot set up its devices here: %s" % error)
        return SKIP
    scenarios = {"cli": CLI_SCENARIOS, "window": WINDOW_SCENARIOS,
                 "startup": STARTUP_SCENARIOS}[suite]
    try:
        x_server = rig.start_x_server() if suite != "cli" else None
    except (OSError, RuntimeError) as error:
        print("SKIPPED: the rig cannot start an X server here: %s" % error)
        return SKIP
    failed = 0
    for scenario in scenarios:
        started = time.monotonic()
        try:
            scenario(r)
            print("PASS %s (%.1f s)" % (scenario.__name__, time.monotonic() - started))
        except Exception as error:  # one scenario's failure must not hide the others'
            failed += 1
            print("FAIL %s: %s" % (scenario.__name__, error))
            if not isinstance(error, Failure):
                traceback.print_exc()
        finally:
            r.unplug_all()
        sys.stdout.flush()
    r.server.stop()
    if x_server:
        x_server.terminate()
    print("%d passed, %d failed" % (len(scenarios) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
