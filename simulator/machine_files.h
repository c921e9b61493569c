// The files that sxs-card lays out in the machine's folder: the card
// driver's bundle with its plug-in, and the stand-in system tools.
#pragma once

#include <optional>
#include <string>

#include "platform/sim/machine_paths.h"

namespace pomrel::sim {

// Creates `path` and its parents; true when it is a folder afterwards.
bool makeDirectories(const std::string& path);

bool isDirectory(const std::string& path);

// Removes `path` and everything below it; errors are ignored.
void removeTree(const std::string& path);

// Makes the driver bundle, with its plug-in, appear whole at its path.
bool installDriverBundle(const MachinePaths& paths, std::string* error);

// Moves the driver bundle out of its path in one rename. Returns the folder
// now holding it (to delete, or to move back), or "" when none was there;
// nullopt on failure.
std::optional<std::string> detachDriverBundle(const MachinePaths& paths, std::string* error);

// Installs copies of this program as the stand-in diskutil, kextload and
// kextunload.
bool installTools(const MachinePaths& paths, std::string* error);

}  // namespace pomrel::sim
