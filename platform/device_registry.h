// The device registry: the services that drivers publish, found by name, with
// their properties, interest notifications on them, and notifications of
// services that begin to match.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/property_list.h"
#include "platform/run_loop.h"

namespace pomrel {

// A handle to a registry object (a service or an interest registration).
// 0 is no object. Every non-zero handle the registry gives out must be
// released exactly once with `release`.
using io_object_t = std::uint32_t;
using io_service_t = io_object_t;
using kern_return_t = std::int32_t;
inline constexpr kern_return_t KERN_SUCCESS = 0;
// Any failure of the registry's own; callers only test against KERN_SUCCESS.
inline constexpr kern_return_t kIOReturnError = static_cast<kern_return_t>(0xE00002BC);

using natural_t = std::uint32_t;
// The message a service's interest clients receive when it terminates.
inline constexpr natural_t kIOMessageServiceIsTerminated = 0xE0000010;
inline constexpr const char* kIOGeneralInterest = "IOGeneralInterest";
// The matching notification of a service that begins to match.
inline constexpr const char* kIOFirstMatchNotification = "IOServiceFirstMatch";

// Selects the registered services whose registry name equals `name`.
struct MatchingDictionary {
  std::string name;
};

// Interest callback: `refcon` is the reference constant given at
// registration; `service` the watched service; `messageType` the message
// (for example kIOMessageServiceIsTerminated); `messageArgument` its argument,
// null when it has none. Runs on the run loop where the port's source is
// installed.
using IOServiceInterestCallback = void (*)(void* refcon, io_service_t service,
                                           natural_t messageType, void* messageArgument);

// Matching callback: `refcon` is the reference constant given at
// registration; `service` the service that began to match, a handle that the
// registry releases when the callback returns. Runs on the run loop where the
// port's source is installed.
using IOServiceMatchingCallback = void (*)(void* refcon, io_service_t service);

// A port that receives interest and matching notifications; owned by the registry that
// made it until `notificationPortDestroy`.
class NotificationPort {
 public:
  virtual ~NotificationPort() = default;
};
using IONotificationPortRef = NotificationPort*;

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;

  // A matching dictionary for services named `name`; nullopt if it cannot
  // be built.
  virtual std::optional<MatchingDictionary> serviceNameMatching(const char* name) = 0;

  // The first registered service that matches, or 0 when none does. With
  // several matches the same one is returned on every call while they all
  // stay registered (the oldest registration). Takes over `matching`.
  virtual io_service_t getMatchingService(MatchingDictionary matching) = 0;

  // The service's properties. Returns KERN_SUCCESS and fills `properties`,
  // or a failure status and leaves `properties` untouched (for example when
  // the service has terminated since it was found).
  virtual kern_return_t createProperties(io_service_t service, PropertyDictionary& properties) = 0;

  // Releases one handle. Releasing an interest registration ends it: its
  // callback is never called again.
  virtual kern_return_t release(io_object_t object) = 0;

  // A new notification port, or null on failure.
  virtual IONotificationPortRef notificationPortCreate() = 0;

  // The port's run-loop source; owned by the port, valid until it is
  // destroyed.
  virtual RunLoopSource* notificationPortGetRunLoopSource(IONotificationPortRef port) = 0;

  // Destroys the port. Registrations made on it are never delivered again
  // (their handles must still be released). Precondition: its source is no
  // longer installed on any run loop. Safe to call from inside a callback
  // delivered through this port.
  virtual void notificationPortDestroy(IONotificationPortRef port) = 0;

  // Registers interest of `interestType` in `service`, delivered through
  // `port` to `callback` with `refcon`. On success returns KERN_SUCCESS and
  // stores the registration's handle in `*notification`; on failure
  // `*notification` is untouched. A service that terminates delivers
  // kIOMessageServiceIsTerminated once; other message types may arrive before.
  virtual kern_return_t addInterestNotification(IONotificationPortRef port, io_service_t service,
                                                const char* interestType,
                                                IOServiceInterestCallback callback, void* refcon,
                                                io_object_t* notification) = 0;

  // Registers for `notificationType` (kIOFirstMatchNotification) on services
  // that match `matching`, delivered through `port` to `callback` with
  // `refcon`: once for each service that begins to match after the
  // registration (published, or given its medium), not for those that match
  // already, which the caller looks up itself after registering. On success
  // returns KERN_SUCCESS and stores the registration's handle in
  // `*notification`; on failure `*notification` is untouched. Takes over
  // `matching`.
  virtual kern_return_t addMatchingNotification(IONotificationPortRef port,
                                                const char* notificationType,
                                                MatchingDictionary matching,
                                                IOServiceMatchingCallback callback, void* refcon,
                                                io_object_t* notification) = 0;
};

}  // namespace pomrel
