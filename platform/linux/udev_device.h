// Owners of libudev's objects (a context, a device, a monitor) with the few
// questions the host registry asks of them. This is the only header that
// names libudev's types, and only as incomplete types.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_device;
struct udev_monitor;

namespace pomrel::host {

// One reference to a udev device; empty when default-made or moved from.
class UdevDevice {
 public:
  UdevDevice() = default;
  // Takes over the caller's reference to `device` (which may be null).
  explicit UdevDevice(udev_device* device) : device_(device) {}
  UdevDevice(UdevDevice&& other) noexcept : device_(other.device_) { other.device_ = nullptr; }
  UdevDevice& operator=(UdevDevice&& other) noexcept;
  UdevDevice(const UdevDevice&) = delete;
  UdevDevice& operator=(const UdevDevice&) = delete;
  ~UdevDevice();

  explicit operator bool() const { return device_ != nullptr; }

  // Each of these is "" (or nullopt) when the device does not say.
  [[nodiscard]] std::string sysPath() const;
  [[nodiscard]] std::string sysName() const;
  // The event's action ("add", "change", "remove", ...) for a device that a
  // monitor received.
  [[nodiscard]] std::string action() const;
  // The kernel's sequence number of the event, for a device that a monitor
  // received; 0 when there is none.
  [[nodiscard]] unsigned long long sequenceNumber() const;
  // A property as udev stores it: the kernel's and those that rules set.
  [[nodiscard]] std::optional<std::string> property(const char* key) const;
  // Subsystem "block" and devtype "disk": a whole disk, not a partition.
  [[nodiscard]] bool isWholeDisk() const;

 private:
  udev_device* device_ = nullptr;
};

// A libudev context.
class Udev {
 public:
  Udev();
  Udev(const Udev&) = delete;
  Udev& operator=(const Udev&) = delete;
  ~Udev();

  // False when libudev could not make a context; nothing else then works.
  [[nodiscard]] bool valid() const { return udev_ != nullptr; }
  [[nodiscard]] udev* get() const { return udev_; }

  // The whole block disks that carry the property `key` (any value), as the
  // udev database has them now.
  std::vector<UdevDevice> wholeDisksWithProperty(const char* key);

 private:
  udev* udev_ = nullptr;
};

// A monitor of the events udev has finished processing for block devices
// (the "udev" netlink source), non-blocking, with a receive buffer large
// enough for bursts. An overflow of the buffer is reported, never hidden.
class UdevMonitor {
 public:
  explicit UdevMonitor(Udev& udev);
  UdevMonitor(const UdevMonitor&) = delete;
  UdevMonitor& operator=(const UdevMonitor&) = delete;
  ~UdevMonitor();

  // False when the monitor could not be set up (no netlink, for example).
  [[nodiscard]] bool valid() const { return monitor_ != nullptr; }
  // Readable while events are waiting; -1 when not valid.
  [[nodiscard]] int descriptor() const;

  enum class Received {
    kDevice,    // `device` holds the next event's device
    kNone,      // nothing is waiting
    kOverflow,  // events were lost; the ones still waiting predate the loss
  };
  Received receive(UdevDevice& device);

  // Reads and drops everything waiting.
  void discardPending();

 private:
  udev_monitor* monitor_ = nullptr;
};

}  // namespace pomrel::host
