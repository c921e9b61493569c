// The objects a device registry backend hands out and owns: service handles,
// interest registrations and notification ports.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "platform/device_registry.h"

namespace pomrel {

// Handles are never 0 and never name two live objects at once. A
// registration owns the service handle it passes to its callback, which goes
// when the registration is released. Ports are looked up only while live, so
// a stale or foreign port pointer is refused, never followed.
//
// `Registration` has `io_service_t service` (its own service handle) and
// `Port* port` (the port delivering it; null once detached). `Port` is a
// NotificationPort with `std::vector<io_object_t> registrations` (the handles
// it delivers), destroyed(), performing() and markDestroyed().
template <typename Service, typename Registration, typename Port>
class RegistryObjects {
 public:
  io_service_t addService(Service service) {
    const io_object_t handle = freeHandle();
    objects_[handle].service = std::make_unique<Service>(std::move(service));
    return handle;
  }
  // Precondition: the registration's port is live.
  io_object_t addRegistration(std::unique_ptr<Registration> registration) {
    const io_object_t handle = freeHandle();
    registration->port->registrations.push_back(handle);
    objects_[handle].registration = std::move(registration);
    return handle;
  }
  // The object a handle names; null when it names none of that kind.
  Service* service(io_object_t handle) {
    const auto found = objects_.find(handle);
    return found != objects_.end() ? found->second.service.get() : nullptr;
  }
  Registration* registration(io_object_t handle) {
    const auto found = objects_.find(handle);
    return found != objects_.end() ? found->second.registration.get() : nullptr;
  }
  // Handles given out and not released.
  [[nodiscard]] std::size_t liveHandleCount() const { return objects_.size(); }

  // Releases a handle; a registration is detached first (`undo` is called
  // with it, then its port forgets it) and takes its service handle along.
  template <typename Undo>
  kern_return_t release(io_object_t handle, Undo undo) {
    const auto found = objects_.find(handle);
    if (found == objects_.end()) return kIOReturnError;
    if (Registration* registration = found->second.registration.get()) {
      detach(handle, *registration, undo);
      const io_service_t service = registration->service;
      objects_.erase(found);
      objects_.erase(service);
      return KERN_SUCCESS;
    }
    objects_.erase(found);
    return KERN_SUCCESS;
  }

  Port* addPort(std::unique_ptr<Port> port) { return ports_.emplace_back(std::move(port)).get(); }
  // The live port `ref` names; null for any other pointer.
  Port* port(IONotificationPortRef ref) {
    for (const auto& candidate : ports_) {
      if (static_cast<NotificationPort*>(candidate.get()) == ref && !candidate->destroyed()) {
        return candidate.get();
      }
    }
    return nullptr;
  }
  // Detaches the port's registrations (see release) and frees it, or, while
  // its perform runs, marks it for that perform to free on its way out.
  template <typename Undo>
  void destroyPort(IONotificationPortRef ref, Undo undo) {
    Port* target = port(ref);
    if (target == nullptr) return;
    for (io_object_t handle : std::vector<io_object_t>(target->registrations)) {
      if (Registration* attached = registration(handle)) detach(handle, *attached, undo);
    }
    target->markDestroyed();
    if (!target->performing()) reapPort(target);
  }
  // Frees a port marked destroyed.
  void reapPort(Port* port) {
    std::erase_if(ports_, [port](const auto& candidate) { return candidate.get() == port; });
  }

 private:
  struct Object {
    // Exactly one is set.
    std::unique_ptr<Service> service;
    std::unique_ptr<Registration> registration;
  };

  io_object_t freeHandle() {
    while (next_ == 0 || objects_.contains(next_)) ++next_;
    return next_++;
  }
  template <typename Undo>
  void detach(io_object_t handle, Registration& registration, Undo& undo) {
    if (registration.port != nullptr) {
      undo(registration);
      std::erase(registration.port->registrations, handle);
    }
    registration.port = nullptr;
  }

  std::map<io_object_t, Object> objects_;
  io_object_t next_ = 1;
  std::vector<std::unique_ptr<Port>> ports_;
};

}  // namespace pomrel
