#include "platform/sim/sim_registry.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace pomrel::sim {

namespace {

// What changes a service's folder in a way a watcher cares about: an entry or
// message renamed in (publish, post), removed (terminate, a delivered
// message), or the folder itself going away.
constexpr std::uint32_t kWatchMask =
    IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

void closeIfOpen(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

// A port is its own run-loop source. While perform() runs, destroying the
// port only marks it; the outermost perform frees it on its way out.
class SimNotificationPort : public NotificationPort, public RunLoopSource {
 public:
  SimNotificationPort(SimRegistry& registry, int inotifyFd, int eventFd, int epollFd)
      : registry_(registry), inotify_(inotifyFd), event_(eventFd), epoll_(epollFd) {}
  ~SimNotificationPort() override {
    closeIfOpen(epoll_);
    closeIfOpen(event_);
    closeIfOpen(inotify_);
  }
  SimNotificationPort(const SimNotificationPort&) = delete;
  SimNotificationPort& operator=(const SimNotificationPort&) = delete;

  [[nodiscard]] int descriptor() const override { return epoll_; }

  void perform() override {
    if (destroyed_) return;
    ++depth_;
    drain();
    registry_.deliver(*this);
    if (--depth_ == 0 && destroyed_) {
      registry_.objects_.reapPort(this);  // frees this object: touch nothing after it
    }
  }

  // The watch descriptor for `folder`, shared by every registration on it;
  // -1 with errno set on failure.
  int addWatch(const std::string& folder) {
    const int wd = ::inotify_add_watch(inotify_, folder.c_str(), kWatchMask);
    if (wd >= 0) ++watchUsers_[wd];
    return wd;
  }

  void dropWatch(int wd) {
    auto it = watchUsers_.find(wd);
    if (it == watchUsers_.end()) return;
    if (--it->second == 0) {
      ::inotify_rm_watch(inotify_, wd);
      watchUsers_.erase(it);
    }
  }

  // Makes the descriptor readable so that the next perform looks again.
  void wake() {
    const std::uint64_t one = 1;
    while (::write(event_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  [[nodiscard]] bool destroyed() const { return destroyed_; }
  [[nodiscard]] bool performing() const { return depth_ > 0; }
  void markDestroyed() { destroyed_ = true; }

  // Handles of the registrations delivered through this port.
  std::vector<io_object_t> registrations;

 private:
  // Empties both descriptors. The events themselves are not needed, since
  // perform reads the folders afresh, except that a watch the kernel dropped
  // (its folder was removed) must not be removed again.
  void drain() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_IGNORED) != 0) forgetWatch(event->wd);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    std::uint64_t count = 0;
    while (::read(event_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }

  void forgetWatch(int wd) {
    watchUsers_.erase(wd);
    for (io_object_t handle : registrations) {
      SimRegistry::Registration* registration = registry_.objects_.registration(handle);
      if (registration != nullptr && registration->watch == wd) registration->watch = -1;
    }
  }

  SimRegistry& registry_;
  int inotify_;
  int event_;
  int epoll_;
  std::map<int, int> watchUsers_;
  int depth_ = 0;
  bool destroyed_ = false;
};

SimRegistry::SimRegistry(const MachinePaths& paths) : store_(paths) {}

SimRegistry::~SimRegistry() = default;

std::optional<MatchingDictionary> SimRegistry::serviceNameMatching(const char* name) {
  if (name == nullptr) return std::nullopt;
  return MatchingDictionary{name};
}

io_service_t SimRegistry::getMatchingService(MatchingDictionary matching) {
  const std::optional<EntryId> first = store_.firstEntry(matching.name);
  if (!first) return 0;
  return objects_.addService({matching.name, *first});
}

kern_return_t SimRegistry::createProperties(io_service_t service, PropertyDictionary& properties) {
  const ServiceObject* object = objects_.service(service);
  if (object == nullptr) return kIOReturnError;
  std::optional<PropertyDictionary> read = store_.readEntry(object->name, object->id);
  if (!read) return kIOReturnError;
  properties = std::move(*read);
  return KERN_SUCCESS;
}

void SimRegistry::dropWatch(Registration& registration) {
  if (registration.watch >= 0) registration.port->dropWatch(registration.watch);
  registration.watch = -1;
}

kern_return_t SimRegistry::release(io_object_t object) {
  return objects_.release(object, dropWatch);
}

IONotificationPortRef SimRegistry::notificationPortCreate() {
  const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const int eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event readable{};
  readable.events = EPOLLIN;
  bool ok = inotifyFd >= 0 && eventFd >= 0 && epollFd >= 0;
  readable.data.fd = inotifyFd;
  ok = ok && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, inotifyFd, &readable) == 0;
  readable.data.fd = eventFd;
  ok = ok && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, eventFd, &readable) == 0;
  if (!ok) {
    closeIfOpen(epollFd);
    closeIfOpen(eventFd);
    closeIfOpen(inotifyFd);
    return nullptr;
  }
  return objects_.addPort(
      std::make_unique<SimNotificationPort>(*this, inotifyFd, eventFd, epollFd));
}

RunLoopSource* SimRegistry::notificationPortGetRunLoopSource(IONotificationPortRef port) {
  return objects_.port(port);
}

void SimRegistry::notificationPortDestroy(IONotificationPortRef port) {
  objects_.destroyPort(port, dropWatch);
}

kern_return_t SimRegistry::addInterestNotification(IONotificationPortRef port, io_service_t service,
                                                   const char* interestType,
                                                   IOServiceInterestCallback callback, void* refcon,
                                                   io_object_t* notification) {
  SimNotificationPort* target = objects_.port(port);
  const ServiceObject* object = objects_.service(service);
  if (target == nullptr || object == nullptr || interestType == nullptr ||
      std::strcmp(interestType, kIOGeneralInterest) != 0 || callback == nullptr ||
      notification == nullptr) {
    return kIOReturnError;
  }
  const std::string name = object->name;
  const EntryId id = object->id;
  // Messages already waiting were sent before this registration existed.
  const std::vector<PendingMessage> earlier = store_.listMessages(name, id);
  const std::uint64_t lastSequence = earlier.empty() ? 0 : earlier.back().sequence;
  const int wd = target->addWatch(store_.serviceDirectory(name));
  // A missing folder means the service is gone; its termination is queued
  // below like any other that happened before the watch.
  if (wd < 0 && errno != ENOENT) return kIOReturnError;

  auto registration = std::make_unique<Registration>();
  registration->name = name;
  registration->id = id;
  registration->port = target;
  registration->watch = wd;
  registration->callback = callback;
  registration->refcon = refcon;
  registration->lastSequence = lastSequence;
  registration->service = objects_.addService({name, id});
  const io_object_t handle = objects_.addRegistration(std::move(registration));

  // What happened before the watch was in place raised no event: a
  // termination, or a message sent between the listing above and the watch.
  if (!store_.entryExists(name, id) || !store_.listMessages(name, id, lastSequence).empty()) {
    target->wake();
  }
  *notification = handle;
  return KERN_SUCCESS;
}

kern_return_t SimRegistry::addMatchingNotification(IONotificationPortRef port,
                                                   const char* notificationType,
                                                   MatchingDictionary matching,
                                                   IOServiceMatchingCallback callback, void* refcon,
                                                   io_object_t* notification) {
  SimNotificationPort* target = objects_.port(port);
  if (target == nullptr || notificationType == nullptr ||
      std::strcmp(notificationType, kIOFirstMatchNotification) != 0 || callback == nullptr ||
      notification == nullptr || !RegistryStore::isValidName(matching.name)) {
    return kIOReturnError;
  }
  const std::string folder = store_.serviceDirectory(matching.name);
  for (const std::string& made : {folder.substr(0, folder.rfind('/')), folder}) {
    if (::mkdir(made.c_str(), 0755) != 0 && errno != EEXIST) return kIOReturnError;
  }
  // Watched before the listing: what is published after it raises an event.
  const int wd = target->addWatch(folder);
  if (wd < 0) return kIOReturnError;
  const std::vector<EntryId> present = store_.listEntries(matching.name);
  auto registration = std::make_unique<Registration>();
  registration->name = std::move(matching.name);
  registration->id = present.empty() ? 0 : present.back();
  registration->port = target;
  registration->watch = wd;
  registration->matched = callback;
  registration->refcon = refcon;
  *notification = objects_.addRegistration(std::move(registration));
  return KERN_SUCCESS;
}

bool SimRegistry::deliverMatches(SimNotificationPort& port,
                                 const std::vector<io_object_t>& handles) {
  for (io_object_t handle : handles) {
    Registration* registration = objects_.registration(handle);
    if (registration == nullptr || registration->port != &port ||
        registration->matched == nullptr) {
      continue;
    }
    const std::string name = registration->name;
    for (const EntryId id : store_.listEntries(name)) {
      if (id <= registration->id) continue;
      registration->id = id;
      const io_service_t service = objects_.addService({name, id});
      registration->matched(registration->refcon, service);
      objects_.release(service, dropWatch);
      if (port.destroyed()) return false;
      // The callback may have released it.
      registration = objects_.registration(handle);
      if (registration == nullptr || registration->port != &port) break;
    }
  }
  return true;
}

void SimRegistry::deliver(SimNotificationPort& port) {
  // Callbacks may release registrations, make new ones or destroy the port:
  // work from a copy of the handles and look each one up again after every
  // callback.
  const std::vector<io_object_t> handles = port.registrations;
  if (!deliverMatches(port, handles)) return;
  auto live = [&](io_object_t handle) -> Registration* {
    Registration* registration = objects_.registration(handle);
    return registration != nullptr && registration->port == &port && !registration->terminated &&
                   registration->matched == nullptr
               ? registration
               : nullptr;
  };
  // Calls every live registration on the service (name, id) that `accept`
  // lets through, updating it first. False once the port is destroyed.
  auto notifyAll = [&](const std::string& name, EntryId id, natural_t type, auto accept) {
    for (io_object_t handle : handles) {
      Registration* registration = live(handle);
      if (registration == nullptr || registration->id != id || registration->name != name ||
          !accept(*registration)) {
        continue;
      }
      const IOServiceInterestCallback callback = registration->callback;
      void* const refcon = registration->refcon;
      const io_service_t service = registration->service;
      callback(refcon, service, type, nullptr);
      if (port.destroyed()) return false;
    }
    return true;
  };

  for (io_object_t handle : handles) {
    const Registration* registration = live(handle);
    if (registration == nullptr) continue;
    const std::string name = registration->name;
    const EntryId id = registration->id;
    for (const PendingMessage& message :
         store_.listMessages(name, id, registration->lastSequence)) {
      // A message that cannot be read is dropped: passed over by every
      // registration, so that one that cannot be removed either (a folder)
      // is not read again.
      const std::optional<natural_t> type = RegistryStore::readMessage(message.path);
      const bool portAlive = notifyAll(name, id, type.value_or(0), [&](Registration& r) {
        if (r.lastSequence >= message.sequence) return false;
        r.lastSequence = message.sequence;
        return type.has_value();
      });
      ::unlink(message.path.c_str());
      if (!portAlive) return;
      if (live(handle) == nullptr) break;
    }
    if (live(handle) == nullptr || store_.entryExists(name, id)) continue;
    if (!notifyAll(name, id, kIOMessageServiceIsTerminated, [](Registration& r) {
          r.terminated = true;
          return true;
        })) {
      return;
    }
  }
}

}  // namespace pomrel::sim
