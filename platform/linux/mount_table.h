// Which block devices hold a mounted filesystem, as a mount table
// (/proc/self/mountinfo) says.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/linux/udev_device.h"

namespace pomrel::host {

class MountTable {
 public:
  // False when the table at `path` cannot be read; nothing is mounted then.
  bool read(const std::string& path = "/proc/self/mountinfo");

  // The mount points of `device`'s filesystems, matched by device number
  // and, for a filesystem whose number names no device (btrfs), by the
  // source it was mounted from.
  [[nodiscard]] std::vector<std::string> mountPointsOf(const UdevDevice& device) const;
  // The sources of the filesystems of `type` mounted at `point`
  // ("rpool/ROOT/debian" for a ZFS dataset).
  [[nodiscard]] std::vector<std::string> sourcesAt(const std::string& point,
                                                   const std::string& type) const;

 private:
  std::multimap<dev_t, std::string> byNumber_;
  std::multimap<std::string, std::string> bySource_;
  std::multimap<std::string, std::pair<std::string, std::string>> byPoint_;  // type, source
};

}  // namespace pomrel::host
