// Whether a device holds the running system's own disk: the one check that
// pomrel-diskutil's eject, its rule printer and the privileged helper share,
// so that none of them ever ejects, marks or stops the machine's own disk or
// its controller.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

#include "platform/linux/udev_device.h"

namespace pomrel::host {

// Where the running system says what it uses.
struct SystemTables {
  std::string mountInfo = "/proc/self/mountinfo";
  std::string swaps = "/proc/swaps";  // absent on a kernel without swap: no swap
};

// The active swap listed in `path` (/proc/swaps): the partitions by their
// nodes in /dev, and the device numbers of the partitions and of the
// filesystems that hold swap files. Empty when the list cannot be read.
struct Swaps {
  std::set<std::string> nodes;
  std::set<dev_t> numbers;
};
Swaps readSwaps(const std::string& path);

// What of the system a device holds; empty when nothing.
struct SystemUse {
  std::string disk;  // the whole disk at or below the device that holds it ("sda")
  std::string what;  // what it holds, as a person reads it ("sda2: mounted at /home")
  explicit operator bool() const { return !what.empty(); }
};

// Whether a block device at or below `device` (a disk, a partition, a USB or
// PCI device above disks), or a volume built on one of them (its holders in
// sysfs, recursively, with their partitions: LVM, MD, dm-crypt), is part of
// the running system:
// - mounted at /, /boot, /boot/efi, /usr, /var or /home, matched by device
//   number, or by the source a filesystem without a number of its own (btrfs)
//   was mounted from;
// - active swap, a swap partition by its node in /dev, a swap file by the
//   device number of the filesystem that holds it;
// - a member of a ZFS pool mounted at one of those points. ZFS datasets are
//   mounted with an anonymous device number and the dataset's name as the
//   source ("rpool/ROOT/debian"), and ZFS registers no holders, so the pool's
//   disks are found by what blkid records in udev: ID_FS_TYPE "zfs_member"
//   and the pool's name as ID_FS_LABEL. A member whose label udev does not
//   know counts as the system's pool's while any system mount point is ZFS.
// - a device of a btrfs filesystem mounted at one of those points: the
//   mount table names one device of a filesystem that spans several, and
//   udev gives each the filesystem's ID_FS_UUID.
// When the mount table cannot be read, everything counts as the system's:
// `what` says so and `disk` is empty.
SystemUse systemUseBelow(Udev& udev, const UdevDevice& device, const SystemTables& tables = {});

}  // namespace pomrel::host
