"""A stand-in for Mutter's display configuration on the session bus, for
cases real headless Mutter cannot show (its virtual monitors have one mode
each): it serves a scripted state and checks each ApplyMonitorsConfig as
Mutter does (serial, mode, scale, overlap, adjacency, origin), logging
every call and its answer as a JSON line.

    scripted_display_config.py SCRIPT.json LOG.json

SCRIPT.json: {"state": GetCurrentState's value, "quit_at_apply": N}, where
the service exits at the Nth ApplyMonitorsConfig (0: never)."""

import json
import os
import sys

from gi.repository import Gio, GLib

NAME = "org.gnome.Mutter.DisplayConfig"
PATH = "/org/gnome/Mutter/DisplayConfig"
INTERFACE = """
<node>
  <interface name="org.gnome.Mutter.DisplayConfig">
    <method name="GetCurrentState">
      <arg name="serial" direction="out" type="u"/>
      <arg name="monitors" direction="out" type="a((ssss)a(siiddada{sv})a{sv})"/>
      <arg name="logical_monitors" direction="out" type="a(iiduba(ssss)a{sv})"/>
      <arg name="properties" direction="out" type="a{sv}"/>
    </method>
    <method name="ApplyMonitorsConfig">
      <arg name="serial" direction="in" type="u"/>
      <arg name="method" direction="in" type="u"/>
      <arg name="logical_monitors" direction="in" type="a(iiduba(ssa{sv}))"/>
      <arg name="properties" direction="in" type="a{sv}"/>
    </method>
  </interface>
</node>
"""
LOGICAL_LAYOUT = 1


def variants(properties, types):
    return {key: GLib.Variant(types[key], value) for key, value in properties.items()
            if key in types}


def state_variant(state):
    serial, monitors, logical, properties = state
    monitors = [(tuple(ident), [(m[0], m[1], m[2], m[3], m[4], m[5],
                                variants(m[6], {"is-current": "b", "is-preferred": "b"}))
                               for m in modes], {})
                for ident, modes, _ in monitors]
    logical = [(x, y, scale, transform, primary, [tuple(s) for s in ids], {})
               for x, y, scale, transform, primary, ids, _ in logical]
    return GLib.Variant("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})",
                        (serial, monitors, logical, variants(properties, {"layout-mode": "u"})))


def check(state, serial, logical_monitors):
    """None when Mutter would take the configuration, else its complaint."""
    current_serial, monitors, _, properties = state
    if serial != current_serial:
        return "The requested configuration is based on stale information"
    layout = properties.get("layout-mode", LOGICAL_LAYOUT)
    modes = {ident[0]: {m[0]: m for m in monitor_modes} for ident, monitor_modes, _ in monitors}
    rects = []
    for x, y, scale, transform, _, ids in logical_monitors:
        for connector, mode_id, _ in ids:
            mode = modes.get(connector, {}).get(mode_id)
            if mode is None:
                return "Invalid mode %s for monitor %s" % (mode_id, connector)
            if not any(abs(scale - s) < 1e-6 for s in mode[5]):
                return "Scale %g not valid for resolution %dx%d" % (scale, mode[1], mode[2])
            width, height = (mode[2], mode[1]) if transform % 2 else (mode[1], mode[2])
            if layout == LOGICAL_LAYOUT:
                width, height = round(width / scale), round(height / scale)
        rects.append((x, y, x + width, y + height))
    if sum(1 for lm in logical_monitors if lm[4]) != 1:
        return "Config needs exactly one primary logical monitor"
    if min(r[0] for r in rects) != 0 or min(r[1] for r in rects) != 0:
        return "Logical monitors positions are offset"
    for i, a in enumerate(rects):
        for b in rects[i + 1:]:
            if a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]:
                return "Logical monitors overlap"
    for i, a in enumerate(rects):
        touching = any(
            (a[0] == b[2] or a[2] == b[0]) and a[1] < b[3] and b[1] < a[3]
            or (a[1] == b[3] or a[3] == b[1]) and a[0] < b[2] and b[0] < a[2]
            for j, b in enumerate(rects) if j != i)
        if len(rects) > 1 and not touching:
            return "Logical monitors not adjacent"
    return None


def main():
    with open(sys.argv[1]) as f:
        script = json.load(f)
    state, quit_at_apply = script["state"], script.get("quit_at_apply", 0)
    calls = []
    log = open(sys.argv[2], "a")

    def on_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "GetCurrentState":
            invocation.return_value(state_variant(state))
            return
        serial, how, logical_monitors, _ = parameters.unpack()
        calls.append(serial)
        if len(calls) == quit_at_apply:
            # Gone with the call unanswered, as when the compositor quits.
            log.write(json.dumps({"answer": "quit"}) + "\n")
            log.flush()
            os._exit(0)
        complaint = check(state, serial, logical_monitors)
        log.write(json.dumps({"serial": serial, "method": how, "logical": logical_monitors,
                              "answer": complaint or "ok"}) + "\n")
        log.flush()
        if complaint:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.InvalidArgs", complaint)
        else:
            invocation.return_value(None)

    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    bus.register_object(PATH, node.interfaces[0], on_call, None, None)
    Gio.bus_own_name_on_connection(bus, NAME, Gio.BusNameOwnerFlags.NONE, None, None)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
