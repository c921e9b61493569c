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
  // a card reader udev marks is connected that a driver can take: one is
  // bound to it, or the module index has a module (or a built-in one) whose
  // alias matches its modalias; with a module, whether the running kernel
  // knows it (loaded, built in, or in its module index). Any other path:
  // whether something exists there, symbolic links followed.
  bool fileExistsAtPath(const std::string& path) override;

 private:
  bool moduleKnown() const;
  bool readerServed() const;
  // The running kernel's module index folder; "" when it cannot be told.
  std::string indexFolder() const;

  std::string pluginPath_;
  std::string module_;
  ModuleFolders folders_;
};

}  // namespace pomrel::host
