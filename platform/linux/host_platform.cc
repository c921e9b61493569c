#include "platform/linux/host_platform.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <vector>

#include "platform/linux/linux_registry.h"
#include "platform/posix/plist_user_defaults.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host {

namespace {

// The disk utility as the core names it.
constexpr const char* kDiskUtilPath = "/usr/sbin/diskutil";
constexpr const char* kDiskUtilHelper = "pomrel-diskutil";
constexpr const char* kUdevControlSocket = "/run/udev/control";
constexpr const char* kUdisksActivation =
    "/usr/share/dbus-1/system-services/org.freedesktop.UDisks2.service";

std::string helpersFolder(const HostSettings& settings) {
  return settings.bundleContents + "/Helpers";
}

// udevd leaves its control socket behind when it stops, so only a
// connection tells that it runs.
bool udevRuns() {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kUdevControlSocket, sizeof address.sun_path - 1);
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

class HostAuthorizationSession : public AuthorizationSession {};

class NoAdministratorRights : public Authorization {
 public:
  explicit NoAdministratorRights(std::ostream& diagnostics) : diagnostics_(diagnostics) {}

  OSStatus create(const AuthorizationRights* /*rights*/,
                  const AuthorizationEnvironment* /*environment*/, AuthorizationFlags /*flags*/,
                  AuthorizationRef* authorization) override {
    *authorization = new HostAuthorizationSession;
    return errAuthorizationSuccess;
  }
  OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights* /*rights*/,
                      const AuthorizationEnvironment* /*environment*/,
                      AuthorizationFlags flags) override {
    if (authorization == nullptr) return errAuthorizationInvalidRef;
    if ((flags & kAuthorizationFlagInteractionAllowed) != 0) {
      diagnostics_ << "Pomrel: administrator rights cannot be obtained: no privileged helper is "
                      "installed.\n";
    }
    return errAuthorizationDenied;
  }
  OSStatus executeWithPrivileges(AuthorizationRef /*authorization*/, const char* /*pathToTool*/,
                                 AuthorizationFlags /*options*/, char* const* /*arguments*/,
                                 std::unique_ptr<PrivilegedProcess>* /*process*/) override {
    return errAuthorizationDenied;
  }
  OSStatus free(AuthorizationRef authorization, AuthorizationFlags /*flags*/) override {
    if (authorization == nullptr) return errAuthorizationInvalidRef;
    delete authorization;
    return errAuthorizationSuccess;
  }

 private:
  std::ostream& diagnostics_;
};

}  // namespace

std::string preferencesFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/pomrel";
  const char* home = std::getenv("HOME");
  std::string folder = home != nullptr && home[0] == '/' ? home : "";
  if (folder.empty()) {
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) {
      folder = user->pw_dir;
    }
  }
  return folder + "/.config/pomrel";
}

Backends makeHostBackends(const HostSettings& settings, std::ostream& diagnostics) {
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
    diagnostics << "Pomrel: " << missing.front();
    for (std::size_t i = 1; i < missing.size(); ++i) diagnostics << "; " << missing[i];
    diagnostics << ".\n";
  }
  backends.registry = std::move(registry);

  const std::string diskUtil = helpersFolder(settings) + "/" + kDiskUtilHelper;
  backends.processes = std::make_unique<posix::PosixProcessRunner>(
      [diskUtil](const std::string& path) { return path == kDiskUtilPath ? diskUtil : path; });
  backends.fileManager = std::make_unique<posix::PosixFileManager>();
  backends.authorization = std::make_unique<NoAdministratorRights>(diagnostics);
  backends.userDefaults = std::make_unique<posix::PlistUserDefaultsFactory>(
      preferencesFolder(), settings.applicationDomain);
  return backends;
}

std::string describeHost(const HostSettings& settings) {
  return std::string("  the card: the disk that udev marks with ") + kServiceProperty +
         "=\"SxS Media\"\n"
         "    (the udev rule installed with Pomrel says which disk that is)\n"
         "  its eject: " +
         helpersFolder(settings) + "/" + kDiskUtilHelper + ", through udisks2\n" +
         "  settings: " + preferencesFolder() + "\n";
}

}  // namespace pomrel::host
