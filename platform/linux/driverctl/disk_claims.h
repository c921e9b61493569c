// Whether the kernel would let the card readers' disks go, asked the way the
// kernel itself decides: by claiming each disk for exclusive use. A mount in
// any mount namespace, active swap, a volume built on the disk (device-mapper,
// MD, btrfs, ZFS) and any other exclusive opener all hold such a claim, on
// the disk or on one of its partitions, and either refuses a claim of the
// whole disk. A held claim of the whole disk in turn refuses every new claim
// of its partitions, so nothing can start using the card until it is let go.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/linux/system_disk.h"
#include "platform/linux/udev_device.h"

namespace pomrel::host {

// Opens the block device node `node` read-only for exclusive use: the
// descriptor, or minus the errno (-EBUSY: in use; -ENOMEDIUM: a slot with
// no card).
int claimBlockDevice(const std::string& node);
using BlockDeviceClaim = std::function<int(const std::string& node)>;

// A disk to let go, and the reader it is below ("" for a card's disk found
// by its mark alone, such as a driver's virtual disk).
struct ReaderDisk {
  UdevDevice disk;
  std::string reader;
};

// The claims held; each descriptor is closed when this is destroyed.
class HeldClaims {
 public:
  HeldClaims() = default;
  HeldClaims(const HeldClaims&) = delete;
  HeldClaims& operator=(const HeldClaims&) = delete;
  ~HeldClaims();

  // Claims every disk of `disks` through `claim` and keeps the claims. ""
  // when each is free (or has no medium); else, with nothing kept, why not:
  // the device in use (the partition when one is, else the disk) and, when
  // the mount table, the swap list or the disk's holders tell it, by what
  // ("sdb1 below the reader 2-1:1.0 is in use: mounted at /media/card").
  std::string claimAll(Udev& udev, const std::vector<ReaderDisk>& disks,
                       const BlockDeviceClaim& claim, const SystemTables& sources);

 private:
  void release();

  std::vector<int> held_;
};

}  // namespace pomrel::host
