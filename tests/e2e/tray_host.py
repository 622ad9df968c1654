#!/usr/bin/python3
"""A scripted desktop host for the Linux tray.

Starts a private session bus, runs the packed tray application (trayapp.Desk)
on it, becomes the status notifier watcher only after the application has
shown its icons, and then plays the desktop: reads the items' properties and
icon pixmaps, the exported menu, clicks the icons and picks menu entries, and
checks what the application's callback prints. Prints one "key value" line
per observation; the test compares them.

usage: tray_host.py <packed executable> <icon file>
"""
import asyncio
import os
import struct
import sys

from dbus_next import Message, MessageType, Variant
from dbus_next.aio import MessageBus
from dbus_next.service import PropertyAccess, ServiceInterface, dbus_property, method

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPS = "org.freedesktop.DBus.Properties"


def say(key, value):
    print(f"{key} {value}", flush=True)


class Watcher(ServiceInterface):
    def __init__(self):
        super().__init__(WATCHER)
        self.items = []
        self.changed = asyncio.Event()

    @method()
    def RegisterStatusNotifierItem(self, service: "s"):
        self.items.append(service)
        self.changed.set()

    @method()
    def RegisterStatusNotifierHost(self, service: "s"):
        pass

    @dbus_property(access=PropertyAccess.READ)
    def RegisteredStatusNotifierItems(self) -> "as":
        return self.items

    @dbus_property(access=PropertyAccess.READ)
    def IsStatusNotifierHostRegistered(self) -> "b":
        return True

    @dbus_property(access=PropertyAccess.READ)
    def ProtocolVersion(self) -> "i":
        return 0


def icon_frames(path):
    """The 32-bit bitmap images of an .ico file, width -> ARGB rows, top
    first (PNG images left out, as the launcher leaves them)."""
    data = open(path, "rb").read()
    _, _, count = struct.unpack_from("<HHH", data, 0)
    frames = {}
    for i in range(count):
        w, h, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if data[offset:offset + 4] == b"\x89PNG":
            continue
        header = struct.unpack_from("<I", data, offset)[0]
        pixels = data[offset + header:]
        out = bytearray()
        for y in range(h - 1, -1, -1):
            for x in range(w):
                b, g, r, a = pixels[(y * w + x) * 4:(y * w + x) * 4 + 4]
                out += bytes((a, r, g, b))
        frames[w] = bytes(out)
    return frames


def scaled(argb, w, factor):
    """`argb` (w x w) with each pixel repeated factor x factor times."""
    out = bytearray()
    for y in range(w * factor):
        for x in range(w * factor):
            src = ((y // factor) * w + x // factor) * 4
            out += argb[src:src + 4]
    return bytes(out)


class App:
    def __init__(self, proc):
        self.proc = proc
        self.lines = []

    async def expect(self, wanted, timeout=10):
        """Reads lines until `wanted` arrives; returns the lines read before it."""
        before = []
        while True:
            line = await asyncio.wait_for(self.proc.stdout.readline(), timeout)
            if not line:
                raise RuntimeError(f"the application ended before {wanted!r}; read {before}")
            text = line.decode().rstrip("\n")
            self.lines.append(text)
            if text == wanted or (wanted.endswith(" ") and text.startswith(wanted)):
                return before, text
            before.append(text)

    async def send(self, command):
        self.proc.stdin.write((command + "\n").encode())
        await self.proc.stdin.drain()
        return (await self.expect("did " + command))[0]


async def call(bus, dest, path, iface, member, signature="", body=()):
    reply = await bus.call(Message(destination=dest, path=path, interface=iface, member=member,
                                   signature=signature, body=list(body)))
    if reply.message_type == MessageType.ERROR:
        raise RuntimeError(f"{member}: {reply.error_name} {reply.body}")
    return reply.body


def render(node):
    """A layout node as text: labels, '-' for separators, children in []."""
    _, props, children = node
    if props.get("type", Variant("s", "")).value == "separator":
        text = "-"
    else:
        text = props["label"].value if "label" in props else ""
    if children:
        text += "[" + ";".join(render(c.value) for c in children) + "]"
    return text


def ids_by_label(node, found):
    item_id, props, children = node
    if "label" in props:
        found[props["label"].value] = item_id
    for c in children:
        ids_by_label(c.value, found)
    return found


async def wait_for(predicate, timeout=5):
    end = asyncio.get_running_loop().time() + timeout
    while not predicate():
        if asyncio.get_running_loop().time() > end:
            return False
        await asyncio.sleep(0.02)
    return True


async def main(exe, icon_path):
    daemon = await asyncio.create_subprocess_exec(
        "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
        stdout=asyncio.subprocess.PIPE)
    address = (await daemon.stdout.readline()).decode().strip()
    app_proc = None
    try:
        bus = await MessageBus(bus_address=address).connect()
        signals = []
        bus.add_message_handler(lambda m: signals.append(m) if m.message_type == MessageType.SIGNAL else None)
        await call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "AddMatch", "s",
                   ["type='signal'"])

        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, HUX_DEBUG="1")
        env.pop("XDG_RUNTIME_DIR", None)
        app_proc = await asyncio.create_subprocess_exec(exe, stdin=asyncio.subprocess.PIPE,
                                                        stdout=asyncio.subprocess.PIPE, env=env)
        app = App(app_proc)
        _, shown = await app.expect("shown ")
        say("shown_ms_without_watcher", shown.split()[1])

        # The watcher appears after the icons were shown: both register.
        watcher = Watcher()
        bus.export("/StatusNotifierWatcher", watcher)
        await bus.request_name(WATCHER)
        await wait_for(lambda: len(watcher.items) >= 2)
        say("late_registrations", len(watcher.items))
        names = sorted(watcher.items, key=lambda n: int(n.rsplit("-", 1)[1]))
        first, second = names[0], names[1]
        say("item_names_differ", int(first != second))

        props = (await call(bus, first, "/StatusNotifierItem", PROPS, "GetAll", "s", [ITEM]))[0]
        say("title", props["Title"].value)
        say("tooltip", props["ToolTip"].value[2])
        say("status", props["Status"].value)
        say("category", props["Category"].value)
        say("item_is_menu", int(props["ItemIsMenu"].value))
        pixmaps = props["IconPixmap"].value
        say("pixmap_sizes", ",".join(f"{w}x{h}" for w, h, _ in pixmaps))
        # Each pixmap is the file's image of its size, else a whole-multiple
        # copy of its largest one.
        frames = icon_frames(icon_path)
        largest = max(frames)
        ok = bool(pixmaps)
        for w, h, argb in pixmaps:
            if w in frames:
                expected = frames[w]
            elif w % largest == 0:
                expected = scaled(frames[largest], largest, w // largest)
            else:
                expected = None
            ok = ok and w == h and bytes(argb) == expected
        say("pixels_match", int(ok))
        # Hosts built on GDBus proxies call the unique name behind an item's
        # name: each icon must answer there as itself.
        owner = (await call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "GetNameOwner", "s", [second]))[0]
        second_title = (await call(bus, owner, "/StatusNotifierItem", PROPS, "Get", "ss", [ITEM, "Title"]))[0]
        say("second_title", second_title.value)
        menu_path = props["Menu"].value
        menu_version = (await call(bus, first, menu_path, PROPS, "Get", "ss", [MENU, "Version"]))[0]
        say("menu_version", menu_version.value)

        # Clicks: a press and a release each, as the Windows shell reports them.
        await call(bus, first, "/StatusNotifierItem", ITEM, "Activate", "ii", [10, 10])
        await app.expect("click first 514")
        await call(bus, owner, "/StatusNotifierItem", ITEM, "SecondaryActivate", "ii", [10, 10])
        await app.expect("click second 520")

        # Opening the menu is a right click; the application pops its menu up.
        empty = (await call(bus, first, menu_path, MENU, "GetLayout", "iias", [0, -1, []]))[1]
        say("layout_before", render(empty) or "empty")
        need_update = (await call(bus, first, menu_path, MENU, "AboutToShow", "i", [0]))[0]
        say("about_to_show_update", int(need_update))
        revision, layout = await call(bus, first, menu_path, MENU, "GetLayout", "iias", [0, -1, []])
        say("layout", render(layout))
        ids = ids_by_label(layout, {})
        group = (await call(bus, first, menu_path, MENU, "GetGroupProperties", "aias", [[ids["_Open"]], ["label"]]))[0]
        say("group_label", group[0][1]["label"].value)
        for label in ("_Open", "Inner", "Big__id"):
            await call(bus, first, menu_path, MENU, "Event", "isvu", [ids[label], "clicked", Variant("s", ""), 0])
        before = await app.send("ping")
        say("menu_lines", ",".join(l for l in before if l.startswith("command")))
        await call(bus, first, "/StatusNotifierItem", ITEM, "ContextMenu", "ii", [1, 1])
        await app.expect("click first 517")

        # Changes show at once.
        signals.clear()
        await app.send("change new tip")
        # The three come one after another; wait for all, or the time-out.
        await wait_for(lambda: {"NewIcon", "NewTitle", "NewToolTip"}
                       <= {s.member for s in signals if s.interface == ITEM})
        say("change_signals", ",".join(sorted({s.member for s in signals if s.interface == ITEM})))
        title = (await call(bus, first, "/StatusNotifierItem", PROPS, "Get", "ss", [ITEM, "Title"]))[0]
        say("changed_title", title.value)
        signals.clear()
        await app.send("grow menu")
        await wait_for(lambda: any(s.member == "LayoutUpdated" and s.path == menu_path for s in signals))
        updated = [s for s in signals if s.member == "LayoutUpdated" and s.path == menu_path]
        say("layout_updated", int(bool(updated) and updated[0].body[0] > revision))
        layout = (await call(bus, first, menu_path, MENU, "GetLayout", "iias", [0, 1, ["label"]]))[1]
        say("grown_layout", render(layout))

        # A new watcher gets the icons again.
        count = len(watcher.items)
        await bus.release_name(WATCHER)
        await asyncio.sleep(0.1)
        await bus.request_name(WATCHER)
        await wait_for(lambda: len(watcher.items) >= count + 2)
        say("reregistrations", len(watcher.items) - count)

        # Hiding drops the item's bus name, and so does the end of the program.
        def gone(name):
            return lambda: any(s.member == "NameOwnerChanged" and s.body[0] == name and s.body[2] == ""
                               for s in signals)
        await app.send("hide second")
        say("hidden_gone", int(await wait_for(gone(second))))
        await app.send("show second")
        await wait_for(lambda: len(watcher.items) >= count + 3)
        say("reshown_registered", int(len(watcher.items) >= count + 3))
        # Hidden and shown again at once, ten times: the item keeps its name
        # (the showing may reach the bus before the hidden icon's connection
        # has gone).
        for _ in range(10):
            await app.send("hide second")
            await app.send("show second")
        owned = [False]

        async def poll_owner():
            end = asyncio.get_running_loop().time() + 5
            while not owned[0] and asyncio.get_running_loop().time() < end:
                owned[0] = (await call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                       "NameHasOwner", "s", [second]))[0]
                await asyncio.sleep(0.05)
        await poll_owner()
        say("quick_reshows_owned", int(owned[0]))
        app_proc.stdin.write(b"quit\n")
        await app_proc.stdin.drain()
        await app.expect("done")
        say("exit", await asyncio.wait_for(app_proc.wait(), 20))
        say("quit_gone", int(await wait_for(gone(first))))
        say("host", "finished")
        bus.disconnect()
        await bus.wait_for_disconnect()
    finally:
        if app_proc and app_proc.returncode is None:
            app_proc.kill()
            await app_proc.wait()
        daemon.terminate()
        await daemon.wait()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2]))
