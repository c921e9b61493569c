// What pomrel-diskutil learns about a disk from udev and sysfs before it
// asks udisks2 anything (DiskFacts, eject.h).
#pragma once

#include <string>
#include <vector>

#include "platform/linux/diskutil/eject.h"
#include "platform/linux/system_disk.h"

namespace pomrel::host::diskutil {

// The facts about the block device `kernelName` as the udev database holds
// them now, and what of the system it holds, as `system`'s tables say. A
// disk udev does not know is not the card's.
DiskFacts readDiskFacts(const std::string& kernelName, const SystemTables& system = {});

}  // namespace pomrel::host::diskutil
