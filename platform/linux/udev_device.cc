#include "platform/linux/udev_device.h"

#include <libudev.h>

#include <cerrno>
#include <cstring>

namespace pomrel::host {
namespace {

// Enough for thousands of events between two reads: the registry's own
// monitor is read only at lookups. udev keeps the kernel's limit when the
// process may not raise it; an overflow is then reported and recovered from.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

std::string text(const char* value) { return value != nullptr ? value : ""; }

}  // namespace

UdevDevice& UdevDevice::operator=(UdevDevice&& other) noexcept {
  if (this != &other) {
    if (device_ != nullptr) udev_device_unref(device_);
    device_ = other.device_;
    other.device_ = nullptr;
  }
  return *this;
}

UdevDevice::~UdevDevice() {
  if (device_ != nullptr) udev_device_unref(device_);
}

std::string UdevDevice::sysPath() const {
  return device_ != nullptr ? text(udev_device_get_syspath(device_)) : "";
}

std::string UdevDevice::sysName() const {
  return device_ != nullptr ? text(udev_device_get_sysname(device_)) : "";
}

std::string UdevDevice::action() const {
  return device_ != nullptr ? text(udev_device_get_action(device_)) : "";
}

unsigned long long UdevDevice::sequenceNumber() const {
  return device_ != nullptr ? udev_device_get_seqnum(device_) : 0;
}

std::optional<std::string> UdevDevice::property(const char* key) const {
  const char* value = device_ != nullptr ? udev_device_get_property_value(device_, key) : nullptr;
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool UdevDevice::isWholeDisk() const {
  if (device_ == nullptr) return false;
  const char* subsystem = udev_device_get_subsystem(device_);
  const char* type = udev_device_get_devtype(device_);
  return subsystem != nullptr && type != nullptr && std::strcmp(subsystem, "block") == 0 &&
         std::strcmp(type, "disk") == 0;
}

std::string UdevDevice::subsystem() const {
  return device_ != nullptr ? text(udev_device_get_subsystem(device_)) : "";
}

std::string UdevDevice::devType() const {
  return device_ != nullptr ? text(udev_device_get_devtype(device_)) : "";
}

std::string UdevDevice::driver() const {
  return device_ != nullptr ? text(udev_device_get_driver(device_)) : "";
}

dev_t UdevDevice::devNumber() const {
  return device_ != nullptr ? udev_device_get_devnum(device_) : 0;
}

std::string UdevDevice::devNode() const {
  return device_ != nullptr ? text(udev_device_get_devnode(device_)) : "";
}

std::optional<std::string> UdevDevice::attribute(const char* name) const {
  const char* value = device_ != nullptr ? udev_device_get_sysattr_value(device_, name) : nullptr;
  if (value == nullptr) return std::nullopt;
  std::string trimmed = value;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  return trimmed;
}

UdevDevice UdevDevice::parentWith(const char* subsystem, const char* devType) const {
  if (device_ == nullptr) return {};
  // The parent belongs to this device; the new owner takes a reference of
  // its own.
  udev_device* parent = udev_device_get_parent_with_subsystem_devtype(device_, subsystem, devType);
  return UdevDevice(parent != nullptr ? udev_device_ref(parent) : nullptr);
}

Udev::Udev() : udev_(udev_new()) {}

Udev::~Udev() {
  if (udev_ != nullptr) udev_unref(udev_);
}

namespace {

// The devices an enumeration that `match` sets up finds; none when a match
// cannot be added or the scan fails.
template <typename Match>
std::vector<UdevDevice> enumerateDevices(udev* context, const Match& match) {
  std::vector<UdevDevice> devices;
  if (context == nullptr) return devices;
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (enumerate == nullptr) return devices;
  if (match(enumerate) && udev_enumerate_scan_devices(enumerate) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
      UdevDevice device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
      if (device) devices.push_back(std::move(device));
    }
  }
  udev_enumerate_unref(enumerate);
  return devices;
}

}  // namespace

std::vector<UdevDevice> Udev::wholeDisksWithProperty(const char* key) {
  std::vector<UdevDevice> disks = enumerateDevices(udev_, [key](udev_enumerate* enumerate) {
    return udev_enumerate_add_match_subsystem(enumerate, "block") >= 0 &&
           udev_enumerate_add_match_property(enumerate, key, "*") >= 0;
  });
  std::erase_if(disks, [](const UdevDevice& device) { return !device.isWholeDisk(); });
  return disks;
}

MarkedReaders Udev::markedReaders() {
  MarkedReaders marked;
  // Every subsystem is searched, so that a stray mark is told, not silently
  // passed over.
  for (UdevDevice& device : enumerateDevices(udev_, [](udev_enumerate* enumerate) {
         return udev_enumerate_add_match_property(enumerate, kReaderProperty, "1") >= 0;
       })) {
    const std::string subsystem = device.subsystem();
    const std::string type = device.devType();
    if ((subsystem == "usb" && type == "usb_interface") || subsystem == "pci") {
      marked.readers.push_back(std::move(device));
    } else {
      marked.ignored.push_back(device.sysName() + " (" + subsystem +
                               (type.empty() ? "" : "/" + type) + ")");
    }
  }
  return marked;
}

std::vector<UdevDevice> Udev::devicesWithAttribute(const char* subsystem, const char* name,
                                                   const std::string& value) {
  return enumerateDevices(udev_, [&](udev_enumerate* enumerate) {
    return udev_enumerate_add_match_subsystem(enumerate, subsystem) >= 0 &&
           udev_enumerate_add_match_sysattr(enumerate, name, value.c_str()) >= 0;
  });
}

std::vector<UdevDevice> Udev::blockDevicesBelow(const UdevDevice& parent) {
  udev_device* below = parent && udev_ != nullptr
                           ? udev_device_new_from_syspath(udev_, parent.sysPath().c_str())
                           : nullptr;
  if (below == nullptr) return {};
  std::vector<UdevDevice> devices = enumerateDevices(udev_, [below](udev_enumerate* enumerate) {
    return udev_enumerate_add_match_subsystem(enumerate, "block") >= 0 &&
           udev_enumerate_add_match_parent(enumerate, below) >= 0;
  });
  udev_device_unref(below);
  return devices;
}

UdevDevice Udev::device(const char* subsystem, const std::string& sysName) {
  if (udev_ == nullptr) return {};
  return UdevDevice(udev_device_new_from_subsystem_sysname(udev_, subsystem, sysName.c_str()));
}

UdevDevice Udev::deviceAt(const std::string& sysPath) {
  if (udev_ == nullptr) return {};
  return UdevDevice(udev_device_new_from_syspath(udev_, sysPath.c_str()));
}

UdevMonitor::UdevMonitor(Udev& udev) {
  if (!udev.valid()) return;
  monitor_ = udev_monitor_new_from_netlink(udev.get(), "udev");
  if (monitor_ == nullptr) return;
  // Filtered in the kernel, so partitions' and other subsystems' events never
  // wake the reader. Too small a buffer is not fatal, so its result is not
  // checked.
  udev_monitor_set_receive_buffer_size(monitor_, kReceiveBufferBytes);
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", "disk") < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
  }
}

UdevMonitor::~UdevMonitor() {
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
}

int UdevMonitor::descriptor() const {
  return monitor_ != nullptr ? udev_monitor_get_fd(monitor_) : -1;
}

UdevMonitor::Received UdevMonitor::receive(UdevDevice& device) {
  if (monitor_ == nullptr) return Received::kNone;
  // libudev reads until it has a device that passes the filter, or until the
  // socket is empty (EAGAIN) or fails.
  errno = 0;
  udev_device* next = udev_monitor_receive_device(monitor_);
  if (next != nullptr) {
    device = UdevDevice(next);
    return Received::kDevice;
  }
  return errno == ENOBUFS ? Received::kOverflow : Received::kNone;
}

void UdevMonitor::discardPending() {
  UdevDevice ignored;
  while (receive(ignored) != Received::kNone) {
  }
}

}  // namespace pomrel::host
