// Stopping and starting the marked card readers: the devices udev marks with
// POMREL_READER="1" (a USB reader's mass-storage interface, or a card's PCI
// function). A reader is stopped by unbinding it from its kernel driver, so
// its disk goes while every other disk of the machine stays, and started by
// letting the kernel probe it again. The readers are found here, through
// udev; nothing names them from outside.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/linux/diagnostics.h"
#include "platform/linux/driverctl/disk_claims.h"

namespace pomrel::host {

// Writes `value` to the sysfs attribute at `path` in one write; 0 on
// success, else the errno.
int writeSysfsAttribute(const std::string& path, const std::string& value);

struct ReaderControl {
  // Every write goes through this: the kernel's files on a real system.
  std::function<int(const std::string& path, const std::string& value)> write = writeSysfsAttribute;
  // Every exclusive claim of a block device goes through this: the kernel's
  // on a real system.
  BlockDeviceClaim claim = claimBlockDevice;
  // Where a refusal finds the names of what uses a disk, and the system's
  // own mounts and swap.
  SystemTables inUse;
  // Where a mark on a device that cannot be a reader is told.
  Diagnostics log = toStandardError;
  // How long the start waits for the kernel to bind every reader again.
  std::chrono::milliseconds bindBound = std::chrono::seconds(10);
};

// Marks on devices that are neither USB interfaces nor PCI functions are
// told to `log` and otherwise ignored, by the stop and the start alike.
//
// Unbinds every marked reader that has a driver, writing its name to its
// driver's "unbind" and nowhere else. "" when afterwards no marked reader
// has a driver (so "" too when no reader is connected: a reader unplugged
// with its card is stopped); else the reason. First of all, it claims every
// disk below the readers, and every disk carrying kServiceProperty, for
// exclusive use (disk_claims.h), and refuses, writing nothing, when one is in
// use; the claims are held until the unbinds are written. It refuses too,
// writing nothing, when a marked reader holds the system's own disk
// (system_disk.h), or when a reader's driver has no "unbind".
std::string unbindReaders(const ReaderControl& control = {});

// Asks the kernel to probe each marked reader without a driver, writing its
// name to its bus's "drivers_probe" and nowhere else, then waits until each
// has a driver again (at most `bindBound`). "" when each has; else the
// reason.
std::string bindReaders(const ReaderControl& control = {});

}  // namespace pomrel::host
