// The volumes built on a disk (LVM, MD, dm-crypt): its holders in sysfs.
#pragma once

#include <string>
#include <vector>

namespace pomrel::host {

// The kernel names of the holders of the disk `kernelName` and of its
// partitions, and of theirs, recursively, each once, from `sysRoot`/block.
// A holders folder that cannot be read has none.
std::vector<std::string> blockHolders(const std::string& kernelName,
                                      const std::string& sysRoot = "/sys");

// The same for the one device (a disk or a partition) at `sysPath`: its
// holders, then theirs.
std::vector<std::string> holdersOf(const std::string& sysPath, const std::string& sysRoot = "/sys");

}  // namespace pomrel::host
