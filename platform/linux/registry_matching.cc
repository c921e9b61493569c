// The udev registry's first-match judgement: which disks match a
// registration now, and which an event makes begin to match.
#include <utility>

#include "platform/linux/registry.h"

namespace pomrel::host {

std::map<std::string, LinuxRegistry::Disk> LinuxRegistry::matchingNow(const std::string& name) {
  std::map<std::string, Disk> matching;
  for (const auto& [sysPath, disk] : disks_) {
    if (disk.serviceName == name && hasMedium(sysPath)) matching.emplace(sysPath, disk);
  }
  return matching;
}

void LinuxRegistry::judgeMatch(Registration& registration, const UdevDevice& device) {
  const std::string sysPath = device.sysPath();
  std::optional<Disk> now = device.action() == "remove" ? std::nullopt : diskOf(device);
  if (!now || now->serviceName != registration.matchName || !hasMedium(sysPath)) {
    registration.matching.erase(sysPath);
    return;
  }
  const auto known = registration.matching.find(sysPath);
  if (known != registration.matching.end() && known->second.sameDevice(*now)) return;
  registration.appeared.push_back(*now);
  registration.matching[sysPath] = std::move(*now);
}

}  // namespace pomrel::host
