// The device registry of a Linux host, over udev.
//
// A service is a whole block disk (subsystem "block", devtype "disk") with a
// medium in it (its size above 0) whose udev property POMREL_SERVICE holds the
// service's name; a udev rule of the installation sets that property on the
// card reader's disks. Its one property is "BSD Name", the kernel's name of
// the disk ("sdb", "mmcblk0", "loop7"). With several matches, the first is the
// one udev initialised first (USEC_INITIALIZED), so the same one is answered
// while they all stay.
//
// A device is identified by its sys path, its initialisation time and, where
// the kernel numbers media (DISKSEQ), its medium: the same name appearing
// again later is another service.
//
// Lookups answer from a table of the disks that carry the property, kept by a
// udev monitor of the registry's own that is read (without blocking) at every
// lookup, so their cost does not grow with the number of other block devices;
// whether a medium is present is read from the disk's size at each lookup.
// The table is filled once when the registry is made, after its monitor
// started, so no event can fall between the two; a monitor that overflowed
// (events lost) makes the registry list the devices again. The events the
// ports' monitors read are applied to the table too (in the kernel's order,
// whichever monitor read them first), so once a watch has been told that its
// disk went, no lookup finds that disk.
//
// Each notification port owns a udev monitor; its run-loop descriptor is an
// epoll descriptor over that monitor and an eventfd, so it also becomes
// readable for work the port queues itself (a service that had already ended
// when the interest was registered). The termination message goes out exactly
// once per registration: when the watched device is removed, or after a
// change that leaves it no longer matching (the property gone, the medium
// gone, another medium or device at its path). Changes after which it still
// matches, and other devices' events, deliver nothing. A first-match
// registration is called once for each disk that begins to match after it was
// made (added with the property and a medium, given a medium, or another
// device at a matching path), judged from the port's monitor like the
// termination. Nothing here polls, sleeps or starts a thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_registry.h"
#include "platform/linux/udev_device.h"
#include "platform/registry_objects.h"

namespace pomrel::host {

class LinuxNotificationPort;

class LinuxRegistry : public DeviceRegistry {
 public:
  LinuxRegistry();
  // Ends every registration and destroys every port still open.
  ~LinuxRegistry() override;
  LinuxRegistry(const LinuxRegistry&) = delete;
  LinuxRegistry& operator=(const LinuxRegistry&) = delete;

  // False when udev cannot be used at all here (no context or no monitor):
  // then no service is ever found and no port can be made.
  [[nodiscard]] bool usable() const { return monitor_.valid(); }

  std::optional<MatchingDictionary> serviceNameMatching(const char* name) override;
  io_service_t getMatchingService(MatchingDictionary matching) override;
  kern_return_t createProperties(io_service_t service, PropertyDictionary& properties) override;
  kern_return_t release(io_object_t object) override;

  IONotificationPortRef notificationPortCreate() override;
  RunLoopSource* notificationPortGetRunLoopSource(IONotificationPortRef port) override;
  void notificationPortDestroy(IONotificationPortRef port) override;
  kern_return_t addInterestNotification(IONotificationPortRef port, io_service_t service,
                                        const char* interestType,
                                        IOServiceInterestCallback callback, void* refcon,
                                        io_object_t* notification) override;
  kern_return_t addMatchingNotification(IONotificationPortRef port, const char* notificationType,
                                        MatchingDictionary matching,
                                        IOServiceMatchingCallback callback, void* refcon,
                                        io_object_t* notification) override;

  // Handles currently given out and not released (for leak checks).
  [[nodiscard]] std::size_t liveHandleCount() const { return objects_.liveHandleCount(); }
  // Devices whose last event is on record; a removed device is forgotten.
  [[nodiscard]] std::size_t knownDeviceCount() const { return applied_.size(); }

 private:
  friend class LinuxNotificationPort;

  // A disk that carries the service property, as udev last described it.
  struct Disk {
    std::string sysPath;
    std::uint64_t initialized = 0;
    std::string diskSeq;
    std::string sysName;
    std::string serviceName;
    [[nodiscard]] bool sameDevice(const Disk& other) const {
      return sysPath == other.sysPath && initialized == other.initialized &&
             diskSeq == other.diskSeq;
    }
  };
  struct Registration {
    Disk disk;
    // The port delivering it; null once that port is destroyed.
    LinuxNotificationPort* port = nullptr;
    IOServiceInterestCallback callback = nullptr;
    void* refcon = nullptr;
    // Handle of the service as passed to the callback; owned by the
    // registration.
    io_service_t service = 0;
    bool ended = false;      // the service is gone; the message is due
    bool delivered = false;  // the message went out
    // Set for a first-match registration, which `callback` and `disk` are
    // not: the service name it matches, the disks that match now (by sys
    // path), and those that began to match, due to be delivered.
    IOServiceMatchingCallback matched = nullptr;
    std::string matchName;
    std::map<std::string, Disk> matching;
    std::vector<Disk> appeared;
  };

  static std::optional<Disk> diskOf(const UdevDevice& device);
  static bool hasMedium(const std::string& sysPath);
  // Whether the event on `device` ends a registration on `disk`.
  static bool ends(const Disk& disk, const UdevDevice& device);
  // Whether a removal event on `disk`'s path is that disk's own, not that of
  // an earlier device at the same path.
  static bool removalOf(const Disk& disk, const UdevDevice& device);

  // Brings the table up to date with the events waiting on the monitor.
  void refresh();
  // Applies one event to the table, unless a later one for its device has
  // been applied already.
  void apply(const UdevDevice& device);
  void relist();
  // `disk` is in the table, unchanged, with a medium.
  bool stillPresent(const Disk& disk);
  // The disks in the table that carry service `name` and a medium.
  std::map<std::string, Disk> matchingNow(const std::string& name);
  // Notes in `registration` (first-match) a disk that the event on `device`
  // makes begin to match, or forgets one that stops matching.
  static void judgeMatch(Registration& registration, const UdevDevice& device);

  // Reads the port's events and delivers what is due (its perform).
  void deliver(LinuxNotificationPort& port);

  Udev udev_;
  UdevMonitor monitor_;
  std::map<std::string, Disk> disks_;  // by sys path
  // The sequence number of the last event applied, by sys path of the
  // devices not removed since.
  std::map<std::string, unsigned long long> applied_;
  RegistryObjects<Disk, Registration, LinuxNotificationPort> objects_;
};

}  // namespace pomrel::host
