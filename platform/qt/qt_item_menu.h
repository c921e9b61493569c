// The status notifier item of a tray icon, told to be its menu.
#pragma once

class QSystemTrayIcon;

namespace pomrel::qt {

// Where Qt exports `tray` as a status notifier item on the session bus (once
// the icon is shown), makes the item say that it is its menu whenever the
// icon has a context menu: a host then draws the exported menu next to the
// icon for a left click as it does for a right click, instead of asking the
// program to show something of its own, which on Wayland could only be a
// window of its own placed by the compositor, nowhere near the icon. Every
// other property, method and signal of the item stays Qt's. `tray` must
// outlive the item (it does: the item is the tray icon's). Answers whether
// an item was found; without one (an XEmbed tray, no session bus) nothing
// changes.
bool exportItemAsMenu(const QSystemTrayIcon& tray);

}  // namespace pomrel::qt
