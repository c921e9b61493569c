// File existence on a Linux host, where the driver's plug-in is the card
// reader's kernel module.
#pragma once

#include <string>

#include "platform/file_manager.h"

namespace pomrel::host {

class HostFileManager : public FileManager {
 public:
  // `pluginPath` is the driver plug-in's path as the core names it;
  // `module` the kernel module that stands for it.
  HostFileManager(std::string pluginPath, std::string module);

  // For the plug-in path: whether the running kernel knows the module (built
  // in, loaded, or in its module index), asked anew at each call. Any other
  // path: whether something exists there, symbolic links followed.
  bool fileExistsAtPath(const std::string& path) override;

 private:
  std::string pluginPath_;
  std::string module_;
};

}  // namespace pomrel::host
