"""The desktop of desktop_test.py on Wayland: sway, headless, with waybar's tray.

sway runs without a GPU or input devices, so the panel's part is played over
the session bus as waybar plays it (its calls on Pomrel's status notifier item
and on the item's exported menu), keys are typed through the compositor's
virtual-keyboard protocol (wtype), the windows and the keyboard focus are read
from the compositor's tree (swaymsg) and the screen from its screenshots
(grim). sway refuses to run as root: started as root, the test runs itself
again as an unprivileged user of its own.
"""

import glob
import json
import os
import pwd
import subprocess
import sys

import desktop_test as dt

TOOLS = ("sway", "swaymsg", "waybar", "grim", "wtype", "dbus-daemon", "gdbus", "setpriv")
QT_PLUGIN = "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so"
TEST_USER = "pomrel-e2e"
SWAY_CONFIG = "output HEADLESS-1 resolution {width}x{height}\n"
WAYBAR_CONFIG = {"position": "top", "height": 26, "modules-right": ["tray"],
                 "tray": {"icon-size": 16, "spacing": 8}}


def missing_tools():
    return [tool for tool in TOOLS if dt.shutil.which(tool) is None] + \
        ([] if glob.glob(QT_PLUGIN) else ["qt6-wayland"])


def run_as_test_user(screenshots):
    """As root, runs this test again as TEST_USER (made when absent), and answers its
    exit status; as anyone else, answers None: the test runs as it is."""
    if os.getuid() != 0:
        return None
    try:
        user = pwd.getpwnam(TEST_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--user-group", "--no-create-home",
                        "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", TEST_USER],
                       check=True, stdin=subprocess.DEVNULL)
        user = pwd.getpwnam(TEST_USER)
    for folder, _, files in os.walk(screenshots):
        for name in [folder] + [os.path.join(folder, f) for f in files]:
            os.chown(name, user.pw_uid, user.pw_gid)
    env = dict(os.environ, USER=TEST_USER, LOGNAME=TEST_USER, HOME="/nonexistent")
    env.pop("XDG_RUNTIME_DIR", None)
    return subprocess.run(["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                           "--clear-groups", sys.executable, *sys.argv],
                          env=env, stdin=subprocess.DEVNULL,
                          preexec_fn=dt._die_with_parent).returncode


class WaylandDesktop(dt.Desktop):
    def start(self, panel, work, width=1280, height=800):
        runtime = os.path.join(work, "runtime")  # made 0700 by the test
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, ".config"))
        self.size = (width, height)
        self.panel_log = open(os.path.join(self.shots_dir, "panel.log"), "w")
        self.env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime,
                        XDG_CONFIG_HOME=os.path.join(home, ".config"), NO_AT_BRIDGE="1",
                        GSETTINGS_BACKEND="memory", WLR_BACKENDS="headless",
                        WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        self.env.pop("DISPLAY", None)
        self.start_session_bus()
        config = os.path.join(work, "sway.conf")
        with open(config, "w") as out:
            out.write(SWAY_CONFIG.format(width=width, height=height))
        sway = self.processes.start(["sway", "-c", config], env=self.env,
                                    stdout=self.panel_log, stderr=subprocess.STDOUT)

        def sockets():
            if sway.poll() is not None:
                return "exited"
            found = glob.glob(os.path.join(runtime, "sway-ipc.*.sock"))
            display = glob.glob(os.path.join(runtime, "wayland-*[0-9]"))
            return found and display and (found[0], os.path.basename(display[0]))
        try:
            answer = dt.wait_for("sway's sockets", sockets, timeout=30)
        except dt.Failure:
            answer = "no sockets"
        if answer in ("exited", "no sockets"):
            self.panel_log.flush()
            with open(self.panel_log.name) as log:
                raise dt.Unavailable(f"sway could not start ({answer}): {log.read()[-600:]}")
        self.env.update(SWAYSOCK=answer[0], WAYLAND_DISPLAY=answer[1])
        self.waybar_config = os.path.join(work, "waybar.json")
        with open(self.waybar_config, "w") as out:
            json.dump(WAYBAR_CONFIG, out)
        self.start_panel()

    def start_panel(self):
        """waybar, whose tray is the status notifier watcher and its host."""
        self.panel_process = self.processes.start(
            ["waybar", "-c", self.waybar_config], env=self.env, stdout=self.panel_log,
            stderr=subprocess.STDOUT)
        self.wait_for_watcher()

    def stop_panel(self):
        self.panel_process.terminate()
        self.panel_process.wait(timeout=10)
        self.wait_for_watcher(owned="(false,)")

    def tree_windows(self):
        """The compositor's windows, depth first: [node]."""
        result = subprocess.run(["swaymsg", "-t", "get_tree", "--raw"], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=10)
        found, nodes = [], [json.loads(result.stdout)] if result.returncode == 0 else []
        while nodes:
            node = nodes.pop()
            if node.get("app_id") is not None or node.get("window") is not None:
                found.append(node)
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
        return found

    def windows(self, app_id):
        rect = ("x", "y", "width", "height")
        return {str(node["id"]): tuple(node["rect"][k] for k in rect)
                for node in self.tree_windows()
                if dt.re.search(app_id, node.get("app_id") or "") and node.get("visible")}

    def geometry(self, wid):
        return self.windows(".").get(wid)

    def name(self, wid):
        return next((node["name"] or "" for node in self.tree_windows()
                     if str(node["id"]) == wid), "")

    def focused(self):
        return next((str(node["id"]) for node in self.tree_windows() if node["focused"]), "")

    def grab(self):
        data = subprocess.run(["grim", "-t", "ppm", "-"], env=self.env, capture_output=True,
                              stdin=subprocess.DEVNULL, check=True, timeout=10).stdout
        return PpmShot(data)

    def wtype(self, *args):
        # Each wtype is a new virtual keyboard, which becomes the seat's keyboard on
        # its first event; Qt was seen to drop the keys that came in the moments
        # after that switch (more of them on a loaded machine). A lone modifier
        # makes the switch, and the keys follow a while later.
        subprocess.run(["wtype", "-M", "shift", "-m", "shift", "-s", "300", "-d", "30", *args],
                       env=self.env, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=10, check=True)

    def keys(self, *keys):
        args = []
        for key in keys:
            *modifiers, name = key.split("+")
            args += [a for m in modifiers for a in ("-M", m)] + ["-k", name] + \
                [a for m in reversed(modifiers) for a in ("-m", m)]
        self.wtype(*args)

    def type(self, text):
        self.wtype("--", text)


class PpmShot(dt.Shot):
    """grim's binary PPM, held in the byte order of the X screenshots."""

    def __init__(self, data):  # pylint: disable=super-init-not-called
        magic, width, height, depth, pixels = data.split(maxsplit=4)
        if magic != b"P6" or depth != b"255":
            raise dt.Failure(f"unexpected screenshot format {magic!r} {depth!r}")
        self.width, self.height, self.step = int(width), int(height), 3
        self.stride = self.width * 3
        self.pixels = bytearray(pixels[:self.stride * self.height])
        self.pixels[0::3], self.pixels[2::3] = self.pixels[2::3], self.pixels[0::3]


class WaylandSession(dt.Session):
    """The person at the desk, and waybar's side of the status notifier protocol."""

    def find_icon(self):
        """The item registered with the watcher, and its icon drawn in the panel's tray,
        at the top right of the screen."""
        desktop = self.desktop
        items = dt.wait_for("Pomrel's item registered", desktop.status_items, timeout=30)
        if len(items) != 1:
            raise dt.Failure(f"the watcher lists {items}, expected one item")
        # The tray's module is the panel's last, its own colour behind the icon.
        self.icon_box = (desktop.size[0] - 32, 1, 28, WAYBAR_CONFIG["height"] - 2)
        dt.wait_for("the status icon drawn in the panel's tray",
                    lambda: dt.ink_bands(desktop.grab(), self.icon_box, inset=1)[1], timeout=30)
        self.icon = items[0]

    def item_is_menu(self):
        return self.desktop.item_call(self.icon, "org.freedesktop.DBus.Properties.Get",
                                      "org.kde.StatusNotifierItem", "ItemIsMenu") == "(<true>,)"

    def click_as_unaware_panel(self):
        """What a panel that ignores ItemIsMenu sends for a left and a right click."""
        for method in ("Activate", "ContextMenu"):
            if self.desktop.item_call(self.icon, f"org.kde.StatusNotifierItem.{method}",
                                      "10", "10") is None:
                raise dt.Failure(f"the item refused {method}")

    def open_menu(self, label, button=1, host_drawn=True):
        """A click as waybar handles it: the panel draws the exported menu for a right
        click, and for a left click when the item says it is its menu, and sends
        Activate otherwise. Answers the items as [(enabled, id, label)]."""
        if button == 1 and not self.item_is_menu():
            raise dt.Failure("the item does not say it is its menu: a left click on the "
                             "panel sends Activate instead of showing the menu")
        items = [(enabled, ident, text) for text, enabled, ident
                 in self.desktop.exported_menu(self.icon)]
        if len(items) != len(dt.MENU_ITEMS):
            raise dt.Failure(f"the exported menu holds {items}")
        if self.other_windows():
            raise dt.Failure(f"Pomrel has windows open with its menu: {self.other_windows()}")
        self.desktop.screenshot(label)
        return items

    def wait_window(self, what, title, old=(), timeout=10.0):
        """As on X11, and floating over the others as a dialog does, not tiled."""
        wid = super().wait_window(what, title, old, timeout)
        if not any(str(node["id"]) == wid and node["type"] == "floating_con"
                   for node in self.desktop.tree_windows()):
            raise dt.Failure(f"{what} is tiled over the screen, not floating as a dialog")
        return wid

    def copy_alert_text(self, alert):
        """Not read here: Qt's Wayland plugin was seen to put nothing on the clipboard
        for the copy keys typed through the virtual keyboard (wl-paste: "No
        selection"), so the alert is known by its title alone."""
        return None

    def choose(self, items, name):
        _, ident, _ = items[dt.MENU_ITEMS.index(name)]
        menu = self.desktop.menu_path(self.icon)
        bus_name = self.icon.split("/", 1)[0]
        if self.desktop.bus(bus_name, menu, "com.canonical.dbusmenu.Event", str(ident),
                            "clicked", "<int32 0>", "0") is None:
            raise dt.Failure(f"the menu refused the click on {name}")
