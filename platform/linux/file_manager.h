// File existence on a Linux host, where the driver's plug-in is the card
// reader: the readers udev marks, or the kernel module the build names.
#pragma once

#include <string>

#include "platform/file_manager.h"

namespace pomrel::host {

// Where the kernel's modules are known: its loaded and built-in modules
// (/sys/module) and the module index of the running kernel (a folder holding
// modules.dep and modules.builtin).
struct ModuleFolders {
  std::string loaded = "/sys/module";
  std::string index;  // "" for /lib/modules/<the running kernel's release>
};

class HostFileManager : public FileManager {
 public:
  // `pluginPath` is the driver plug-in's path as the core names it;
  // `module` the kernel module that stands for it, or "" for the marked
  // card readers.
  HostFileManager(std::string pluginPath, std::string module, ModuleFolders folders = {});

  // For the plug-in path, asked anew at each call: without a module, whether
  // a device udev marks as a card reader is connected (bound to its driver
  // or not); with one, whether the running kernel knows it (loaded, built
  // in, or in its module index). Any other path: whether something exists
  // there, symbolic links followed.
  bool fileExistsAtPath(const std::string& path) override;

 private:
  bool moduleKnown() const;

  std::string pluginPath_;
  std::string module_;
  ModuleFolders folders_;
};

}  // namespace pomrel::host
