#include "platform/linux/system_disk.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "platform/linux/block_holders.h"
#include "platform/linux/mount_table.h"
#include "platform/posix/file_reader.h"

namespace pomrel::host {
namespace {

constexpr const char* kSystemMountPoints[] = {"/", "/boot", "/boot/efi", "/usr", "/var", "/home"};

// A path as /proc writes it, with "\040" and the like for spaces and tabs.
std::string unescaped(const std::string& text) {
  std::string path;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string digits = text.substr(i + 1, 3);
    if (text[i] == '\\' && digits.size() == 3 &&
        digits.find_first_not_of("01234567") == std::string::npos) {
      path += static_cast<char>(std::stoi(digits, nullptr, 8));
      i += 3;
    } else {
      path += text[i];
    }
  }
  return path;
}

}  // namespace

Swaps readSwaps(const std::string& path) {
  Swaps swaps;
  std::istringstream lines(posix::readFile(path, posix::kSystemFileLimit).bytes);
  std::string line;
  std::getline(lines, line);  // "Filename Type Size Used Priority"
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, type;
    if (!(fields >> name >> type)) continue;
    name = unescaped(name);
    struct stat status = {};
    const bool known = ::stat(name.c_str(), &status) == 0;
    if (type == "partition") {
      swaps.nodes.insert(name);
      if (known && S_ISBLK(status.st_mode)) swaps.numbers.insert(status.st_rdev);
    } else if (known) {
      swaps.numbers.insert(status.st_dev);
    }
  }
  return swaps;
}

namespace {

// What of the system the block device `block` is; "" when nothing.
class SystemParts {
 public:
  SystemParts(Udev& udev, const MountTable& mounts, Swaps swaps)
      : mounts_(mounts), swaps_(std::move(swaps)) {
    for (const char* point : kSystemMountPoints) {
      for (const std::string& source : mounts.sourcesAt(point, "zfs")) {
        pools_.emplace(source.substr(0, source.find('/')), point);
      }
      // A btrfs filesystem names one of its devices as its source; the
      // others share its UUID.
      for (const std::string& source : mounts.sourcesAt(point, "btrfs")) {
        const UdevDevice named = udev.device("block", source.substr(source.rfind('/') + 1));
        if (auto uuid = named.property("ID_FS_UUID")) btrfs_.emplace(std::move(*uuid), point);
      }
    }
  }

  [[nodiscard]] std::string of(const UdevDevice& block) const {
    for (const std::string& point : mounts_.mountPointsOf(block)) {
      if (std::find(std::begin(kSystemMountPoints), std::end(kSystemMountPoints), point) !=
          std::end(kSystemMountPoints)) {
        return "mounted at " + point;
      }
    }
    if (swaps_.nodes.contains(block.devNode()) ||
        (block.devNumber() != 0 && swaps_.numbers.contains(block.devNumber()))) {
      return "active swap";
    }
    if (!pools_.empty() && block.property("ID_FS_TYPE") == "zfs_member") {
      const std::string label = block.property("ID_FS_LABEL").value_or("");
      if (label.empty()) {
        return "a member of a ZFS pool udev does not name, while " + pools_.begin()->second +
               " is on ZFS";
      }
      if (const auto pool = pools_.find(label); pool != pools_.end()) {
        return "a member of the ZFS pool " + label + ", mounted at " + pool->second;
      }
    }
    if (block.property("ID_FS_TYPE") == "btrfs") {
      if (const auto at = btrfs_.find(block.property("ID_FS_UUID").value_or(""));
          at != btrfs_.end()) {
        return "a device of the btrfs filesystem mounted at " + at->second;
      }
    }
    return {};
  }

 private:
  const MountTable& mounts_;
  Swaps swaps_;
  std::map<std::string, std::string> pools_;  // a system pool's name, a point it holds
  std::map<std::string, std::string> btrfs_;  // a system btrfs's UUID, a point it holds
};

}  // namespace

SystemUse systemUseBelow(Udev& udev, const UdevDevice& device, const SystemTables& tables) {
  MountTable mounts;
  if (!mounts.read(tables.mountInfo)) {
    return {"", "the mount table " + tables.mountInfo + " cannot be read"};
  }
  const SystemParts system(udev, mounts, readSwaps(tables.swaps));
  for (const UdevDevice& block : udev.blockDevicesBelow(device)) {
    const std::string disk =
        block.isWholeDisk() ? block.sysName() : block.parentWith("block", "disk").sysName();
    if (const std::string what = system.of(block); !what.empty()) {
      return {disk, block.sysName() + ": " + what};
    }
    if (!block.isWholeDisk()) continue;
    // The volumes built on the disk, and on those, with their partitions: a
    // holder's partitions have holders of their own.
    std::vector<std::string> pending = blockHolders(disk);
    std::set<std::string> seen(pending.begin(), pending.end());
    while (!pending.empty()) {
      const std::string holder = std::move(pending.back());
      pending.pop_back();
      for (const UdevDevice& part : udev.blockDevicesBelow(udev.device("block", holder))) {
        if (const std::string what = system.of(part); !what.empty()) {
          return {disk, part.sysName().append(" built on ").append(disk).append(": ").append(what)};
        }
      }
      for (std::string& next : blockHolders(holder)) {
        if (seen.insert(next).second) pending.push_back(std::move(next));
      }
    }
  }
  return {};
}

}  // namespace pomrel::host
