// Owners of libudev's objects (a context, a device, a monitor) with the few
// questions the host registry asks of them. This is the only header that
// names libudev's types, and only as incomplete types.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_device;
struct udev_monitor;

namespace pomrel::host {

// The udev property that marks a card reader's own device (its USB interface
// or its PCI function): the device Pomrel's driver control stops and starts.
inline constexpr const char* kReaderProperty = "POMREL_READER";
// The udev property that names the service a disk stands for: a card's disk
// carries it.
inline constexpr const char* kServiceProperty = "POMREL_SERVICE";

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
  [[nodiscard]] std::string subsystem() const;
  [[nodiscard]] std::string devType() const;
  // The driver bound to it now, read from sysfs at each call.
  [[nodiscard]] std::string driver() const;
  // Its device number; 0 for a device without one.
  [[nodiscard]] dev_t devNumber() const;
  // Its node in /dev, such as "/dev/sdb1".
  [[nodiscard]] std::string devNode() const;
  // A sysfs attribute's value, without its trailing newline.
  [[nodiscard]] std::optional<std::string> attribute(const char* name) const;
  // The nearest device above it of `subsystem` (and `devType`, when not
  // null); empty when there is none.
  [[nodiscard]] UdevDevice parentWith(const char* subsystem, const char* devType = nullptr) const;

 private:
  udev_device* device_ = nullptr;
};

// The devices marked with kReaderProperty="1" where a card reader can be: a
// USB interface or a PCI function. A mark anywhere else is a rule's mistake
// that nothing may act on: `ignored` describes each ("1-1 (usb/usb_device)").
struct MarkedReaders {
  std::vector<UdevDevice> readers;
  std::vector<std::string> ignored;
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
  // The devices of `subsystem` whose sysfs attribute `name` is `value`.
  std::vector<UdevDevice> devicesWithAttribute(const char* subsystem, const char* name,
                                               const std::string& value);
  MarkedReaders markedReaders();
  // The block devices (disks and partitions) at or below `parent` in sysfs.
  std::vector<UdevDevice> blockDevicesBelow(const UdevDevice& parent);
  // The device of `subsystem` named `sysName`; empty when there is none.
  UdevDevice device(const char* subsystem, const std::string& sysName);
  // The device at `sysPath` as sysfs has it now; empty when there is none.
  UdevDevice deviceAt(const std::string& sysPath);

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

  enum class Received : std::uint8_t {
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
