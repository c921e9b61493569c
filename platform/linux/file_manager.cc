#include "platform/linux/file_manager.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "platform/linux/udev_device.h"
#include "platform/posix/file_reader.h"

namespace pomrel::host {
namespace {

// The kernel treats '-' and '_' in module names alike.
std::string normalized(std::string name) {
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

// The module a line of modules.dep or modules.builtin names: the file name
// before its ".ko" ("kernel/drivers/usb/storage/usb-storage.ko.xz: ..." is
// usb_storage).
std::string moduleOfIndexLine(const std::string& line) {
  const std::string path = line.substr(0, line.find(':'));
  const std::string file = path.substr(path.rfind('/') + 1);
  const std::size_t suffix = file.find(".ko");
  return suffix == std::string::npos ? std::string() : normalized(file.substr(0, suffix));
}

bool indexNames(const std::string& path, const std::string& module) {
  const posix::FileRead index = posix::readFile(path, posix::kSystemFileLimit);
  if (!index.ok()) return false;
  std::istringstream lines(index.bytes);
  for (std::string line; std::getline(lines, line);) {
    if (moduleOfIndexLine(line) == module) return true;
  }
  return false;
}

}  // namespace

HostFileManager::HostFileManager(std::string pluginPath, std::string module, ModuleFolders folders)
    : pluginPath_(std::move(pluginPath)),
      module_(std::move(module)),
      folders_(std::move(folders)) {}

bool HostFileManager::fileExistsAtPath(const std::string& path) {
  if (path == pluginPath_) {
    if (!module_.empty()) return moduleKnown();
    Udev udev;
    return !udev.devicesWithProperty(kReaderProperty, "1").empty();
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Read from the kernel's own files, so that the program needs no module
// library (the privileged helper alone loads and unloads).
bool HostFileManager::moduleKnown() const {
  const std::string module = normalized(module_);
  struct stat info {};
  if (::stat((folders_.loaded + "/" + module).c_str(), &info) == 0) return true;
  std::string index = folders_.index;
  if (index.empty()) {
    utsname system{};
    if (::uname(&system) != 0) return false;
    index = std::string("/lib/modules/") + system.release;
  }
  return indexNames(index + "/modules.builtin", module) ||
         indexNames(index + "/modules.dep", module);
}

}  // namespace pomrel::host
