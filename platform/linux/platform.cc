#include "platform/linux/platform.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/linux/authorization.h"
#include "platform/linux/autostart.h"
#include "platform/linux/driverctl/driver_module.h"
#include "platform/linux/file_manager.h"
#include "platform/linux/registry.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/plist_user_defaults.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host {

namespace {

// The disk utility as the core names it.
constexpr const char* kDiskUtilPath = "/usr/sbin/diskutil";
constexpr const char* kDiskUtilHelper = "pomrel-diskutil";
constexpr const char* kDriverControlHelper = "pomrel-driverctl";
constexpr const char* kUdevControlSocket = "/run/udev/control";
// Present while systemd manages the machine (sd_booted's test).
constexpr const char* kSystemdRunFolder = "/run/systemd/system";
constexpr const char* kUdisksActivation =
    "/usr/share/dbus-1/system-services/org.freedesktop.UDisks2.service";

std::string helpersFolder(const HostSettings& settings) {
  return settings.bundleContents + "/Helpers";
}

// Whether a udevd process is among those this user can see; true when
// others' processes are hidden from it (procfs hidepid), as nothing can then
// be told.
bool udevProcessSeen() {
  if (::access("/proc/1", F_OK) != 0) return true;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const posix::FileRead comm = posix::readFile(entry.path().string() + "/comm", 64);
    if (comm.ok() && (comm.bytes == "systemd-udevd\n" || comm.bytes == "udevd\n")) return true;
  }
  return false;
}

// udevd leaves its control socket behind when it stops, so a connection
// tells that it runs, and a refused one that it does not. A user may not
// connect at all (the socket is root's on most machines): then, under
// systemd, the socket is systemd's, which starts udevd on demand; elsewhere
// udevd's process tells.
bool udevRuns() {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kUdevControlSocket, sizeof address.sun_path - 1);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const int error = errno;
  ::close(fd);
  if (connected) return true;
  if (error != EACCES && error != EPERM) return false;
  return ::access(kSystemdRunFolder, F_OK) == 0 || udevProcessSeen();
}

// The launcher installed with the bundle: a "bin/pomrel" beside one of the
// bundle's enclosing folders that leads to this program. Without one (a build
// folder), the program itself.
std::string launcherOf(const std::string& bundleContents, const std::string& executable) {
  std::error_code error;
  for (std::filesystem::path folder = std::filesystem::path(bundleContents).parent_path();
       folder.has_relative_path(); folder = folder.parent_path()) {
    const std::filesystem::path launcher = folder / "bin" / "pomrel";
    if (std::filesystem::equivalent(launcher, executable, error)) return launcher.string();
  }
  return executable;
}

std::string executablePath() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : program.string();
}

}  // namespace

std::string preferencesFolder() {
  return HostUserDefaultsFactory::configFolderFromEnvironment() + "/pomrel";
}

Backends makeHostBackends(const HostSettings& settings, const Diagnostics& diagnostics) {
  Backends backends;
  auto registry = std::make_unique<LinuxRegistry>();
  std::vector<std::string> missing;
  if (!registry->usable()) {
    missing.emplace_back("udev's events cannot be received, so no card can be found");
  } else if (!udevRuns()) {
    missing.emplace_back("udev is not running, so no card can be found");
  }
  if (::access(kUdisksActivation, F_OK) != 0) {
    missing.emplace_back("udisks2 is not installed, so no card can be ejected");
  }
  if (!missing.empty()) {
    std::string said = "Pomrel: " + missing.front();
    for (std::size_t i = 1; i < missing.size(); ++i) said += "; " + missing[i];
    diagnostics(said + ".\n");
  }
  backends.registry = std::move(registry);

  const std::string diskUtil = helpersFolder(settings) + "/" + kDiskUtilHelper;
  backends.processes = std::make_unique<posix::PosixProcessRunner>(
      [diskUtil](const std::string& path) { return path == kDiskUtilPath ? diskUtil : path; });
  backends.fileManager =
      std::make_unique<HostFileManager>(settings.driverPluginPath, kDriverModule);
  backends.authorization = std::make_unique<HostAuthorization>(
      helpersFolder(settings) + "/" + kDriverControlHelper, settings.driverPluginPath, diagnostics);
  const std::string executable = executablePath();
  backends.userDefaults = std::make_unique<HostUserDefaultsFactory>(
      HostUserDefaultsFactory::configFolderFromEnvironment(), settings.applicationDomain,
      AutostartIdentity{settings.applicationPath, launcherOf(settings.bundleContents, executable),
                        executable});
  return backends;
}

std::string describeHost(const HostSettings& settings) {
  const std::string helpers = helpersFolder(settings) + "/";
  const std::string byHelper = "    " + helpers + kDriverControlHelper +
                               "\n    through pkexec (polkit action org.pomrel.driverctl)\n";
  const std::string driver =
      *kDriverModule == '\0'
          ? std::string(
                "  the driver: the kernel driver of the card reader's own device, which udev\n") +
                "    marks with " + kReaderProperty +
                "=\"1\" (a USB interface or a PCI function); the\n" +
                "    device is unbound from its driver and bound again by\n" + byHelper +
                "  a reader the installed rules do not know: its rules are printed by\n    " +
                helpers + kDiskUtilHelper + " rule sdX\n"
          : std::string("  the driver: the kernel module ") + kDriverModule +
                ", loaded and unloaded by\n" + byHelper;
  return std::string("  the card: the disk that udev marks with ") + kServiceProperty +
         "=\"SxS Media\"\n"
         "    (the udev rules installed with Pomrel say which disk that is)\n"
         "  its eject: " +
         helpers + kDiskUtilHelper + ", through udisks2\n" + driver +
         "  settings: " + preferencesFolder() + "\n" +
         "  launch at login: " + HostUserDefaultsFactory::configFolderFromEnvironment() +
         "/autostart/pomrel.desktop\n";
}

}  // namespace pomrel::host
