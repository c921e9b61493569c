#include "platform/linux/driverctl/reader_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/block_holders.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/system_disk.h"
#include "platform/linux/udev_device.h"

namespace pomrel::host {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto kBindPoll = std::chrono::milliseconds(50);

// A marked device with the bus whose drivers_probe starts it.
struct Reader {
  UdevDevice device;
  std::string bus;
};

struct Readers {
  std::vector<Reader> found;
  std::string refusal;  // "" when every marked device may be stopped
};

std::string describe(const UdevDevice& device) {
  return device.sysName() + " (" + device.subsystem() +
         (device.devType().empty() ? "" : "/" + device.devType()) + ")";
}

// The marked devices, and why they may not be stopped (`stopping`) or
// started, if they may not.
Readers findReaders(Udev& udev, const ReaderControl& control, bool stopping) {
  Readers readers;
  MountTable mounts;
  bool mountsRead = false;
  for (UdevDevice& device : udev.devicesWithProperty(kReaderProperty, "1")) {
    std::string bus;
    if (device.subsystem() == "usb" && device.devType() == "usb_interface") bus = "usb";
    if (device.subsystem() == "pci") bus = "pci";
    if (bus.empty()) {
      readers.refusal =
          "a marked device is neither a USB interface nor a PCI function: " + describe(device);
      return readers;
    }
    if (const SystemUse use = stopping
                                  ? systemUseBelow(udev, device, {control.mountInfo, control.swaps})
                                  : SystemUse();
        use) {
      readers.refusal =
          "the reader " + device.sysName() + " holds the system's own disk (" + use.what + ")";
      return readers;
    }
    for (const UdevDevice& block :
         stopping ? udev.blockDevicesBelow(device) : std::vector<UdevDevice>()) {
      if (!mountsRead && !(mountsRead = mounts.read(control.mountInfo))) {
        readers.refusal = "the mount table cannot be read";
        return readers;
      }
      // A volume built on the card (LVM, MD, dm-crypt) would lose its disk
      // as surely as a filesystem on it.
      std::string volume = block.sysName();
      std::vector<std::string> points = mounts.mountPointsOf(block);
      for (const std::string& holder : blockHolders(block.sysName())) {
        if (!points.empty()) break;
        volume = holder + " (built on " + block.sysName() + ")";
        points = mounts.mountPointsOf(udev.device("block", holder));
      }
      if (!points.empty()) {
        readers.refusal =
            volume + " below the reader " + device.sysName() + " is mounted at " + points.front();
        return readers;
      }
    }
    readers.found.push_back({std::move(device), bus});
  }
  return readers;
}

// Whether `reader` has a driver now (a fresh look: a device keeps what it
// read once).
bool bound(Udev& udev, const Reader& reader) {
  return !udev.deviceAt(reader.device.sysPath()).driver().empty();
}

std::string failedWrite(const std::string& path, int error) {
  return "cannot write " + path + ": " + std::strerror(error);
}

}  // namespace

int writeSysfsAttribute(const std::string& path, const std::string& value) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) return errno;
  const ssize_t written = ::write(fd, value.data(), value.size());
  int error = written < 0 ? errno : (static_cast<std::size_t>(written) == value.size() ? 0 : EIO);
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

std::string unbindReaders(const ReaderControl& control) {
  Udev udev;
  if (!udev.valid()) return "udev cannot be used";
  const Readers readers = findReaders(udev, control, true);
  if (!readers.refusal.empty()) return readers.refusal;
  for (const Reader& reader : readers.found) {
    if (reader.device.driver().empty()) continue;
    const std::string unbind = reader.device.sysPath() + "/driver/unbind";
    if (const int error = control.write(unbind, reader.device.sysName()); error != 0) {
      return failedWrite(unbind, error);
    }
  }
  // The kernel unbinds before the write returns.
  for (const Reader& reader : readers.found) {
    if (bound(udev, reader)) {
      return "the reader " + reader.device.sysName() + " still has a driver";
    }
  }
  return {};
}

std::string bindReaders(const ReaderControl& control) {
  Udev udev;
  if (!udev.valid()) return "udev cannot be used";
  const Readers readers = findReaders(udev, control, false);
  if (!readers.refusal.empty()) return readers.refusal;
  std::vector<const Reader*> started;
  for (const Reader& reader : readers.found) {
    if (!reader.device.driver().empty()) continue;
    const std::string probe = "/sys/bus/" + reader.bus + "/drivers_probe";
    if (const int error = control.write(probe, reader.device.sysName()); error != 0) {
      return failedWrite(probe, error);
    }
    started.push_back(&reader);
  }
  const auto deadline = SteadyClock::now() + control.bindBound;
  for (const Reader* reader : started) {
    while (!bound(udev, *reader)) {
      if (SteadyClock::now() >= deadline) {
        return "the reader " + reader->device.sysName() + " has no driver after " +
               std::to_string(control.bindBound.count()) + " ms";
      }
      std::this_thread::sleep_for(kBindPoll);
    }
  }
  return {};
}

}  // namespace pomrel::host
