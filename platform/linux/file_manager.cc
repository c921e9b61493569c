#include "platform/linux/file_manager.h"

#include <sys/stat.h>

#include <utility>

#include "platform/linux/driverctl/kernel_module.h"

namespace pomrel::host {

HostFileManager::HostFileManager(std::string pluginPath, std::string module)
    : pluginPath_(std::move(pluginPath)), module_(std::move(module)) {}

bool HostFileManager::fileExistsAtPath(const std::string& path) {
  if (path == pluginPath_) return kernelModuleKnown(module_);
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace pomrel::host
