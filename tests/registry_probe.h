// Looking up and watching a device registry's media service from a test, as
// the core does: shared by the tests of every registry backend.
#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/device_registry.h"

namespace pomrel::testing {

inline const std::vector<natural_t> kTerminated{kIOMessageServiceIsTerminated};

// What a registration received; `then` runs inside the callback.
struct Inbox {
  std::vector<natural_t> messages;
  std::function<void()> then;
};

inline void record(void* refcon, io_service_t /*service*/, natural_t type, void* /*argument*/) {
  auto* inbox = static_cast<Inbox*>(refcon);
  inbox->messages.push_back(type);
  if (inbox->then) inbox->then();
}

// The "BSD Name" of the first service named `name`; "none" without one.
inline std::string firstDisk(DeviceRegistry& registry, const char* name) {
  const io_service_t service = registry.getMatchingService({name});
  PropertyDictionary properties;
  const bool read = service != 0 && registry.createProperties(service, properties) == KERN_SUCCESS;
  registry.release(service);
  return read ? *properties["BSD Name"].string() : "none";
}

// Registers `inbox` through `port` on `service` (released here), or on the
// first service named `name` when it is 0; the registration, or 0.
inline io_object_t watch(DeviceRegistry& registry, IONotificationPortRef port, const char* name,
                         Inbox& inbox, io_service_t service = 0) {
  if (service == 0) service = registry.getMatchingService({name});
  io_object_t registration = 0;
  registry.addInterestNotification(port, service, kIOGeneralInterest, record, &inbox,
                                   &registration);
  registry.release(service);
  return registration;
}

// Whether the port's descriptor is readable within `timeoutMs`.
inline bool readable(DeviceRegistry& registry, IONotificationPortRef port, int timeoutMs) {
  pollfd fd{registry.notificationPortGetRunLoopSource(port)->descriptor(), POLLIN, 0};
  return ::poll(&fd, 1, timeoutMs) == 1;
}

}  // namespace pomrel::testing
