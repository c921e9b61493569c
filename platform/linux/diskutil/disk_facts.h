// What pomrel-diskutil learns about a disk from udev and sysfs before it
// asks udisks2 anything (DiskFacts, eject.h).
#pragma once

#include <string>
#include <vector>

#include "platform/linux/diskutil/eject.h"

namespace pomrel::host::diskutil {

// The facts about the block device `kernelName` as the udev database holds
// them now, and its holders under `sysRoot`/block. A disk udev does not know
// is not the card's; a holders folder that cannot be read has no holders.
DiskFacts readDiskFacts(const std::string& kernelName, const std::string& sysRoot = "/sys");

}  // namespace pomrel::host::diskutil
