#include "platform/linux/driverctl/reader_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>
#include <utility>
#include <vector>

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

// The marked readers; each mark elsewhere is told and passed over.
std::vector<Reader> findReaders(Udev& udev, const ReaderControl& control) {
  MarkedReaders marked = udev.markedReaders();
  for (const std::string& ignored : marked.ignored) {
    control.log(std::string("pomrel-driverctl: ignored the mark ") + kReaderProperty + " on " +
                ignored + ", which is neither a USB interface nor a PCI function\n");
  }
  std::vector<Reader> readers;
  for (UdevDevice& device : marked.readers) {
    std::string bus = device.subsystem();
    readers.push_back({std::move(device), std::move(bus)});
  }
  return readers;
}

// The disks that stopping `readers` takes away: those below them, and every
// card's disk, which is below a reader by definition (a driver's virtual
// disk has no reader above it in sysfs).
std::vector<ReaderDisk> disksOf(Udev& udev, const std::vector<Reader>& readers) {
  std::vector<ReaderDisk> disks;
  std::set<std::string> seen;
  for (const Reader& reader : readers) {
    for (UdevDevice& block : udev.blockDevicesBelow(reader.device)) {
      if (block.isWholeDisk() && seen.insert(block.sysPath()).second) {
        disks.push_back({std::move(block), reader.device.sysName()});
      }
    }
  }
  for (UdevDevice& disk : udev.wholeDisksWithProperty(kServiceProperty)) {
    if (seen.insert(disk.sysPath()).second) disks.push_back({std::move(disk), ""});
  }
  return disks;
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
  const std::vector<Reader> readers = findReaders(udev, control);
  if (std::none_of(readers.begin(), readers.end(),
                   [](const Reader& reader) { return !reader.device.driver().empty(); })) {
    return {};
  }
  // Before anything else: a reason to refuse that loses no data must not
  // hide one that would.
  HeldClaims claims;
  std::string inUse = claims.claimAll(udev, disksOf(udev, readers), control.claim, control.inUse);
  if (!inUse.empty()) return inUse;
  for (const Reader& reader : readers) {
    if (const SystemUse use = systemUseBelow(udev, reader.device, control.inUse)) {
      return "the reader " + reader.device.sysName() + " holds the system's own disk (" + use.what +
             ")";
    }
    // Some drivers offer no "unbind" (their bind files suppressed).
    if (!reader.device.driver().empty() &&
        ::access((reader.device.sysPath() + "/driver/unbind").c_str(), F_OK) != 0) {
      return "the driver of " + reader.device.sysName() + " cannot be stopped by its device";
    }
  }
  for (const Reader& reader : readers) {
    if (reader.device.driver().empty()) continue;
    const std::string unbind = reader.device.sysPath() + "/driver/unbind";
    if (const int error = control.write(unbind, reader.device.sysName()); error != 0) {
      return failedWrite(unbind, error);
    }
  }
  // The kernel unbinds before the write returns.
  for (const Reader& reader : readers) {
    if (bound(udev, reader)) {
      return "the reader " + reader.device.sysName() + " still has a driver";
    }
  }
  return {};
}

std::string bindReaders(const ReaderControl& control) {
  Udev udev;
  if (!udev.valid()) return "udev cannot be used";
  const std::vector<Reader> readers = findReaders(udev, control);
  std::vector<const Reader*> started;
  for (const Reader& reader : readers) {
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
