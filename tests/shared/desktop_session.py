#!/usr/bin/python3
"""A real Wayland desktop, headless, for the tests: sway with waybar, GNOME Shell with its
indicator extension, or Plasma (KWin and plasmashell).

    desktop_session.py NAME

Starts the desktop on a bus and runtime folder of its own and waits until its tray host is
registered at the StatusNotifierWatcher. Then prints one "env KEY=VALUE" line per variable a
client of the session needs, "run-as COMMAND" (what clients start through, maybe nothing),
"ready N" (N: milliseconds it took), and reads commands, one a line,
answering "ok" or "error REASON":

    click X Y BUTTON [N]  press and release (BUTTON: left or right) at X, Y (screen pixels),
                          N times in a row (2: a double click)
    screenshot PATH       a PNG of the whole screen
    find PATH WORD...     screenshots until tesseract reads all the words on one (30 s at
                          most); answers "ok X Y", the centre of the first

At the end of its input it ends everything it started. A desktop that cannot be started
prints "skip REASON" and exits.
"""
import contextlib
import glob
import itertools
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import dbus

WIDTH, HEIGHT = 1280, 800
STARTUP_S = 60
NOBODY = ["/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
WATCHER = "org.kde.StatusNotifierWatcher"
BUS_CONF = """<busconfig><type>{kind}</type><listen>unix:path={path}</listen>
<auth>EXTERNAL</auth><policy context="default"><allow user="*"/>
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
</policy></busconfig>"""


class Skip(Exception):
    pass


def need(*programs):
    if missing := [p for p in programs if not (shutil.which(p) or os.path.exists(p))]:
        raise Skip(", ".join(missing) + " not installed")


class Session:
    def __init__(self, name):
        self.name = name
        self.runtime = tempfile.mkdtemp(prefix="zel-%s-" % name)
        self.run_as = NOBODY if name == "sway" else []
        self.children = []
        self.env = dict(os.environ)
        for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(key, None)
        home = self.path("home")
        self.env.update(XDG_RUNTIME_DIR=self.runtime, HOME=home, XDG_SESSION_TYPE="wayland",
                        XDG_CONFIG_HOME=home + "/config", XDG_DATA_HOME=home + "/data",
                        XDG_CACHE_HOME=home + "/cache")
        os.makedirs(home + "/config")
        self.wayland = "wayland-zel-%d" % os.getpid()

    def path(self, name):
        return os.path.join(self.runtime, name)

    def spawn(self, args, env=None):
        self.children.append(subprocess.Popen(
            self.run_as + args, env=env or self.env, stderr=subprocess.STDOUT,
            stdout=open(self.path(os.path.basename(args[0]) + ".log"), "ab"),
            stdin=subprocess.DEVNULL, start_new_session=True))
        return self.children[-1]

    def start_bus(self, kind, variable):
        conf = self.path(kind + "-bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONF.format(kind=kind, path=self.path(kind + "-bus")))
        if self.run_as:
            subprocess.run(["chown", "-R", "65534:65534", self.runtime], check=True)
        self.spawn(["dbus-daemon", "--nofork", "--config-file=" + conf])
        self.env[variable] = "unix:path=" + self.path(kind + "-bus")
        self.wait(lambda: socket.socket(socket.AF_UNIX).connect_ex(self.path(kind + "-bus")) == 0,
                  10, kind + " bus")

    def wait(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            for child in (child for child in self.children if child.poll() is not None):
                program = os.path.basename(child.args[len(self.run_as)])
                with open(self.path(program + ".log"), errors="replace") as log:
                    raise Skip("%s ended (%s) before %s: %s" % (
                        program, child.returncode, what, log.read()[-300:]))
            time.sleep(0.1)
        raise Skip("no %s within %d s" % (what, seconds))

    def host_registered(self):
        with contextlib.suppress(dbus.DBusException):
            return self.bus.get_object(WATCHER, "/StatusNotifierWatcher").Get(
                WATCHER, "IsStatusNotifierHostRegistered",
                dbus_interface="org.freedesktop.DBus.Properties")

    @staticmethod
    def x_display(pid):
        # Whichever of the compositor's sockets is an X server's: XWayland, started lazily.
        out = subprocess.run(["ss", "-xlp"], capture_output=True, text=True).stdout
        found = re.search(r" /tmp/\.X11-unix/X(\d+) .*pid=%d," % pid, out)
        return found and ":" + found.group(1)

    def start(self):
        self.start_bus("session", "DBUS_SESSION_BUS_ADDRESS")
        self.bus = dbus.bus.BusConnection(self.env["DBUS_SESSION_BUS_ADDRESS"])
        getattr(self, "start_" + self.name)()
        self.wait(self.host_registered, STARTUP_S, "tray host at the StatusNotifierWatcher")
        self.env["WAYLAND_DISPLAY"] = self.wayland
        if display := self.x_display(self.compositor.pid):
            self.env["DISPLAY"] = display
        # Mutter's XWayland asks for the cookie it keeps in the runtime folder.
        for cookie in glob.glob(self.path(".mutter-Xwaylandauth*")):
            self.env["XAUTHORITY"] = cookie

    # sway with waybar, as an unprivileged user: sway refuses root.
    def start_sway(self):
        need("sway", "waybar", "grim", "setpriv")
        config = self.env["XDG_CONFIG_HOME"]
        os.makedirs(config + "/waybar")
        with open(config + "/sway.conf", "w") as f:
            f.write("output HEADLESS-1 resolution %dx%d\nxwayland enable\n"
                    "bar {\n swaybar_command waybar\n}\n" % (WIDTH, HEIGHT))
        with open(config + "/waybar/config", "w") as f:
            f.write('{"layer":"top","position":"top","height":30,'
                    '"modules-left":["sway/workspaces"],"modules-right":["tray"],'
                    '"tray":{"icon-size":20,"spacing":8}}')
        env = dict(self.env, WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                   WLR_RENDERER="pixman", WAYLAND_DISPLAY=self.wayland)
        # sway names its socket itself; a link gives it the name this session uses.
        self.compositor = self.spawn(["sway", "-c", config + "/sway.conf"], env)
        self.wait(lambda: os.path.exists(self.path("wayland-1")), STARTUP_S, "sway's display")
        self.env["SWAYSOCK"] = self.path("sway-ipc.65534.%d.sock" % self.compositor.pid)
        os.symlink("wayland-1", self.path(self.wayland))
        self.pointer = WaylandPointer(self.path(self.wayland), "zwlr_virtual_pointer_manager_v1", 1)

    def start_gnome(self):
        need("gnome-shell", "/usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com")
        # The shell looks for logind on the system bus and stops without one.
        self.start_bus("system", "DBUS_SYSTEM_BUS_ADDRESS")
        keyfile = self.env["XDG_CONFIG_HOME"] + "/glib-2.0/settings/keyfile"
        os.makedirs(os.path.dirname(keyfile))
        with open(keyfile, "w") as f:
            f.write("[org/gnome/shell]\nenabled-extensions=['ubuntu-appindicators@ubuntu.com']\n"
                    "welcome-dialog-last-shown-version='999'\n")
        self.env.update(GSETTINGS_BACKEND="keyfile", XDG_CURRENT_DESKTOP="GNOME")
        self.compositor = self.spawn(
            ["gnome-shell", "--headless", "--wayland", "--virtual-monitor",
             "%dx%d" % (WIDTH, HEIGHT), "--wayland-display", self.wayland])
        self.wait(self.host_registered, STARTUP_S, "tray host at the StatusNotifierWatcher")
        # The pointer of a remote-desktop session; it lives as long as this connection.
        proxy = self.bus.get_object("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop")
        path = proxy.CreateSession(dbus_interface="org.gnome.Mutter.RemoteDesktop")
        self.remote = dbus.Interface(self.bus.get_object("org.gnome.Mutter.RemoteDesktop", path),
                                     "org.gnome.Mutter.RemoteDesktop.Session")
        self.remote.Start()
        # The shell opens its overview a while after it has started; left before it has
        # opened, it opens later, over whatever the tests look at.
        shell = dbus.Interface(self.bus.get_object("org.gnome.Shell", "/org/gnome/Shell"),
                               "org.freedesktop.DBus.Properties")
        self.wait(lambda: shell.Get("org.gnome.Shell", "OverviewActive"), 20, "the overview")
        shell.Set("org.gnome.Shell", "OverviewActive", False)

    def start_plasma(self):
        need("kwin_wayland", "plasmashell", "kded5")
        # Its file capability is refused in a container; a plain copy runs.
        kwin = self.path("kwin_wayland")
        shutil.copy("/usr/bin/kwin_wayland", kwin)
        self.env.update(XDG_CURRENT_DESKTOP="KDE", KDE_FULL_SESSION="true",
                        KDE_SESSION_VERSION="5")
        env = dict(self.env, KWIN_WAYLAND_NO_PERMISSION_CHECKS="1",
                   KWIN_SCREENSHOT_NO_PERMISSION_CHECKS="1", QT_QPA_PLATFORM="wayland")
        self.compositor = self.spawn(
            [kwin, "--virtual", "--width", str(WIDTH), "--height", str(HEIGHT), "--xwayland",
             "--socket", self.wayland, "--no-lockscreen"], env)
        self.wait(lambda: os.path.exists(self.path(self.wayland)), STARTUP_S, "KWin's display")
        env["WAYLAND_DISPLAY"] = self.wayland
        for program in ("/usr/lib/x86_64-linux-gnu/libexec/kactivitymanagerd", "kded5"):
            self.spawn([program], env)
        self.spawn(["plasmashell", "--no-respawn"], env)
        self.pointer = WaylandPointer(self.path(self.wayland), "org_kde_kwin_fake_input", 4)

    # Input, each desktop its own way.
    def click(self, x, y, button, count):
        code = {"left": 272, "right": 273}[button]
        if self.name == "gnome":
            # Home is the bottom right corner, where nothing answers a passing pointer (over
            # the top bar, an open menu hands over to the button under the pointer).
            self.remote.NotifyPointerMotionRelative(10 * WIDTH, 10 * HEIGHT)
            self.remote.NotifyPointerMotionRelative(float(x - WIDTH + 1), float(y - HEIGHT + 1))
            # The presses of a double click follow each other with nothing in between: a
            # busy machine must not stretch them beyond the double-click time.
            for _ in range(count):
                self.remote.NotifyPointerButton(code, True)
                self.remote.NotifyPointerButton(code, False)
        else:
            self.pointer.click(x, y, code, count)

    def find(self, path, words):
        found, deadline = {}, time.monotonic() + 30
        while not all(word in found for word in words):
            if time.monotonic() > deadline:
                raise RuntimeError("tesseract reads only " + " ".join(found))
            self.screenshot(path)
            found = {}
            # Small text reads better doubled, and dimmed items once made black on white.
            for colours in (["-threshold", "75%"], ["-negate", "-threshold", "75%"]):
                subprocess.run(["convert", path, "-resize", "200%", "-colorspace", "Gray"]
                               + colours + [path + ".ocr.png"], check=True)
                tsv = subprocess.run(["tesseract", path + ".ocr.png", "-", "tsv"],
                                     capture_output=True, text=True).stdout
                for f in (line.split("\t") for line in tsv.splitlines()):
                    if len(f) == 12 and f[11].strip() in words and f[0] != "level":
                        x, y, w, h = map(int, f[6:10])
                        found.setdefault(f[11].strip(), ((x + w // 2) // 2, (y + h // 2) // 2))
        return found[words[0]]

    def screenshot(self, path):
        if self.name == "sway":
            subprocess.run(["grim", path], env=self.env, check=True, capture_output=True)
        elif self.name == "gnome":
            # The shell answers only the owner of this name.
            self.bus.request_name("org.gnome.Screenshot")
            shell = self.bus.get_object("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot")
            ok, _ = shell.Screenshot(False, False, path,
                                     dbus_interface="org.gnome.Shell.Screenshot")
            if not ok:
                raise RuntimeError("the shell took no screenshot")
        else:
            self.kwin_screenshot(path)

    def kwin_screenshot(self, path):
        read_end, write_end = os.pipe()
        data = []
        reader = threading.Thread(target=lambda: data.append(os.fdopen(read_end, "rb").read()))
        reader.start()
        kwin = self.bus.get_object("org.kde.KWin.ScreenShot2", "/org/kde/KWin/ScreenShot2")
        info = kwin.CaptureActiveScreen({}, dbus.types.UnixFd(write_end),
                                        dbus_interface="org.kde.KWin.ScreenShot2")
        os.close(write_end)
        reader.join(20)
        width, height, stride = (int(info[key]) for key in ("width", "height", "stride"))
        subprocess.run(["convert", "-size", "%dx%d" % (stride // 4, height), "-depth", "8",
                        "bgra:-", "-crop", "%dx%d+0+0" % (width, height), path],
                       input=data[0], check=True)

    def stop(self):
        for child in reversed(self.children):
            if child.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(child.pid, signal.SIGTERM)
        for child in reversed(self.children):
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
        shutil.rmtree(self.runtime, ignore_errors=True)


class WaylandPointer:
    """A pointer the compositor offers tests, spoken on the Wayland socket itself: KWin's
    org_kde_kwin_fake_input or wlroots' zwlr_virtual_pointer_v1 (the seat has a pointer
    only while that lives)."""

    def __init__(self, socket_path, interface, version):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(socket_path)
        self.ids, self.buffer = itertools.count(3), b""
        self.send(1, 1, 2)  # wl_display.get_registry as object 2
        names = {}
        for obj, opcode, body in self.roundtrip():
            if obj == 2 and opcode == 0:
                name, length = struct.unpack_from("<II", body)
                names[body[8:7 + length].decode()] = name
        if interface not in names:
            raise RuntimeError("the compositor offers no " + interface)
        self.object = next(self.ids)
        self.send(2, 0, names[interface], interface, version, self.object)
        if interface == "org_kde_kwin_fake_input":
            self.send(self.object, 0, "zel tests", "drive the desktop")  # authenticate
        else:
            self.manager, self.object = self.object, next(self.ids)
            self.send(self.manager, 0, 0, self.object)  # create_virtual_pointer

    def send(self, obj, opcode, *args):
        body = b""
        for arg in args:
            if isinstance(arg, str):
                data = arg.encode() + b"\0"
                body += struct.pack("<I", len(data)) + data + b"\0" * (-len(data) % 4)
            else:
                body += struct.pack("<i", arg)
        self.sock.sendall(struct.pack("<II", obj, ((8 + len(body)) << 16) | opcode) + body)

    def roundtrip(self):
        callback = next(self.ids)
        self.send(1, 0, callback)  # wl_display.sync
        events = []
        while all(event[0] != callback for event in events):
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the compositor closed the connection")
            self.buffer += chunk
            while len(self.buffer) >= 8 and len(self.buffer) >= self.buffer[6] | self.buffer[7] << 8:
                obj, word = struct.unpack_from("<II", self.buffer)
                events.append((obj, word & 0xFFFF, self.buffer[8:word >> 16]))
                self.buffer = self.buffer[word >> 16:]
        return events

    def step(self, opcode, *args):
        # A press as long as a person's: a client takes one within a frame for none.
        self.send(self.object, opcode, *args)
        if hasattr(self, "manager"):
            self.send(self.object, 4)  # frame
        self.roundtrip()
        time.sleep(0.05)

    def click(self, x, y, button, count):
        # wlroots' requests carry a time first; KWin's motion is in 24.8 fixed point.
        time_arg = [0] if hasattr(self, "manager") else []
        self.step(*([1, 0, x, y, WIDTH, HEIGHT] if time_arg else [9, x * 256, y * 256]))
        for state in (1, 0) * count:
            self.step(2, *time_arg, button, state)


def main():
    session = Session(sys.argv[1])
    started = time.monotonic()
    try:
        session.start()
    except (Skip, dbus.DBusException, OSError, subprocess.CalledProcessError) as error:
        session.stop()
        print("skip %s: %s" % (sys.argv[1], error), flush=True)
        return
    for key, value in session.env.items():
        if os.environ.get(key) != value:
            print("env %s=%s" % (key, value))
    print("run-as " + " ".join(session.run_as))
    print("ready %d" % ((time.monotonic() - started) * 1000), flush=True)
    try:
        for line in sys.stdin:
            words = line.split()
            try:
                answer = "ok"
                if words[0] == "click":
                    session.click(int(words[1]), int(words[2]), words[3],
                                  int(words[4]) if len(words) > 4 else 1)
                elif words[0] == "screenshot":
                    session.screenshot(words[1])
                elif words[0] == "find":
                    answer += " %d %d" % session.find(words[1], words[2:])
                print(answer, flush=True)
            except Exception as error:  # The test reads why and goes on.
                print("error %s" % error, flush=True)
    finally:
        session.stop()


if __name__ == "__main__":
    main()
