#!/usr/bin/env python3
"""A small StatusNotifierWatcher and host for tests, independent of ZelKit.

It owns org.kde.StatusNotifierWatcher on the session bus, accepts item registrations and
is driven by one command per line on standard input. Everything it sees goes to standard
output, one line per event:

  ready                              the watcher name is owned
  registered <service> <path>        an item registered
  unregistered <service>             a registered item's name went away
  signal <member> <sender>           an item emitted a signal
  props <json>                       answer to "props"
  introspect <json>                  answer to "introspect"
  reply <method> ok <ms>             a call returned (time from call to reply)
  reply <method> error <name>        a call failed

Options: --no-host (no host registered), --refuse (the watcher refuses items), --silent
(the watcher never answers a call).

Commands: props | introspect | call <Method> <int> <int> | call Scroll <int> <text>
| raw <Method> <signature> <args...> | host on | host off | quit
"""

import json
import sys
import time
import xml.etree.ElementTree as ET

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
PROPS = "org.freedesktop.DBus.Properties"


def say(*words):
    print(" ".join(str(w) for w in words), flush=True)


class Watcher(dbus.service.Object):
    def __init__(self, bus, host, refuse, silent):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.host = host
        self.refuse = refuse
        self.silent = silent
        self.unanswered = []  # calls a silent watcher never answers
        self.items = []  # (service, path), latest last
        self.watches = {}

    # org.kde.StatusNotifierWatcher
    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender",
                         async_callbacks=("ok", "fail"))
    def RegisterStatusNotifierItem(self, service, sender=None, ok=None, fail=None):
        if self.silent:
            self.unanswered.append(ok)
            say("unanswered RegisterStatusNotifierItem")
            return
        try:
            self.register_item(service, sender)
        except dbus.exceptions.DBusException as e:
            fail(e)
            return
        ok()

    def register_item(self, service, sender):
        if self.refuse:
            say("refused", service)
            raise dbus.exceptions.DBusException(
                "items are not welcome", name="org.kde.StatusNotifierWatcher.Error.Refused")
        if service.startswith("/"):
            owner, path = sender, service
        else:
            owner, path = service, "/StatusNotifierItem"
        if not owner or not self.bus.name_has_owner(owner):
            raise dbus.exceptions.DBusException(
                "no such service: " + owner, name="org.kde.StatusNotifierWatcher.Error.NoService")
        self.items = [i for i in self.items if i[0] != owner]
        self.items.append((owner, path))
        if owner not in self.watches:
            self.watches[owner] = self.bus.watch_name_owner(
                owner, lambda new, owner=owner: self.owner_changed(owner, new))
        say("registered", owner, path)
        self.StatusNotifierItemRegistered(owner + path)

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        self.set_host(True)

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostUnregistered(self):
        pass

    def properties(self):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(
                [s + p for s, p in self.items], signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(self.host),
            "ProtocolVersion": dbus.Int32(0),
        }

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v",
                         async_callbacks=("ok", "fail"))
    def Get(self, interface, name, ok=None, fail=None):
        if self.silent:
            self.unanswered.append(ok)
            say("unanswered Get", name)
            return
        ok(self.properties()[name])

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties()

    def owner_changed(self, owner, new):
        if new:
            return
        if any(i[0] == owner for i in self.items):
            self.items = [i for i in self.items if i[0] != owner]
            say("unregistered", owner)
            self.StatusNotifierItemUnregistered(owner)

    def set_host(self, on):
        if on == self.host:
            return
        self.host = on
        if on:
            self.StatusNotifierHostRegistered()
        else:
            self.StatusNotifierHostUnregistered()


def pixmap_summary(pixmaps):
    out = []
    for width, height, data in pixmaps:
        data = bytes(data)
        opaque = sum(1 for i in range(0, len(data), 4) if data[i] != 0)
        centre = ((height // 2) * width + width // 2) * 4
        out.append({
            "width": int(width),
            "height": int(height),
            "length_ok": len(data) == width * height * 4,
            "opaque": opaque,
            "centre": data[centre:centre + 4].hex() if len(data) >= centre + 4 else "",
        })
    return out


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32, dbus.Int64)):
        return int(value)
    if isinstance(value, dbus.ObjectPath):
        return str(value)
    if isinstance(value, dbus.String):
        return str(value)
    return None


class Driver:
    def __init__(self, bus, watcher):
        self.bus = bus
        self.watcher = watcher
        self.loop = GLib.MainLoop()
        bus.add_signal_receiver(self.item_signal, dbus_interface=ITEM,
                                member_keyword="member", sender_keyword="sender")

    def item_signal(self, *args, member=None, sender=None):
        say("signal", member, sender)

    def item(self):
        if not self.watcher.items:
            return None
        service, path = self.watcher.items[-1]
        return self.bus.get_object(service, path, introspect=False)

    def command(self, line):
        words = line.split()
        if not words:
            return
        if words[0] == "quit":
            self.loop.quit()
            return
        if words[0] == "host":
            self.watcher.set_host(words[1] == "on")
            say("host", words[1])
            return
        item = self.item()
        if item is None:
            say("error no-item")
            return
        if words[0] == "props":
            item.GetAll(ITEM, dbus_interface=PROPS, reply_handler=self.got_props,
                        error_handler=lambda e: say("props-error", e.get_dbus_name()))
        elif words[0] == "introspect":
            item.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable",
                            reply_handler=self.got_introspection,
                            error_handler=lambda e: say("introspect-error", e.get_dbus_name()))
        elif words[0] == "call":
            method = words[1]
            if method == "Scroll":
                args, signature = (dbus.Int32(int(words[2])), words[3]), "is"
            else:
                args, signature = (dbus.Int32(int(words[2])), dbus.Int32(int(words[3]))), "ii"
            self.call(item, method, signature, args)
        elif words[0] == "raw":
            method, signature = words[1], words[2]
            self.call(item, method, signature if signature != "-" else "", tuple(words[3:]))

    def call(self, item, method, signature, args):
        start = time.monotonic()
        item.get_dbus_method(method, ITEM)(
            *args, signature=signature,
            reply_handler=lambda *r: say(
                "reply", method, "ok", "%.3f" % ((time.monotonic() - start) * 1000)),
            error_handler=lambda e: say("reply", method, "error", e.get_dbus_name()))

    def got_props(self, props):
        summary = {}
        for key, value in props.items():
            if key in ("IconPixmap", "OverlayIconPixmap", "AttentionIconPixmap"):
                summary[str(key)] = pixmap_summary(value)
            elif key == "ToolTip":
                icon, pixmaps, title, text = value
                summary["ToolTip"] = {"icon": str(icon), "pixmaps": len(pixmaps),
                                      "title": str(title), "text": str(text)}
            else:
                summary[str(key)] = plain(value)
        say("props", json.dumps(summary, sort_keys=True))

    def got_introspection(self, xml):
        found = {}
        for interface in ET.fromstring(str(xml)).iter("interface"):
            if interface.get("name") != ITEM:
                continue
            for prop in interface.iter("property"):
                found["property " + prop.get("name")] = prop.get("type")
            for method in interface.iter("method"):
                found["method " + method.get("name")] = "".join(
                    a.get("type") for a in method.iter("arg") if a.get("direction") != "out")
            for signal in interface.iter("signal"):
                found["signal " + signal.get("name")] = "".join(
                    a.get("type") for a in signal.iter("arg"))
        say("introspect", json.dumps(found, sort_keys=True))

    def stdin_ready(self, source, condition):
        line = sys.stdin.readline()
        if not line:  # the test is gone
            self.loop.quit()
            return False
        self.command(line.strip())
        return True


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus, host="--no-host" not in sys.argv, refuse="--refuse" in sys.argv,
                      silent="--silent" in sys.argv)
    driver = Driver(bus, watcher)
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, driver.stdin_ready)
    say("ready")
    driver.loop.run()
    del name


if __name__ == "__main__":
    main()
