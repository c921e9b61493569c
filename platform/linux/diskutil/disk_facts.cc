#include "platform/linux/diskutil/disk_facts.h"

#include <dirent.h>

#include <set>
#include <string_view>

#include "media/sxs_driver.h"
#include "platform/linux/registry.h"
#include "platform/linux/udev_device.h"

namespace pomrel::host::diskutil {

namespace {

// The names in `folder`, without "." and "..": none when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

}  // namespace

std::vector<std::string> diskHolders(const std::string& kernelName, const std::string& sysRoot) {
  const std::string block = sysRoot + "/block/";
  const std::string disk = block + kernelName + "/";
  std::vector<std::string> pending{disk + "holders"};
  // A partition's folder inside the disk's is named after the disk.
  for (const std::string& entry : folderEntries(disk)) {
    if (entry.starts_with(kernelName)) pending.push_back(disk + entry + "/holders");
  }
  std::set<std::string> seen;
  std::vector<std::string> holders;
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    for (std::string& name : folderEntries(folder)) {
      if (!seen.insert(name).second) continue;
      pending.push_back(block + name + "/holders");
      holders.push_back(std::move(name));
    }
  }
  return holders;
}

DiskFacts readDiskFacts(const std::string& kernelName, const std::string& sysRoot) {
  DiskFacts facts;
  Udev udev;
  if (const UdevDevice disk = udev.device("block", kernelName)) {
    facts.isCard = disk.property(kServiceProperty) == kSxSMediaServiceName;
    // What a rule marks as a reader: a USB reader's interface, or the PCI
    // function of a card that is itself the device.
    facts.underMarkedReader =
        disk.parentWith("usb", "usb_interface").property(kReaderProperty) == "1" ||
        disk.parentWith("pci").property(kReaderProperty) == "1";
  }
  facts.holders = diskHolders(kernelName, sysRoot);
  return facts;
}

}  // namespace pomrel::host::diskutil
