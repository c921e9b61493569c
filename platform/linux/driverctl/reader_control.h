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

namespace pomrel::host {

// Writes `value` to the sysfs attribute at `path` in one write; 0 on
// success, else the errno.
int writeSysfsAttribute(const std::string& path, const std::string& value);

struct ReaderControl {
  // Every write goes through this: the kernel's files on a real system.
  std::function<int(const std::string& path, const std::string& value)> write = writeSysfsAttribute;
  // The mount table that tells whether a disk below a reader is in use.
  std::string mountInfo = "/proc/self/mountinfo";
  // How long the start waits for the kernel to bind every reader again.
  std::chrono::milliseconds bindBound = std::chrono::seconds(10);
  // The active swap, part of what makes a disk the system's own.
  std::string swaps = "/proc/swaps";
};

// Unbinds every marked reader that has a driver, writing its name to its
// driver's "unbind" and nowhere else. "" when afterwards no marked reader
// has a driver (so "" too when no reader is connected: a reader unplugged
// with its card is stopped); else the reason. Refuses, writing nothing, when
// a marked device is neither a USB interface nor a PCI function, when a
// marked reader holds the system's own disk (system_disk.h), or when a
// filesystem of a block device below a marked device, or of a volume built on
// one (its holders, recursively), is mounted.
std::string unbindReaders(const ReaderControl& control = {});

// Asks the kernel to probe each marked reader without a driver, writing its
// name to its bus's "drivers_probe" and nowhere else, then waits until each
// has a driver again (at most `bindBound`). "" when each has; else the
// reason. Refuses a marked device of another kind, as the stop does.
std::string bindReaders(const ReaderControl& control = {});

}  // namespace pomrel::host
