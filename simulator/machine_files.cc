#include "simulator/machine_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "media/sxs_driver.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"
#include "simulator/machine.h"

namespace pomrel::sim {

namespace {

// A folder next to `path` with a unique name, for building or dismantling
// something that must appear or vanish at `path` in one rename.
std::optional<std::string> makeSiblingTemp(const std::string& path, const char* purpose) {
  const std::size_t slash = path.rfind('/');
  std::string temp = path.substr(0, slash + 1) + "." + purpose + "-XXXXXX";
  if (::mkdtemp(temp.data()) == nullptr) return std::nullopt;
  return temp;
}

bool writeBundleInfo(const std::string& bundle, const char* identifier, const char* name) {
  const PropertyDictionary info{
      {"CFBundleIdentifier", identifier},       {"CFBundleName", name},
      {"CFBundlePackageType", "KEXT"},          {"CFBundleVersion", "1.0"},
      {"CFBundleInfoDictionaryVersion", "6.0"},
  };
  return makeDirectories(bundle + "/Contents") &&
         posix::writePropertyListFile(bundle + "/Contents/Info.plist", PropertyValue(info), 0644);
}

}  // namespace

bool makeDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && std::filesystem::is_directory(path, ec);
}

bool isDirectory(const std::string& path) {
  struct stat info = {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

bool installDriverBundle(const MachinePaths& paths, std::string* error) {
  const std::string driver = paths.resolve(kDriverBundlePath);
  if (!makeDirectories(driver.substr(0, driver.rfind('/')))) {
    *error = "cannot create " + driver.substr(0, driver.rfind('/'));
    return false;
  }
  std::optional<std::string> temp = makeSiblingTemp(driver, "installing");
  if (!temp) {
    *error = "cannot create a folder beside " + driver;
    return false;
  }
  const std::string pluginRelative =
      std::string(kSxSPluginPath).substr(std::string_view(kDriverBundlePath).size());
  const bool built =
      ::chmod(temp->c_str(), 0755) == 0 &&
      writeBundleInfo(*temp, "local.simulated.sxs-card", "SxS Memory Card") &&
      writeBundleInfo(*temp + pluginRelative, "local.simulated.sxs-card.64", "SxS Memory Card 64");
  // An incomplete bundle left at the path (say, by hand) is replaced whole.
  std::optional<std::string> old;
  if (built && ::access(driver.c_str(), F_OK) == 0) {
    old = makeSiblingTemp(driver, "replaced");
    if (old && ::rename(driver.c_str(), (*old + "/bundle").c_str()) != 0) {
      removeTree(*old);
      old.reset();
    }
  }
  if (!built || ::rename(temp->c_str(), driver.c_str()) != 0) {
    *error = "cannot install the driver at " + driver;
    removeTree(*temp);
    // The earlier bundle goes back; if it cannot, it stays aside rather
    // than being lost.
    if (old && ::rename((*old + "/bundle").c_str(), driver.c_str()) == 0) removeTree(*old);
    return false;
  }
  if (old) removeTree(*old);
  return true;
}

// Moves the driver bundle out of its path in one rename. Returns the folder
// now holding it (to delete, or to move back), or "" when none was there;
// nullopt on failure.
std::optional<std::string> detachDriverBundle(const MachinePaths& paths, std::string* error) {
  const std::string driver = paths.resolve(kDriverBundlePath);
  if (::access(driver.c_str(), F_OK) != 0) return std::string();
  std::optional<std::string> aside = makeSiblingTemp(driver, "removing");
  if (!aside || ::rename(driver.c_str(), (*aside + "/bundle").c_str()) != 0) {
    if (aside) removeTree(*aside);
    *error = "cannot remove the driver at " + driver + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return aside;
}

bool installTools(const MachinePaths& paths, std::string* error) {
  const posix::FileRead self = posix::readFile("/proc/self/exe", posix::kProgramFileLimit);
  if (!self.ok() || self.bytes.empty()) {
    *error = "cannot read this program from /proc/self/exe";
    return false;
  }
  const std::string& program = self.bytes;
  for (const char* tool : {kDiskUtilPath, kKextLoadPath, kKextUnloadPath}) {
    const std::string path = paths.resolve(tool);
    if (!makeDirectories(path.substr(0, path.rfind('/'))) ||
        !posix::writeFileAtomically(path, program, 0755)) {
      *error = std::string("cannot install the stand-in ") + tool + " at " + path;
      return false;
    }
  }
  return true;
}

}  // namespace pomrel::sim
