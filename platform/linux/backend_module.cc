// The Linux host's backends as a module of the program (see
// platform/backends.h and makeHostBackends in platform.h). They say what the
// system lacks on standard error.
#include <string>

#include "platform/backends.h"
#include "platform/linux/platform.h"

namespace {

pomrel::host::HostSettings hostSettings(const pomrel::BackendSettings& settings) {
  return {settings.bundleContents, settings.applicationDomain, settings.driverPluginPath,
          settings.applicationPath};
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void pomrelMakeBackends(
    const pomrel::BackendSettings& settings, pomrel::Backends& backends) {
  backends = pomrel::host::makeHostBackends(hostSettings(settings), pomrel::host::toStandardError);
}

extern "C" __attribute__((visibility("default"))) void pomrelDescribeBackends(
    const pomrel::BackendSettings& settings, std::string& text) {
  text += pomrel::host::describeHost(hostSettings(settings));
}
