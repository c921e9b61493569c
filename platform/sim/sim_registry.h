// The device registry over the simulated machine's registry folder (see
// simulator/registry_store.h for its files).
//
// Lookups read only the folder of the name asked for. A service handle names
// one published entry (name and entry ID); it stays a valid handle after the
// service terminates, but its properties can no longer be read.
//
// Notification ports watch the folders of the services they have interest in
// with inotify. A port's run-loop descriptor is an epoll descriptor over its
// inotify descriptor and an eventfd, so it also becomes readable for work the
// port queues itself (a service that had already terminated when the interest
// was registered). perform() reads the folders afresh, so no event can be
// lost between two performs. Nothing here polls, sleeps or starts a thread.
//
// A message file is consumed by the first port that delivers it; messages
// sent before a registration was made are not delivered to it. A first-match
// registration watches its name's folder (made if no service of that name was
// ever published) and delivers each entry whose ID is above the highest it has
// seen, so each service once, as entry IDs only rise.
#pragma once

#include <memory>
#include <string>

#include "platform/device_registry.h"
#include "platform/registry_objects.h"
#include "platform/sim/machine_paths.h"
#include "simulator/registry_store.h"

namespace pomrel::sim {

class SimNotificationPort;

class SimRegistry : public DeviceRegistry {
 public:
  explicit SimRegistry(const MachinePaths& paths);
  // Ends every registration and destroys every port still open; handles
  // given out become meaningless.
  ~SimRegistry() override;
  SimRegistry(const SimRegistry&) = delete;
  SimRegistry& operator=(const SimRegistry&) = delete;

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

 private:
  friend class SimNotificationPort;

  struct ServiceObject {
    std::string name;
    EntryId id = 0;
  };
  struct Registration {
    std::string name;
    // The watched service; for a first-match registration, the highest entry
    // ID it has seen.
    EntryId id = 0;
    // The port delivering it; null once that port is destroyed.
    SimNotificationPort* port = nullptr;
    int watch = -1;
    IOServiceInterestCallback callback = nullptr;
    void* refcon = nullptr;
    // Handle of the service as passed to the callback; owned by the
    // registration.
    io_service_t service = 0;
    // Messages with this sequence number or lower are not for it.
    std::uint64_t lastSequence = 0;
    bool terminated = false;
    // Set for a first-match registration, which `callback` is not.
    IOServiceMatchingCallback matched = nullptr;
  };

  // Drops a registration's watch as it is detached.
  static void dropWatch(Registration& registration);
  // Delivers what is pending for the port's registrations (its perform).
  void deliver(SimNotificationPort& port);
  // Delivers the services that began to match; false once the port is
  // destroyed.
  bool deliverMatches(SimNotificationPort& port, const std::vector<io_object_t>& handles);

  RegistryStore store_;
  RegistryObjects<ServiceObject, Registration, SimNotificationPort> objects_;
};

}  // namespace pomrel::sim
