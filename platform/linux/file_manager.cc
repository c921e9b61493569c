#include "platform/linux/file_manager.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

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

// Whether a line "alias PATTERN MODULE" of the index at `path` matches one of
// `modaliases`, as the kernel's module loader matches them (shell patterns).
bool aliasMatches(const std::string& path, const std::vector<std::string>& modaliases) {
  const posix::FileRead index = posix::readFile(path, posix::kSystemFileLimit);
  std::istringstream lines(index.bytes);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string word, pattern;
    if (!(fields >> word >> pattern) || word != "alias") continue;
    for (const std::string& modalias : modaliases) {
      if (::fnmatch(pattern.c_str(), modalias.c_str(), 0) == 0) return true;
    }
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
    return module_.empty() ? readerServed() : moduleKnown();
  }
  struct stat info = {};
  return ::stat(path.c_str(), &info) == 0;
}

// Read from the kernel's own files, so that the program needs no module
// library (the privileged helper alone loads and unloads).
bool HostFileManager::moduleKnown() const {
  const std::string module = normalized(module_);
  struct stat info = {};
  if (::stat((folders_.loaded + "/" + module).c_str(), &info) == 0) return true;
  const std::string index = indexFolder();
  return indexNames(index + "/modules.builtin", module) ||
         indexNames(index + "/modules.dep", module);
}

std::string HostFileManager::indexFolder() const {
  if (!folders_.index.empty()) return folders_.index;
  utsname system{};
  if (::uname(&system) != 0) return {};
  return std::string("/lib/modules/") + system.release;
}

bool HostFileManager::readerServed() const {
  Udev udev;
  std::vector<std::string> modaliases;
  for (const UdevDevice& reader : udev.markedReaders().readers) {
    if (!reader.driver().empty()) return true;
    if (std::optional<std::string> alias = reader.property("MODALIAS")) {
      modaliases.push_back(std::move(*alias));
    }
  }
  if (modaliases.empty()) return false;
  const std::string index = indexFolder();
  return aliasMatches(index + "/modules.alias", modaliases) ||
         aliasMatches(index + "/modules.builtin.alias", modaliases);
}

}  // namespace pomrel::host
