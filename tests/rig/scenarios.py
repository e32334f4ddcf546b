"""The rig's scenarios: the production corvane-cli and corvane, linked to the
system's hidapi and libudev, against accessories the rig plugs in.

    scenarios.py <build folder> <device server> <work folder> <cli|window>
"""

import json
import os
import subprocess
import sys
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
        info = cli("info", "--show-pin")
        expect_exit(info, 0, "info over %d-byte reports" % size)
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
    check(r.server.count(r"record-write rp.psnid %s$" % "NewAcct\u00e9".encode("latin-1").hex(),
                         mark) == 1 and
          r.server.count(r"record-write rp.pin %s$" % b"1357".hex(), mark) == 1,
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


CLI_SCENARIOS = [
    cli_identifies_over_both_report_sizes,
    cli_reads_never_written_records_over_1023_byte_reports,
    cli_sets_records,
    cli_flash_and_backup_are_byte_exact,
    cli_unplug_during_transfers_fails,
    cli_late_missing_and_short_replies,
    cli_enumeration,
    cli_permission_denied,
]


# ---- runner ----

def main():
    rig.make_private_dev_and_sys(work)
    r = rig.Rig(server_binary)
    scenarios = CLI_SCENARIOS if suite == "cli" else WINDOW_SCENARIOS
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
    print("%d passed, %d failed" % (len(scenarios) - failed, failed))
    return 1 if failed else 0


WINDOW_SCENARIOS = []

if __name__ == "__main__":
    sys.exit(main())
