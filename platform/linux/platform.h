// The backends Pomrel runs on when it is on a real Linux desktop, made in one
// place so that each can be replaced on its own.
#pragma once

#include <string>

#include "platform/backends.h"
#include "platform/linux/diagnostics.h"

namespace pomrel::host {

struct HostSettings {
  // The application bundle's Contents folder; the helper programs are in its
  // Helpers folder.
  std::string bundleContents;
  // The application's bundle identifier: the name of its defaults domain.
  std::string applicationDomain;
  // The driver plug-in's path as the core names it: the file manager answers
  // for it by the marked card readers (or the kernel module the build
  // names), and the authorization stops and starts them for it.
  std::string driverPluginPath;
  // The path the login items store calls this application by.
  std::string applicationPath;
};

// Makes the host's backends:
// - registry: udev (linux_registry.h);
// - processes: child processes; the disk utility's path runs the bundle's
//   pomrel-diskutil (udisks2), every other path runs as it is;
// - fileManager: the driver plug-in exists while a marked card reader is
//   connected, or, when the build names a module (kDriverModule), while the
//   kernel knows it; other paths are the file system's;
// - authorization: the administrator right is the bundle's pomrel-driverctl
//   started through pkexec, which stops and starts the readers, or loads and
//   unloads that module (authorization.h);
// - userDefaults: property-list files in preferencesFolder(), with the
//   login window's list of launched applications in the XDG autostart
//   folder, where Pomrel's own entry starts its launcher (xdg_autostart.h).
// When the system lacks what they need (udev
// running, udisks2 installed), writes one line saying so to `diagnostics`;
// the backends then work without it: no card is found, or none ejected.
Backends makeHostBackends(const HostSettings& settings, const Diagnostics& diagnostics);

// $XDG_CONFIG_HOME/pomrel, or ~/.config/pomrel when that is unset or not
// absolute.
std::string preferencesFolder();

// What the host backend uses, for --help: a few lines, each ending in '\n'.
std::string describeHost(const HostSettings& settings);

}  // namespace pomrel::host
