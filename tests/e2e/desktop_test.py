#!/usr/bin/env python3
"""Pomrel on a real desktop, driven as a person would drive it.

Starts a virtual display (Xvfb) with a panel, prepares a fresh simulated
machine with a card inserted and an administrator account, starts Pomrel on
it, and then works only through the pointer and the keyboard (xdotool) and
through sxs-card, as a person at the desk would: the status icon, its menu,
the administrator prompt, the alerts and the preferences window. After each
step it checks the machine (machine.plist, the registry folder, the
preference files) and keeps a screenshot.

Two panels: an XEmbed tray (trayer, no session bus), where the whole flow
runs, and a status notifier host (xfce4-panel's systray, on a private session
bus), which draws Pomrel's menu itself from its D-Bus export; there the flow
covers the clicks, the menu's states, a pull after a host-drawn menu, a
second start (which shows the running Pomrel's preferences window), and a
desktop with no status area (one alert says so; a panel started after it
docks the icon). Trayer starts just after Pomrel found no status area, so
there the icon comes late but within Pomrel's grace, and no alert may show.
And a Wayland session (sway and waybar's tray, in
wayland_session.py), where the whole flow runs through the menu the panel
draws, read and clicked over the session bus as the panel does.

On X11 the menu's enabled states are read from its rendering: a disabled item's
text is drawn in a light grey, an enabled one's in a dark colour.

Exits 0 when every step passed, 1 on the first failed check (with the step and
what was seen), and 77 when the display tools are not installed or the
compositor cannot start.
"""

import argparse
import collections
import ctypes
import glob
import os
import plistlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import types
import zlib

SKIP = 77
TOOLS = {"trayer": ("Xvfb", "trayer", "xdotool", "xwd"),
         "xfce": ("Xvfb", "xfce4-panel", "dbus-daemon", "gdbus", "xdotool", "xwd")}
MENU_ITEMS = ("Disable", "Enable", "Preferences", "Quit")  # order of MainMenu.ui
ADMIN_NAME = "operator"
ADMIN_PASSWORD = "card-keeper 7"
# How long Pomrel waits for a status area before it says that there is none.
STATUS_AREA_GRACE = 5.0


XFCE_PANEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=8;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
"""


class Failure(Exception):
    pass


class Unavailable(Exception):
    """The desktop cannot run on this machine: the run is skipped, with this reason."""


def wait_for(what, probe, timeout=10.0, step=0.05):
    """Polls `probe` until it answers something true; returns that answer."""
    deadline = time.monotonic() + timeout
    while True:
        answer = probe()
        if answer:
            return answer
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(step)


def _die_with_parent():
    # Children get SIGTERM if this script dies without its cleanup (SIGKILL
    # from a test runner's timeout), so nothing is left running.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Processes:
    """The processes this test starts; all are stopped by stop_all()."""

    def __init__(self):
        self.started = []

    def start(self, argv, **kwargs):
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                   preexec_fn=_die_with_parent, **kwargs)
        self.started.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


# --- The screen ---------------------------------------------------------------

class Shot:
    """A screenshot of the root window, from xwd's format."""

    def __init__(self, data):
        header = struct.unpack(">25I", data[:100])
        self.width, self.height = header[4], header[5]
        bits, self.stride = header[11], header[12]
        masks, little_endian = header[14:17], header[7] == 0
        if masks != (0xFF0000, 0xFF00, 0xFF) or not little_endian or bits not in (24, 32):
            raise Failure(f"unexpected screenshot pixel format {bits} bpp, masks {masks}")
        self.step = bits // 8
        self.pixels = data[header[0] + header[19] * 12:]

    def rgb(self, x, y):
        i = y * self.stride + x * self.step
        return self.pixels[i + 2], self.pixels[i + 1], self.pixels[i]

    def luma(self, x, y):
        r, g, b = self.rgb(x, y)
        return (299 * r + 587 * g + 114 * b) // 1000

    def region(self, box):
        x, y, w, h = box
        return b"".join(self.pixels[row * self.stride + x * self.step:
                                    row * self.stride + (x + w) * self.step]
                        for row in range(y, y + h))

    def save_png(self, path):
        raw = bytearray()
        for y in range(self.height):
            row = self.pixels[y * self.stride:y * self.stride + self.width * self.step]
            line = bytearray(self.width * 3)
            line[0::3], line[1::3], line[2::3] = (row[2::self.step], row[1::self.step],
                                                  row[0::self.step])
            raw += b"\0" + line

        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body +
                    struct.pack(">I", zlib.crc32(kind + body)))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                      chunk(b"IDAT", zlib.compress(bytes(raw), 6)) + chunk(b"IEND", b""))


def ink_bands(shot, box, inset=3, contrast=40):
    """Horizontal bands of rows that hold something drawn on the box's
    background: [(top, bottom, darkest luma, leftmost x, rightmost x)]."""
    x0, y0, w, h = box
    xs = range(x0 + inset, x0 + w - inset)
    ys = range(y0 + inset, y0 + h - inset)
    background = collections.Counter(shot.luma(x, y) for y in ys[::2] for x in xs[::2])
    background = background.most_common(1)[0][0]
    bands, current = [], None
    for y in ys:
        inked = [(shot.luma(x, y), x) for x in xs if abs(shot.luma(x, y) - background) > contrast]
        if inked and current is None:
            current = [y, y, 255, x0 + w, x0]
        if inked:
            current[1] = y
            current[2] = min(current[2], min(l for l, _ in inked))
            current[3] = min(current[3], inked[0][1])
            current[4] = max(current[4], inked[-1][1])
        elif current is not None:
            bands.append(tuple(current))
            current = None
    if current is not None:
        bands.append(tuple(current))
    return background, bands


class Desktop:
    def __init__(self, processes, shots_dir):
        self.processes = processes
        self.shots_dir = shots_dir
        self.count = 0
        self.env = None

    def start(self, panel, work, width=1024, height=640):
        read_end, write_end = os.pipe()
        self.processes.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                              f"{width}x{height}x24", "-nolisten", "tcp"],
                             pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        os.close(write_end)
        # Xvfb picks a free display and writes its number once it accepts clients.
        with os.fdopen(read_end) as reader:
            number = reader.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.env = dict(os.environ, DISPLAY=f":{number}")
        self.size = (width, height)
        # The panel's messages, for a failure's diagnosis.
        self.panel_log = open(os.path.join(self.shots_dir, "panel.log"), "w")
        self.panel = panel
        if panel == "trayer":
            # No session bus: the icon docks in the XEmbed tray.
            self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={work}/no-session-bus"
            self.panel_class, self.icon_class = "^trayer$", "^Pomrel$"
        else:
            self.panel_class, self.icon_class = "^xfce4-panel$", "^Wrapper-2.0$"
            self.start_xfce(work)

    def start_panel(self):
        if self.panel == "trayer":
            argv = ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                    "--height", "24"]
        else:
            argv = ["xfce4-panel", "--disable-wm-check"]
        self.panel_process = self.processes.start(argv, env=self.env, stdout=self.panel_log,
                                                  stderr=subprocess.STDOUT)
        if self.panel != "trayer":
            self.wait_for_watcher()
        wait_for("the panel", lambda: self.windows(self.panel_class), timeout=30)

    def stop_panel(self):
        self.panel_process.terminate()
        self.panel_process.wait(timeout=10)
        wait_for("the panel gone", lambda: not self.windows(self.panel_class))
        if self.panel != "trayer":
            self.wait_for_watcher(owned="(false,)")

    def start_xfce(self, work):
        """A private session bus, and a throw-away configuration for xfce4-panel: one
        panel along the bottom edge, its systray plugin at the right end."""
        home = os.path.join(work, "home")
        channels = os.path.join(home, ".config", "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(channels)
        with open(os.path.join(channels, "xfce4-panel.xml"), "w") as config:
            config.write(XFCE_PANEL)
        # The bus starts the configuration daemon with its own environment.
        self.env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"),
                        XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                        XDG_RUNTIME_DIR=os.path.join(work, "runtime"),
                        NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory")
        self.start_session_bus()

    def start_session_bus(self):
        read_end, write_end = os.pipe()
        self.processes.start(["dbus-daemon", "--session", "--nofork",
                              f"--print-address={write_end}"], env=self.env,
                             pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                             stderr=self.panel_log)
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            self.env["DBUS_SESSION_BUS_ADDRESS"] = reader.readline().strip()

    def wait_for_watcher(self, owned="(true,)"):
        wait_for(f"the status notifier watcher's name owned {owned}", lambda: self.bus(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
            "org.kde.StatusNotifierWatcher") == owned, timeout=30)

    def bus(self, destination, path, method, *args):
        """A method call on the session bus; its answer in GVariant text, or None."""
        result = subprocess.run(["gdbus", "call", "--session", "--dest", destination,
                                 "--object-path", path, "--method", method, "--", *args],
                                env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=30)
        return result.stdout.strip() if result.returncode == 0 else None

    def status_items(self):
        """The status notifier items registered with the watcher: ["bus name/path"]."""
        answer = self.bus("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                          "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierWatcher",
                          "RegisteredStatusNotifierItems") or ""
        return re.findall(r"'([^']+)'", answer)

    def item_call(self, item, method, *args):
        """A call on a status notifier item ("bus name/path"), as a host makes it."""
        name, path = item.split("/", 1)
        return self.bus(name, "/" + path, method, *args)

    def menu_path(self, item):
        answer = self.item_call(item, "org.freedesktop.DBus.Properties.Get",
                                "org.kde.StatusNotifierItem", "Menu") or ""
        menu = re.search(r"objectpath '([^']+)'", answer)
        if menu is None:
            raise Failure(f"the item exports no menu: Menu is {answer!r}")
        return menu[1]

    def exported_menu(self, item):
        """Opens the item's exported menu as a host does (AboutToShow, then GetLayout),
        without drawing it; answers its items as [(label, enabled, id)]."""
        name, menu = item.split("/", 1)[0], self.menu_path(item)
        if self.bus(name, menu, "com.canonical.dbusmenu.AboutToShow", "0") is None:
            raise Failure("the exported menu refused AboutToShow")
        layout = self.bus(name, menu, "com.canonical.dbusmenu.GetLayout", "0", "-1", "[]")
        items = []
        for ident, properties in re.findall(r"\((\d+), \{([^{}]*)\}", layout or ""):
            label = re.search(r"'label': <'([^']*)'>", properties)
            if label:
                items.append((label[1], "'enabled': <false>" not in properties, int(ident)))
        return items

    def xdotool(self, *args):
        result = subprocess.run(["xdotool", *args], env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=10)
        return result.stdout if result.returncode == 0 else None

    def windows(self, wm_class):
        """Visible windows of a WM_CLASS: {id: (x, y, width, height)}."""
        found = {}
        for wid in (self.xdotool("search", "--onlyvisible", "--class", wm_class) or "").split():
            geometry = self.geometry(wid)
            if geometry:
                found[wid] = geometry
        return found

    def geometry(self, wid):
        out = self.xdotool("getwindowgeometry", "--shell", wid)
        if out is None:
            return None
        values = dict(line.split("=", 1) for line in out.split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def name(self, wid):
        return (self.xdotool("getwindowname", wid) or "").rstrip("\n")

    def focused(self):
        return (self.xdotool("getwindowfocus") or "").strip()

    def grab(self):
        data = subprocess.run(["xwd", "-root", "-silent"], env=self.env, capture_output=True,
                              stdin=subprocess.DEVNULL, check=True, timeout=10).stdout
        return Shot(data)

    def screenshot(self, label):
        self.count += 1
        shot = self.grab()
        shot.save_png(os.path.join(self.shots_dir, f"{self.count:02d}-{label}.png"))
        return shot

    def click(self, x, y):
        self.xdotool("mousemove", str(x), str(y), "click", "1")

    def keys(self, *keys):
        self.xdotool("key", "--delay", "30", *keys)

    def type(self, text):
        self.xdotool("type", "--delay", "30", text)


# --- The simulated machine ----------------------------------------------------

class Machine:
    def __init__(self, sxs_card, root):
        self.sxs_card, self.root = sxs_card, root
        self.env = dict(os.environ, POMREL_MACHINE=root)

    def sxs(self, *args, stdin_text=None):
        result = subprocess.run([self.sxs_card, *args], env=self.env, input=stdin_text,
                                stdin=None if stdin_text is not None else subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            raise Failure(f"sxs-card {' '.join(args)} failed: {result.stderr.strip()}")

    def _plist(self, path):
        try:
            with open(path, "rb") as f:
                return plistlib.load(f)
        except (FileNotFoundError, plistlib.InvalidFileException):
            return None

    def state(self):
        return self._plist(os.path.join(self.root, "machine.plist")) or {}

    def media_disks(self):
        """BSD names of the published card media services."""
        entries = glob.glob(os.path.join(self.root, "registry", "SxS Media", "*.plist"))
        found = (self._plist(path) for path in entries)
        return [entry["Properties"].get("BSD Name") for entry in found if entry]

    def preferences(self, domain):
        users = glob.glob(os.path.join(self.root, "Users", "*", "Library", "Preferences"))
        if len(users) != 1:
            return None
        return self._plist(os.path.join(users[0], f"{domain}.plist"))

    def is_stopped(self):
        state = self.state()
        return not state.get("PluginLoaded") and not self.media_disks()

    def is_running_card(self, disk):
        state = self.state()
        return state.get("PluginLoaded") and state.get("CardInserted") and \
            self.media_disks() == [disk]


# --- The person at the desk ---------------------------------------------------

class Session:
    def __init__(self, desktop):
        self.desktop = desktop
        self.icon = self.icon_box = self.menu = self.menu_box = self.menu_windows = None

    def other_windows(self):
        return {wid: g for wid, g in self.desktop.windows("^Pomrel$").items() if wid != self.icon}

    def find_icon(self, icon_class=None, drawn=True):
        """The status icon: a small window inside the panel (Pomrel's, docked in an XEmbed
        tray; the systray's, for a status notifier item), drawn unless told. The window
        may grow as its icon arrives."""
        desktop = self.desktop

        def drawn_icon():
            panels = desktop.windows(desktop.panel_class).values()
            for wid, (x, y, w, h) in desktop.windows(icon_class or desktop.icon_class).items():
                inside = any(px <= x and x + w <= px + pw and py <= y and y + h <= py + ph
                             for px, py, pw, ph in panels)
                if inside and 8 <= w <= 64 and 8 <= h <= 64 and \
                        (not drawn or ink_bands(desktop.grab(), (x, y, w, h), inset=1)[1]):
                    return wid, (x, y, w, h)
            return None

        self.icon, self.icon_box = wait_for("the status icon in the tray, drawn", drawn_icon,
                                            timeout=30)

    def open_menu(self, label, button=1, host_drawn=False, click=None):
        """Clicks the icon (or calls `click`); answers the menu's items as
        [(enabled, x, y)], and keeps the menu window's place in menu_box. A host-drawn
        menu is a window of the host's."""
        desktop = self.desktop
        # Read again: the tray host may have moved the icon since.
        x, y, w, h = desktop.geometry(self.icon) or self.icon_box

        def menu_windows():
            if host_drawn:
                return {wid: g for wid, g in desktop.windows(desktop.icon_class).items()
                        if wid != self.icon}
            return self.other_windows()
        before = set(menu_windows())
        (click or (lambda: desktop.xdotool("mousemove", str(x + w // 2), str(y + h // 2),
                                           "click", str(button))))()
        last = []

        def drawn_menu():
            # A new window showing the menu's items; a tooltip may open beside
            # it. Settled when two screenshots in a row read the same items.
            new = [(wid, g) for wid, g in menu_windows().items() if wid not in before]
            shot = desktop.grab()
            for wid, box in new:
                background, bands = ink_bands(shot, box)
                items = [(darkest < background * 0.45, (left + right) // 2, (top + bottom) // 2)
                         for top, bottom, darkest, left, right in bands if bottom - top >= 4]
                if len(items) == len(MENU_ITEMS):
                    settled = bool(last) and items == last[-1]
                    last.append(items)
                    self.menu, self.menu_box = wid, box
                    return items if settled else None
            return None
        items = wait_for("the status menu with its items drawn", drawn_menu)
        self.menu_windows = menu_windows
        desktop.screenshot(label)
        return items

    def close_menu(self):
        """Escape closes the menu last opened."""
        self.desktop.keys("Escape")
        wait_for("the menu to close", lambda: self.menu not in self.menu_windows())

    def check_menu_inside_screen(self):
        mx, my, mw, mh = self.menu_box
        width, height = self.desktop.size
        if mx < 0 or my < 0 or mx + mw > width or my + mh > height:
            raise Failure(f"the menu at {self.menu_box} is not inside the {width}x{height} screen")

    def check_menu(self, items, enabled):
        seen = {name for name, (on, _, _) in zip(MENU_ITEMS, items) if on}
        if seen != set(enabled):
            raise Failure(f"menu shows enabled {sorted(seen)}, expected {sorted(enabled)}")

    def choose(self, items, name):
        _, _, y = items[MENU_ITEMS.index(name)]
        menu_x = items[0][1]
        self.desktop.click(menu_x, y)

    def wait_window(self, what, title, old=(), timeout=10.0):
        """A new Pomrel window with this title that holds the keyboard focus."""
        def shown():
            for wid in self.other_windows():
                if wid not in old and self.desktop.name(wid) == title and \
                        self.desktop.focused() == wid:
                    return wid
            return None
        return wait_for(what, shown, timeout=timeout)

    def wait_closed(self, what, wid):
        wait_for(what, lambda: wid not in self.other_windows())

    def copy_alert_text(self, alert):
        """A click on the message's first line focuses it; it is selected, copied and
        read back from the clipboard."""
        desktop = self.desktop
        top, bottom, _, _, right = ink_bands(desktop.grab(), self.other_windows()[alert])[1][0]
        desktop.click(right - 2, (top + bottom) // 2)
        desktop.keys("ctrl+a", "ctrl+c")
        read = "import tkinter; print(tkinter.Tk().clipboard_get())"
        return subprocess.run([sys.executable, "-c", read], env=desktop.env,
                              capture_output=True, text=True, timeout=10).stdout


def run(args, processes, work):
    bundle = os.path.dirname(os.path.dirname(os.path.realpath(args.program)))
    with open(os.path.join(bundle, "Info.plist"), "rb") as f:
        domain = plistlib.load(f)["CFBundleIdentifier"]
    with open(os.path.join(bundle, "Resources", "en.lproj", "Localizable.strings"), "rb") as f:
        texts = plistlib.load(f)

    runtime = os.path.join(work, "runtime")
    os.mkdir(runtime, 0o700)
    wayland = None
    if args.panel == "sway":
        import wayland_session as wayland  # pylint: disable=import-outside-toplevel
    desktop = (wayland.WaylandDesktop if wayland else Desktop)(processes, args.screenshots)
    desktop.start(args.panel, work)
    machine = Machine(args.sxs_card, os.path.join(work, "machine"))
    os.mkdir(machine.root)
    machine.sxs("init")
    machine.sxs("insert", "--disk", "disk4")
    machine.sxs("admin", ADMIN_NAME, stdin_text=ADMIN_PASSWORD + "\n")

    env = dict(desktop.env, POMREL_MACHINE=machine.root,
               QT_QPA_PLATFORM="wayland" if wayland else "xcb",
               XDG_RUNTIME_DIR=runtime, LANG="C.UTF-8", LC_ALL="C.UTF-8", LANGUAGE="en")
    log_path = os.path.join(args.screenshots, "pomrel.log")
    log = open(log_path, "w")

    def read_log():
        with open(log_path) as f:
            return f.read()
    r = types.SimpleNamespace(
        desktop=desktop, machine=machine, session=(wayland.WaylandSession if wayland else Session)(
            desktop), texts=texts, domain=domain, panel=args.panel,
        app_path=os.path.dirname(bundle), program=args.program, env=env, pomrel=None,
        start=lambda: processes.start([args.program], env=env, stdout=log,
                                      stderr=subprocess.STDOUT))
    try:
        if args.panel == "trayer":
            r.step = "a tray that starts after Pomrel found none gets the icon, and no alert"
            r.pomrel = r.start()
            wait_for("Pomrel to find no status area", lambda: "no system tray" in read_log())
            found_none = time.monotonic()
            desktop.start_panel()
            r.session.find_icon()
            time.sleep(max(0.0, found_none + STATUS_AREA_GRACE + 1.5 - time.monotonic()))
            if r.session.other_windows():
                raise Failure("a window opened although the tray came within the grace")
        else:
            r.step = "the status icon appears"
            if args.panel == "xfce":
                desktop.start_panel()
            r.pomrel = r.start()
            r.started = time.monotonic()
            r.session.find_icon()
        desktop.screenshot("icon")
        (status_notifier_flow if args.panel == "xfce" else full_flow)(r)
    except Failure as failure:
        try:
            desktop.screenshot("failed")
        except Exception:  # the failure itself is what matters
            pass
        raise Failure(f"step '{r.step}': {failure}") from None
    finally:
        log.close()
    return desktop.count


def full_flow(r):
    """Every command, the prompt, the alerts and the preferences window: on an XEmbed
    tray through Pomrel's own menu, on Wayland through the menu the panel draws."""
    desktop, machine, session, texts, domain = r.desktop, r.machine, r.session, r.texts, r.domain
    x11 = r.panel != "sway"
    if not x11:
        r.step = "a panel's Activate and ContextMenu open no window, nor does the start"
        session.click_as_unaware_panel()
        time.sleep(max(0.0, r.started + STATUS_AREA_GRACE + 1.5 - time.monotonic()))
        if session.other_windows():
            raise Failure(f"Pomrel opened windows although the panel was there: "
                          f"{session.other_windows()}")
        r.step = "a second start shows the running Pomrel's preferences window, focused"
        window = second_start(r, [session.icon])
        desktop.screenshot("second-start")
        desktop.keys("Escape")
        session.wait_closed("the preferences window to close", window)
    r.step = "the menu with the card present, the icon highlighted only while it is open"

    def icon():
        return desktop.grab().region(desktop.geometry(session.icon) or session.icon_box)
    plain = icon()
    items = session.open_menu("menu-card-present")
    if x11 and icon() == plain:
        raise Failure("the icon looks the same with its menu open as with it closed")
    session.check_menu(items, {"Disable", "Preferences", "Quit"})

    # Selected text goes to the primary selection, whose every copy Qt's Wayland
    # plugin leaks (seen by the sanitizers' run): there the name is deleted instead.
    clear_field = ("ctrl+a",) if x11 else ("End",) + ("BackSpace",) * 32

    r.step = "Disable asks for an administrator"
    session.choose(items, "Disable")
    prompt = session.wait_window("the administrator prompt", texts["PROMPT_Title"])
    wait_for("the icon drawn plain again once its menu closed", lambda: icon() == plain)
    desktop.screenshot("prompt")

    r.step = "a wrong password is refused and asked again"
    desktop.keys("shift+Tab", *clear_field)
    desktop.type(ADMIN_NAME)
    desktop.keys("Tab")
    desktop.type("not the password")
    desktop.keys("Return")
    retry = session.wait_window("the prompt's second attempt", texts["PROMPT_Title"],
                                old={prompt})
    if not machine.is_running_card("disk4"):
        raise Failure("the card was stopped without an accepted password")
    desktop.screenshot("prompt-retry")

    r.step = "the right password stops the card"
    desktop.keys("shift+Tab", *clear_field)
    desktop.type(ADMIN_NAME)
    desktop.keys("Tab")
    desktop.type(ADMIN_PASSWORD)
    desktop.keys("Return")
    alert = session.wait_window("the alert after the stop", texts["MSG_Title"], old={retry})
    wait_for("the plug-in unloaded and the media service gone", machine.is_stopped)
    if not machine.state().get("DiskEjected"):
        raise Failure("the disk was not ejected before the plug-in was unloaded")
    desktop.screenshot("removal-alert")
    desktop.keys("Return")
    session.wait_closed("the alert to close", alert)

    r.step = "the card is pulled and put back while stopped"
    machine.sxs("pull")
    machine.sxs("insert", "--disk", "disk4")
    if not machine.is_stopped():
        raise Failure("the media service came back while the plug-in was unloaded")
    machine.sxs("pull")
    items = session.open_menu("menu-card-stopped", button=3)
    session.check_menu(items, {"Enable", "Preferences", "Quit"})
    icon_bottom = session.icon_box[1] + session.icon_box[3]
    if x11 and session.menu_box[1] < icon_bottom:
        raise Failure(f"the right click's menu at {session.menu_box} is not below the icon "
                      f"at {session.icon_box}")

    r.step = "Enable starts the driver without asking again"
    session.choose(items, "Enable")
    wait_for("the plug-in loaded", lambda: machine.state().get("PluginLoaded"))
    time.sleep(1.5)  # Enable ends a second after the load, without the card
    if session.other_windows():
        raise Failure("a window opened on Enable although the rights were already given")

    r.step = "a card put in after that is watched: its pull is noticed"
    machine.sxs("insert", "--disk", "disk4")
    wait_for("the card's media service", lambda: machine.is_running_card("disk4"))
    machine.sxs("pull")
    alert = session.wait_window("the alert after the watched card was pulled", texts["MSG_Title"])
    desktop.keys("Return")
    session.wait_closed("the alert to close", alert)
    machine.sxs("insert", "--disk", "disk4")
    session.choose(session.open_menu("menu-card-back"), "Enable")
    wait_for("the card's media service back", lambda: machine.is_running_card("disk4"))

    r.step = "a busy card stays in, and its alert names the program holding it"
    machine.sxs("busy", "on", "clip-editor")
    session.choose(session.open_menu("menu-card-busy"), "Disable")
    alert = session.wait_window("the alert for the busy card", texts["MSG_Title"])
    desktop.screenshot("busy-alert")
    check_alert_text(r, alert)
    desktop.keys("Return")
    session.wait_closed("the alert to close", alert)

    r.step = "Preferences opens the window"
    items = session.open_menu("menu-card-started")
    session.check_menu(items, {"Disable", "Preferences", "Quit"})
    session.choose(items, "Preferences")
    window = session.wait_window("the preferences window", texts["WINDOW_Title"])
    shot = desktop.screenshot("preferences")

    r.step = "ticking the launch-at-login box and confirming"
    box = session.other_windows()[window]
    _, bands = ink_bands(shot, box)
    top, bottom, _, left, right = bands[0]  # the checkbox's row comes first
    row = (box[0], top, box[2], bottom - top + 1)

    before = desktop.grab().region(row)
    if x11:
        desktop.click((left + right) // 2, (top + bottom) // 2)
    else:  # no pointer: the box holds the keyboard focus as the window opens
        desktop.keys("space")
    wait_for("the checkbox to change", lambda: desktop.grab().region(row) != before)

    desktop.screenshot("preferences-ticked")
    if machine.preferences(domain) is not None:
        raise Failure("the setting was written before it was confirmed")
    desktop.keys("Return")
    session.wait_closed("the preferences window to close", window)

    def saved():
        prefs = machine.preferences(domain) or {}
        logins = machine.preferences("loginwindow") or {}
        entries = logins.get("AutoLaunchedApplicationDictionary", [])
        return prefs.get("AddLoginItem") is True and \
            [e for e in entries if e.get("Path") == r.app_path and e.get("Hide") is False]
    wait_for("AddLoginItem = YES and the login window's entry for Pomrel.app", saved)
    entries = machine.preferences("loginwindow")["AutoLaunchedApplicationDictionary"]
    if len(entries) != 1:
        raise Failure(f"the login window lists {len(entries)} entries, expected one")
    desktop.screenshot("preferences-saved")

    r.step = "pulling the card without stopping it first"
    machine.sxs("pull")
    alert = session.wait_window("the alert after the card was pulled", texts["MSG_Title"])
    wait_for("the plug-in unloaded", machine.is_stopped)
    desktop.screenshot("pulled-alert")
    desktop.keys("Return")
    session.wait_closed("the alert to close", alert)

    r.step = "Quit ends Pomrel"
    items = session.open_menu("menu-before-quit")
    session.check_menu(items, {"Enable", "Preferences", "Quit"})
    quit_from(r, items)
    if not x11:
        quit_from(r, no_status_area(r, session.find_icon))


def quit_from(r, items):
    r.step = "Quit ends Pomrel"
    r.session.choose(items, "Quit")
    wait_for("Pomrel to exit", lambda: r.pomrel.poll() is not None)
    if r.pomrel.returncode != 0:
        raise Failure(f"Pomrel exited with status {r.pomrel.returncode}")


def check_alert_text(r, alert, *parts):
    """The alert's text, copied as a person would copy it, holds the busy card's alert
    naming the program holding it, or `parts`."""
    text = r.session.copy_alert_text(alert)
    if text is not None and not all(part in text for part in parts or (r.texts["MSG_EjectFail"],
                                                   "\nclip-editor (process ")):
        raise Failure(f"the alert reads {text!r}")


def second_start(r, items, shows=True):
    """Starts Pomrel again: it exits, the first runs on and (when it `shows`) opens
    its preferences window, focused; answers that window."""
    try:
        second = subprocess.run([r.program], env=r.env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=20)
    except subprocess.TimeoutExpired:
        raise Failure("the second start kept running") from None
    if second.returncode != 0 or "already running" not in second.stderr:
        raise Failure(f"the second start exited {second.returncode}: {second.stderr!r}")
    if r.pomrel.poll() is not None or r.desktop.status_items() != items:
        raise Failure(f"after the second start the watcher lists {r.desktop.status_items()}")
    if not shows:
        return None
    return r.session.wait_window("the running Pomrel's preferences window",
                                 r.texts["WINDOW_Title"])


def status_notifier_flow(r):
    """Both clicks (the host draws the menu for each), the menu's states before and after
    a pull, a second start, and no status area."""
    desktop, machine, session, texts = r.desktop, r.machine, r.session, r.texts
    r.step = "the item registers with the watcher"
    items = wait_for("Pomrel's item registered", desktop.status_items)
    if len(items) != 1:
        raise Failure(f"the watcher lists {items}, expected one item")

    r.step = "a second start shows the running Pomrel's preferences window"
    window = second_start(r, items)
    box = session.other_windows()[window]
    top, bottom, _, left, _ = ink_bands(desktop.screenshot("second-start"), box)[1][0]
    tick = (left, top, bottom - top + 1, bottom - top + 1)  # the checkbox's own square
    unticked = desktop.grab().region(tick)
    desktop.click(left + (bottom - top) // 2, (top + bottom) // 2)
    desktop.xdotool("mousemove", "0", "0")
    wait_for("the checkbox ticked", lambda: desktop.grab().region(tick) != unticked)
    desktop.keys("Escape")
    session.wait_closed("the preferences window to close unsaved", window)

    r.step = "another start shows it again, the box back as the setting says"
    window = second_start(r, items)
    wait_for("the checkbox unticked", lambda: desktop.grab().region(tick) == unticked)
    desktop.keys("Escape")
    session.wait_closed("the preferences window to close", window)

    r.step = "a right click shows Pomrel's menu, drawn by the host"
    menu = session.open_menu("host-menu-card-in", button=3, host_drawn=True)
    session.check_menu(menu, {"Disable", "Preferences", "Quit"})
    session.close_menu()

    r.step = "a pull after the host's menu closed is noticed within a second"
    machine.sxs("pull")

    def prompts():
        return [wid for wid in session.other_windows()
                if desktop.name(wid) == texts["PROMPT_Title"]]
    wait_for("the administrator prompt", prompts, timeout=1.0)
    prompt = session.wait_window("the prompt to take the focus", texts["PROMPT_Title"])
    if len(prompts()) != 1:
        raise Failure(f"the pull raised {len(prompts())} prompts")
    desktop.screenshot("pulled-prompt")

    r.step = "a second start while the prompt waits leaves the prompt in front"
    second_start(r, items, shows=False)
    time.sleep(1.0)  # the running one answered; a window would open right after
    if desktop.focused() != prompt or [w for w in session.other_windows()
                                       if desktop.name(w) == texts["WINDOW_Title"]]:
        raise Failure("the preferences window opened over the prompt, or took its focus")
    desktop.keys("Escape")
    session.wait_closed("the prompt to close", prompt)

    r.step = "a host that reads the menu before it shows it sees the card gone"
    states = {label: enabled for label, enabled, _ in desktop.exported_menu(items[0])}
    expected = {texts["MENU_Disable"]: False, texts["MENU_Enable"]: True}
    if {label: states.get(label) for label in expected} != expected:
        raise Failure(f"the exported menu reads {states}")

    r.step = "a right click after the pull"
    menu = session.open_menu("host-menu-card-out", button=3, host_drawn=True)
    session.check_menu(menu, {"Enable", "Preferences", "Quit"})
    session.close_menu()

    r.step = "a left click shows the menu drawn by the host too, the item being its menu"
    menu = session.open_menu("host-menu-left-click", host_drawn=True)
    session.check_menu(menu, {"Enable", "Preferences", "Quit"})
    session.check_menu_inside_screen()
    session.close_menu()

    r.step = "an Activate sent anyway opens Pomrel's own menu at the pointer, inside the screen"
    menu = session.open_menu("own-menu-activate", click=lambda: desktop.item_call(
        items[0], "org.kde.StatusNotifierItem.Activate", "0", "0"))
    session.check_menu(menu, {"Enable", "Preferences", "Quit"})
    session.check_menu_inside_screen()
    session.close_menu()

    r.step = "after the first is killed, a new start runs"
    r.pomrel.kill()
    r.pomrel.wait()
    wait_for("the killed item to leave the watcher", lambda: not desktop.status_items())
    r.pomrel = r.start()
    wait_for("the new start's item registered", desktop.status_items, timeout=30)
    if r.pomrel.poll() is not None:
        raise Failure(f"the new start exited with status {r.pomrel.returncode}")

    r.pomrel.kill()
    r.pomrel.wait()
    # Qt chose the XEmbed tray when it found no watcher, and keeps it; the panel
    # hosts that too, but with no compositing manager it draws any Qt XEmbed
    # icon (a bare Qt tray program's as well) as a black square.
    no_status_area(r, lambda: session.find_icon("^Pomrel$", drawn=False))
    session.close_menu()


def no_status_area(r, find_icon):
    """With the panel stopped, a new start shows one alert that says no status icons
    show and how to get them; the panel started again shows the icon (`find_icon`) and
    its menu. Answers that menu's items."""
    desktop, session, texts = r.desktop, r.session, r.texts
    r.step = "without a status area, one alert says so and how to get one"
    desktop.stop_panel()
    r.pomrel = r.start()
    alert = session.wait_window("the alert that no status icons show", texts["MSG_Title"],
                                timeout=STATUS_AREA_GRACE + 15)
    desktop.screenshot("no-status-area-alert")
    check_alert_text(r, alert, texts["MSG_NoStatusArea"])
    desktop.keys("Return")
    session.wait_closed("the alert to close", alert)

    r.step = "a panel started after that shows the icon, and a click opens the menu"
    desktop.start_panel()
    find_icon()
    items = session.open_menu("menu-after-late-panel")
    session.check_menu(items, {"Enable", "Preferences", "Quit"})
    return items


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="Pomrel.app/Contents/MacOS/Pomrel")
    parser.add_argument("--sxs-card", required=True)
    parser.add_argument("--screenshots", required=True, help="folder for the step screenshots")
    parser.add_argument("--panel", choices=sorted(TOOLS) + ["sway"], default="trayer")
    args = parser.parse_args()

    if args.panel == "sway":
        import wayland_session  # pylint: disable=import-outside-toplevel
        missing = wayland_session.missing_tools()
    else:
        missing = [tool for tool in TOOLS[args.panel] if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: not installed: {', '.join(missing)} (scripts/deps.sh installs them)")
        return SKIP

    os.makedirs(args.screenshots, exist_ok=True)
    for old in glob.glob(os.path.join(args.screenshots, "[0-9][0-9]-*.png")):
        os.remove(old)
    if args.panel == "sway":
        status = wayland_session.run_as_test_user(args.screenshots)
        if status is not None:
            return status
    # A runner's SIGTERM (or Ctrl-C) still runs the cleanup below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    processes = Processes()
    work = tempfile.mkdtemp(prefix="pomrel-e2e-")
    started = time.monotonic()
    try:
        shots = run(args, processes, work)
    except Unavailable as reason:
        print(f"SKIP: {reason}")
        return SKIP
    except Failure as failure:
        with open(os.path.join(args.screenshots, "pomrel.log")) as log:
            print(f"FAILED: {failure}\nPomrel's output:\n{log.read()}"
                  f"Screenshots: {args.screenshots}")
        return 1
    finally:
        processes.stop_all()
        shutil.rmtree(work, ignore_errors=True)
    print(f"passed in {time.monotonic() - started:.1f} s; {shots} screenshots in "
          f"{args.screenshots}")
    return 0


if __name__ == "__main__":
    sys.modules["desktop_test"] = sys.modules[__name__]  # one Failure for wayland_session too
    sys.exit(main())
