#include "platform/linux/driverctl/disk_claims.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/block_holders.h"
#include "platform/linux/mount_table.h"

namespace pomrel::host {
namespace {

// The names the refusal can give to what uses a device. Each is read once,
// and only when a device is in use.
class UseNames {
 public:
  UseNames(Udev& udev, const SystemTables& sources)
      : udev_(udev), swaps_(readSwaps(sources.swaps)) {
    mounts_.read(sources.mountInfo);
  }

  // ": mounted at /media/card", ": swap", or "" when neither tells.
  [[nodiscard]] std::string direct(const UdevDevice& device) const {
    const std::vector<std::string> points = mounts_.mountPointsOf(device);
    if (!points.empty()) return ": mounted at " + points.front();
    if (swaps_.nodes.contains(device.devNode())) return ": swap";
    return {};
  }

  // What uses `device`: itself mounted or swap; else its first holder, with
  // what that holder or one of its partitions is, when told.
  [[nodiscard]] std::string of(const UdevDevice& device) const {
    if (std::string told = direct(device); !told.empty()) return told;
    const std::vector<std::string> holders = holdersOf(device.sysPath());
    for (const std::string& holder : holders) {
      for (const UdevDevice& part : udev_.blockDevicesBelow(udev_.device("block", holder))) {
        const std::string told = direct(part);
        if (told.empty()) continue;
        const std::string what = part.sysName() == holders.front() ? "" : part.sysName() + " ";
        return " by " + holders.front() + " (" + what + told.substr(2) + ")";
      }
    }
    if (!holders.empty()) return " by " + holders.front();
    return " (open for exclusive use, or mounted where this helper cannot see)";
  }

 private:
  Udev& udev_;
  Swaps swaps_;
  MountTable mounts_;
};

}  // namespace

int claimBlockDevice(const std::string& node) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC | O_NOCTTY);
  return fd >= 0 ? fd : -errno;
}

HeldClaims::~HeldClaims() { release(); }

void HeldClaims::release() {
  for (const int fd : held_) ::close(fd);
  held_.clear();
}

std::string HeldClaims::claimAll(Udev& udev, const std::vector<ReaderDisk>& disks,
                                 const BlockDeviceClaim& claim, const SystemTables& sources) {
  for (const ReaderDisk& entry : disks) {
    const std::string node = entry.disk.devNode();
    const int fd = node.empty() ? -ENODEV : claim(node);
    if (fd >= 0) held_.push_back(fd);
    if (fd >= 0 || fd == -ENOMEDIUM) continue;
    release();
    const std::string at =
        entry.reader.empty() ? " of a card" : " below the reader " + entry.reader;
    if (fd != -EBUSY) {
      return "cannot claim " + entry.disk.sysName() + at + " (" +
             (node.empty() ? std::string("it has no device node") : node) +
             "): " + std::strerror(-fd);
    }
    // The disk's claim fails while any partition is claimed: the partition
    // in use is the one to name. Each is let go at once, as a claim of a
    // partition would in turn refuse the disk's.
    const UdevDevice* used = &entry.disk;
    const std::vector<UdevDevice> below = udev.blockDevicesBelow(entry.disk);
    for (const UdevDevice& part : below) {
      if (part.isWholeDisk() || part.devNode().empty()) continue;
      const int partFd = claim(part.devNode());
      if (partFd >= 0) ::close(partFd);
      if (partFd == -EBUSY) {
        used = &part;
        break;
      }
    }
    return used->sysName() + at + " is in use" + UseNames(udev, sources).of(*used);
  }
  return {};
}

}  // namespace pomrel::host
