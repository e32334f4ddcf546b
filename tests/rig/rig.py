"""The rig's machinery: a fake sysfs tree of hidraw devices, udev's netlink
events, and the FUSE server that plays the device nodes (hidraw_server.c).

Runs as root inside a private mount and network namespace (see run_rig.sh):
/sys and /dev are tmpfs mounts of that namespace, so nothing here touches the
machine's own devices, and netlink events reach only the namespace's
listeners."""

import os
import queue
import re
import socket
import struct
import subprocess
import threading
import time

NETLINK_KOBJECT_UEVENT = 15
UDEV_MONITOR_GROUP = 2
UDEV_MONITOR_MAGIC = 0xFEEDCAFE
HIDRAW_MAJOR = 243
NODE_FOLDER = "/dev/rig"


def run(*command):
    subprocess.run(command, check=True)


# ---- Namespace set-up ----

def make_private_dev_and_sys(work):
    """Mounts tmpfs over /sys, /dev (keeping the few host nodes programs
    need) and /run, and a private X socket folder."""
    hostdev = os.path.join(work, "hostdev")
    os.makedirs(hostdev, exist_ok=True)
    run("mount", "--rbind", "/dev", hostdev)
    run("mount", "-t", "tmpfs", "-o", "mode=755", "rig-dev", "/dev")
    for name in ("null", "zero", "full", "random", "urandom", "tty", "fuse"):
        open(os.path.join("/dev", name), "w").close()
        run("mount", "--bind", os.path.join(hostdev, name), os.path.join("/dev", name))
    for folder in ("pts", "shm", NODE_FOLDER[5:]):
        os.makedirs(os.path.join("/dev", folder))
    run("mount", "--rbind", os.path.join(hostdev, "pts"), "/dev/pts")
    run("mount", "-t", "tmpfs", "-o", "mode=1777", "rig-shm", "/dev/shm")
    os.symlink("pts/ptmx", "/dev/ptmx")
    os.symlink("/proc/self/fd", "/dev/fd")
    for number, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % number, "/dev/" + name)
    run("mount", "-t", "tmpfs", "-o", "mode=755", "rig-sys", "/sys")
    for folder in ("bus/usb", "bus/hid", "class/hidraw", "devices"):
        os.makedirs(os.path.join("/sys", folder))
    # libudev listens to udevd's events only where udevd runs (its control
    # socket exists) or /dev is a devtmpfs.
    run("mount", "-t", "tmpfs", "-o", "mode=755", "rig-run", "/run")
    os.makedirs("/run/udev")
    open("/run/udev/control", "w").close()
    os.makedirs("/tmp/.X11-unix", exist_ok=True)
    run("mount", "-t", "tmpfs", "-o", "mode=1777", "rig-x11", "/tmp/.X11-unix")


def start_x_server():
    """Starts Xvfb on a free display of its own, which DISPLAY then names. It
    never resets: a client that starts as the last one ends would otherwise
    meet the server while it makes its sockets anew."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                               "1024x800x24", "-nolisten", "tcp", "-noreset"],
                              pass_fds=(write_end,),
                              stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        display = f.readline().strip()
    if not display:
        raise RuntimeError("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + display
    return server


# ---- Report descriptors ----

def collection(usage_page, usage, input_size, output_size):
    """One top-level application collection with an input and an output
    report of bytes."""
    def count(n):
        return bytes([0x96, n & 0xFF, n >> 8])
    page = bytes([0x06, usage_page & 0xFF, usage_page >> 8])
    body = bytes([0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08])
    reports = b""
    if input_size:
        reports += count(input_size) + bytes([0x09, 0x01, 0x81, 0x02])
    if output_size:
        reports += count(output_size) + bytes([0x09, 0x01, 0x91, 0x02])
    return page + bytes([0x09, usage, 0xA1, 0x01]) + body + reports + bytes([0xC0])


# ---- udev's netlink messages ----

def murmur_hash2(data, seed=0):
    m = 0x5BD1E995
    h = (seed ^ len(data)) & 0xFFFFFFFF
    whole = len(data) // 4 * 4
    for i in range(0, whole, 4):
        k = struct.unpack_from("<I", data, i)[0]
        k = (k * m) & 0xFFFFFFFF
        k ^= k >> 24
        k = (k * m) & 0xFFFFFFFF
        h = ((h * m) & 0xFFFFFFFF) ^ k
    tail = data[whole:]
    if len(tail) == 3:
        h ^= tail[2] << 16
    if len(tail) >= 2:
        h ^= tail[1] << 8
    if len(tail) >= 1:
        h ^= tail[0]
        h = (h * m) & 0xFFFFFFFF
    h ^= h >> 13
    h = (h * m) & 0xFFFFFFFF
    h ^= h >> 15
    return h


def udev_message(properties):
    """A device event as udevd sends it to its listeners: the "libudev"
    header, then the properties as NUL-separated KEY=VALUE strings."""
    body = b"".join(("%s=%s" % item).encode() + b"\0" for item in properties)
    subsystem = dict(properties)["SUBSYSTEM"].encode()
    header_size = 40
    header = b"libudev\0" + struct.pack(">I", UDEV_MONITOR_MAGIC)
    header += struct.pack("=III", header_size, header_size, len(body))
    header += struct.pack(">IIII", murmur_hash2(subsystem), 0, 0, 0)
    return header + body


class Netlink:
    def __init__(self):
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_KOBJECT_UEVENT)
        self.sock.bind((0, 0))
        self.seqnum = 1000

    def send(self, action, devpath, devname):
        self.seqnum += 1
        minor = int(re.sub(r"\D", "", devname) or 0)
        message = udev_message([("ACTION", action), ("DEVPATH", devpath),
                                ("SUBSYSTEM", "hidraw"), ("DEVNAME", devname),
                                ("SEQNUM", str(self.seqnum)), ("MAJOR", str(HIDRAW_MAJOR)),
                                ("MINOR", str(minor))])
        self.sock.sendto(message, (0, UDEV_MONITOR_GROUP))


# ---- The sysfs tree ----

def write(path, text):
    with open(path, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())


def relative_link(target, link):
    os.symlink(os.path.relpath(target, os.path.dirname(link)), link)


class Accessory:
    """One USB HID accessory: its sysfs devices and its hidraw node."""

    def __init__(self, number, vid, pid, input_size, descriptor, serial):
        self.number, self.vid, self.pid = number, vid, pid
        self.input_size, self.descriptor, self.serial = input_size, descriptor, serial
        self.node = "hidraw%d" % number
        self.devnode = "%s/%s" % (NODE_FOLDER, self.node)
        port = "1-%d" % (number + 1)
        self.usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + port
        self.interface = "%s/%s:1.0" % (self.usb, port)
        self.hid = "%s/0003:%04X:%04X.%04X" % (self.interface, vid, pid, number + 1)
        self.hidraw = "%s/hidraw/%s" % (self.hid, self.node)

    @property
    def devpath(self):
        return self.hidraw[len("/sys"):]

    def build_sysfs(self):
        os.makedirs(self.hidraw)
        for folder, subsystem in ((self.usb, "bus/usb"), (self.interface, "bus/usb"),
                                  (self.hid, "bus/hid"), (self.hidraw, "class/hidraw")):
            relative_link("/sys/" + subsystem, folder + "/subsystem")
        write(self.usb + "/uevent", "MAJOR=189\nMINOR=%d\nDEVNAME=bus/usb/001/%03d\n"
              "DEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=%x/%x/100\n"
              % (self.number + 1, self.number + 2, self.vid, self.pid))
        for name, value in (("idVendor", "%04x" % self.vid), ("idProduct", "%04x" % self.pid),
                            ("bcdDevice", "0100"), ("manufacturer", "Corvane"),
                            ("product", "Remote Play Key"), ("serial", self.serial)):
            write("%s/%s" % (self.usb, name), value + "\n")
        write(self.interface + "/uevent",
              "DEVTYPE=usb_interface\nDRIVER=usbhid\nINTERFACE=3/0/0\n")
        write(self.interface + "/bInterfaceNumber", "00\n")
        write(self.hid + "/uevent",
              "DRIVER=hid-generic\nHID_ID=0003:%08X:%08X\nHID_NAME=Corvane Remote Play Key\n"
              "HID_PHYS=usb-0000:00:14.0-%d/input0\nHID_UNIQ=%s\n"
              % (self.vid, self.pid, self.number + 1, self.serial))
        write(self.hid + "/report_descriptor", self.descriptor)
        write(self.hidraw + "/uevent", "MAJOR=%d\nMINOR=%d\nDEVNAME=%s\n"
              % (HIDRAW_MAJOR, self.number, self.devnode[5:]))
        write(self.hidraw + "/dev", "%d:%d\n" % (HIDRAW_MAJOR, self.number))
        relative_link(self.hid, self.hidraw + "/device")
        relative_link(self.hidraw, "/sys/class/hidraw/" + self.node)

    def remove_sysfs(self):
        os.unlink("/sys/class/hidraw/" + self.node)
        subprocess.run(["rm", "-rf", self.usb], check=True)


# ---- The device server ----

class Server:
    """The FUSE server's process; its events are kept for waiting on."""

    def __init__(self, binary):
        self.process = subprocess.Popen([binary, NODE_FOLDER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, bufsize=1)
        self.replies = queue.Queue()
        self.events = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        if not self.wait_event(r"^mounted$", 10):
            raise RuntimeError("the device server did not mount " + NODE_FOLDER)

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip("\n")
            if line == "ok" or line.startswith("error "):
                self.replies.put(line)
                continue
            with self.cond:
                self.events.append(line)
                self.cond.notify_all()

    def command(self, line):
        self.process.stdin.write(line + "\n")
        reply = self.replies.get(timeout=10)
        if reply != "ok":
            raise RuntimeError("%s: %s" % (line, reply))

    def mark(self):
        with self.cond:
            return len(self.events)

    def wait_event(self, pattern, seconds, since=0, count=1):
        """Waits until `count` events from index `since` match `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + seconds
        with self.cond:
            while True:
                if sum(1 for e in self.events[since:] if regex.search(e)) >= count:
                    return True
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)

    def count(self, pattern, since=0):
        regex = re.compile(pattern)
        with self.cond:
            return sum(1 for e in self.events[since:] if regex.search(e))

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()


class Rig:
    """Accessories plugged and unplugged the way the kernel and udevd do it."""

    def __init__(self, server_binary):
        self.server = Server(server_binary)
        self.netlink = Netlink()
        self.attached = {}
        self.next_number = 0
        self.serials = 0

    def plug(self, vid=0x1ABE, pid=0x2203, input_size=1024, records=None, descriptor=None,
             announce=True, number=None):
        """Attaches an accessory; records maps names to values (bytes or str;
        missing ones were never written)."""
        if number is None:
            number = self.next_number
            while number in self.attached:
                number += 1
        self.next_number = max(self.next_number, number + 1)
        self.serials += 1
        if descriptor is None:
            descriptor = collection(0xFF00, 0x01, 0, 0) + collection(0x0002, 0x01, input_size,
                                                                     1023)
        accessory = Accessory(number, vid, pid, input_size, descriptor, "RIG%04d" % self.serials)
        self.server.command("add %s %d 3 %x %x %s" % (accessory.node, input_size, vid, pid,
                                                      descriptor.hex()))
        for name, value in (records or {}).items():
            data = value.encode("latin-1") if isinstance(value, str) else value
            self.server.command("record %s %s %s" % (accessory.node, name, data.hex() or "-"))
        accessory.build_sysfs()
        self.attached[number] = accessory
        if announce:
            self.netlink.send("add", accessory.devpath, accessory.devnode)
        return accessory

    def unplug(self, accessory, announce=True, device_side=True):
        """Detaches it: the node fails from now on, sysfs loses the device,
        then udev's remove event follows."""
        if device_side:
            self.server.command("remove " + accessory.node)
        accessory.remove_sysfs()
        del self.attached[accessory.number]
        if announce:
            self.netlink.send("remove", accessory.devpath, accessory.devnode)

    def fault(self, accessory, kind, value):
        self.server.command("fault %s %s %s" % (accessory.node, kind, value))

    def dump(self, accessory, what, path):
        self.server.command("dump %s %s %s" % (accessory.node, what, path))
        with open(path, "rb") as f:
            return f.read()

    def unplug_all(self):
        for accessory in list(self.attached.values()):
            self.unplug(accessory)
