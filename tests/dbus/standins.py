#!/usr/bin/python3
"""Stand-ins for systemd-logind and UPower on a private system bus.

    standins.py STATE EVENTS

STATE is a JSON file read at every call, so a test can change it between
runs: {"refuseInhibit": bool, "upower": bool, "onBattery": bool,
"batteryPresent": bool, "percentage": number}. EVENTS receives one JSON line
per inhibitor taken ("take": the four arguments) and released ("release"),
each with the wall-clock and monotonic time. Prints "ready" once both names
are owned.
"""
import json
import os
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

LOGIN1 = "org.freedesktop.login1"
UPOWER = "org.freedesktop.UPower"
PROPERTIES = "org.freedesktop.DBus.Properties"


def read_state(path):
    try:
        with open(path) as state:
            return json.load(state)
    except (OSError, ValueError):
        return {}


class Events:
    def __init__(self, path):
        self.path = path
        self.next_id = 1

    def write(self, event, **fields):
        fields.update(event=event, wall=time.time(), monotonic=time.monotonic())
        with open(self.path, "a") as log:
            log.write(json.dumps(fields) + "\n")


class Logind(dbus.service.Object):
    def __init__(self, bus, state_path, events):
        super().__init__(bus, "/org/freedesktop/login1")
        self.state_path = state_path
        self.events = events

    @dbus.service.method(LOGIN1 + ".Manager", in_signature="ssss", out_signature="h")
    def Inhibit(self, what, who, why, mode):
        if read_state(self.state_path).get("refuseInhibit"):
            raise dbus.exceptions.DBusException(
                "refused by the stand-in", name="org.freedesktop.DBus.Error.AccessDenied")
        ident = self.events.next_id
        self.events.next_id += 1
        reading, writing = os.pipe()
        self.events.write("take", id=ident, what=str(what), who=str(who), why=str(why),
                          mode=str(mode))
        GLib.io_add_watch(reading, GLib.PRIORITY_DEFAULT, GLib.IO_HUP | GLib.IO_ERR,
                          self.released, ident)
        handed = dbus.types.UnixFd(writing)
        os.close(writing)
        return handed

    def released(self, reading, _condition, ident):
        self.events.write("release", id=ident)
        os.close(reading)
        return False


class UPowerObject(dbus.service.Object):
    """An object of UPower's whose properties come from the state file."""

    def __init__(self, bus, path, state_path, properties):
        super().__init__(bus, path)
        self.state_path = state_path
        self.properties = properties

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        state = read_state(self.state_path)
        if not state.get("upower", True):
            raise dbus.exceptions.DBusException(
                "no UPower", name="org.freedesktop.DBus.Error.ServiceUnknown")
        if (interface, name) not in self.properties:
            raise dbus.exceptions.DBusException(
                "no such property", name="org.freedesktop.DBus.Error.InvalidArgs")
        return self.properties[(interface, name)](state)


def upower_objects(bus, state_path):
    manager = {(UPOWER, "OnBattery"): lambda s: dbus.Boolean(s.get("onBattery", False))}
    display = {
        (UPOWER + ".Device", "IsPresent"): lambda s: dbus.Boolean(s.get("batteryPresent", False)),
        (UPOWER + ".Device", "Percentage"): lambda s: dbus.Double(s.get("percentage", 100.0)),
    }
    return [UPowerObject(bus, "/org/freedesktop/UPower", state_path, manager),
            UPowerObject(bus, "/org/freedesktop/UPower/devices/DisplayDevice", state_path,
                         display)]


def main():
    state_path, events_path = sys.argv[1], sys.argv[2]
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    events = Events(events_path)
    names = [dbus.service.BusName(LOGIN1, bus), dbus.service.BusName(UPOWER, bus)]
    services = [Logind(bus, state_path, events)] + upower_objects(bus, state_path)
    print("ready", flush=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    loop.run()
    del names, services


if __name__ == "__main__":
    main()
