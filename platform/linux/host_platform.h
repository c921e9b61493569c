// The backends Pomrel runs on when it is on a real Linux desktop, made in one
// place so that each can be replaced on its own.
#pragma once

#include <iosfwd>
#include <string>

#include "platform/backends.h"

namespace pomrel::host {

struct HostSettings {
  // The application bundle's Contents folder; the helper programs are in its
  // Helpers folder.
  std::string bundleContents;
  // The application's bundle identifier: the name of its defaults domain.
  std::string applicationDomain;
};

// Makes the host's backends:
// - registry: udev (linux_registry.h);
// - processes: child processes; the disk utility's path runs the bundle's
//   pomrel-diskutil (udisks2), every other path runs as it is;
// - fileManager: the file system as it is;
// - authorization: sessions are made, but the administrator right is refused
//   (this backend has no privileged helper), with one line on standard error
//   when it is asked for with interaction;
// - userDefaults: property-list files in preferencesFolder().
// When the system lacks what they need (udev
// running, udisks2 installed), writes one line saying so to `diagnostics`;
// the backends then work without it: no card is found, or none ejected.
Backends makeHostBackends(const HostSettings& settings, std::ostream& diagnostics);

// $XDG_CONFIG_HOME/pomrel, or ~/.config/pomrel when that is unset or not
// absolute.
std::string preferencesFolder();

// What the host backend uses, for --help: a few lines, each ending in '\n'.
std::string describeHost(const HostSettings& settings);

}  // namespace pomrel::host
