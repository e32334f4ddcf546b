#!/usr/bin/python3
"""A panel's side of the D-Bus tray, for the end-to-end test.

  sni_panel.py watch ITEMS_FILE      own org.kde.StatusNotifierWatcher, answer that
                                     a host is registered, and append the bus
                                     name and path of each item that registers
                                     to ITEMS_FILE; runs until killed
  sni_panel.py activate ITEMS_FILE   click the first item, as a panel does
  sni_panel.py menu ITEMS_FILE LABEL print the item menu's labels, one a line,
                                     then click the entry LABEL
"""
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
TIMEOUT_MS = 10000

# Qt reads the watcher's properties through a proxy built from this
# introspection: without the properties listed it decides there is no tray.
WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg name="service" type="s" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


def session_bus():
    return Gio.bus_get_sync(Gio.BusType.SESSION, None)


def watch(items_file):
    bus = session_bus()
    items = []

    def method_call(connection, sender, path, interface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            # An item may give its object path alone; it is then the sender's.
            if service.startswith("/"):
                name, item_path = sender, service
            else:
                name, item_path = service, "/StatusNotifierItem"
            items.append(name + item_path)
            with open(items_file, "a", encoding="utf-8") as out:
                out.write(f"{name} {item_path}\n")
            connection.emit_signal(None, path, WATCHER, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (name + item_path,)))
        invocation.return_value(None)

    def get_property(connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None

    info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
    bus.register_object("/StatusNotifierWatcher", info, method_call, get_property, None)
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "RequestName",
                          GLib.Variant("(su)", (WATCHER, 4)), GLib.VariantType("(u)"),
                          Gio.DBusCallFlags.NONE, TIMEOUT_MS, None)
    if reply.unpack()[0] != 1:
        sys.exit(f"could not own {WATCHER}")
    print("watcher ready", flush=True)
    GLib.MainLoop().run()


def first_item(items_file):
    with open(items_file, encoding="utf-8") as source:
        lines = source.read().split()
    if len(lines) < 2:
        sys.exit("no item has registered")
    return lines[0], lines[1]


def call(bus, name, path, interface, method, args, reply_type=None):
    return bus.call_sync(name, path, interface, method, args,
                         GLib.VariantType(reply_type) if reply_type else None,
                         Gio.DBusCallFlags.NONE, TIMEOUT_MS, None)


def activate(items_file):
    name, path = first_item(items_file)
    call(session_bus(), name, path, ITEM, "Activate", GLib.Variant("(ii)", (0, 0)))


def click_menu_entry(items_file, label):
    bus = session_bus()
    name, path = first_item(items_file)
    menu_path = call(bus, name, path, "org.freedesktop.DBus.Properties", "Get",
                     GLib.Variant("(ss)", (ITEM, "Menu")), "(v)").unpack()[0]
    call(bus, name, menu_path, MENU, "AboutToShow", GLib.Variant("(i)", (0,)))
    _, layout = call(bus, name, menu_path, MENU, "GetLayout",
                     GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))").unpack()
    entries = []
    for child in layout[2]:
        entry_id, props, _ = child
        if props.get("visible", True) and props.get("type") != "separator":
            entries.append((props.get("label", ""), entry_id))
    for text, _ in entries:
        print(text)
    target = [entry_id for text, entry_id in entries if text.replace("&", "") == label]
    if not target:
        sys.exit(f"the menu has no entry {label!r}")
    call(bus, name, menu_path, MENU, "Event",
         GLib.Variant("(isvu)", (target[0], "clicked", GLib.Variant("i", 0), 0)))


def main(argv):
    if len(argv) == 3 and argv[1] == "watch":
        watch(argv[2])
    elif len(argv) == 3 and argv[1] == "activate":
        activate(argv[2])
    elif len(argv) == 4 and argv[1] == "menu":
        click_menu_entry(argv[2], argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
