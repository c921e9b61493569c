#include "platform/linux/registry.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/posix/file_reader.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host {

namespace {

// The service's one property: the disk's kernel name.
constexpr const char* kBSDNameProperty = "BSD Name";

// A sysfs attribute holds one short line.
constexpr std::size_t kAttributeLimit = 4096;

std::uint64_t number(const std::optional<std::string>& text) {
  std::uint64_t value = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

}  // namespace

// A port is its own run-loop source. While perform() runs, destroying the
// port only marks it; the outermost perform frees it on its way out.
class LinuxNotificationPort : public NotificationPort, public RunLoopSource {
 public:
  LinuxNotificationPort(LinuxRegistry& registry, Udev& udev)
      : registry_(registry),
        monitor_(udev),
        event_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    ok_ = monitor_.valid() && event_.valid() && epoll_.valid() && watch(monitor_.descriptor()) &&
          watch(event_.get());
  }
  LinuxNotificationPort(const LinuxNotificationPort&) = delete;
  LinuxNotificationPort& operator=(const LinuxNotificationPort&) = delete;
  ~LinuxNotificationPort() override = default;

  [[nodiscard]] bool valid() const { return ok_; }
  [[nodiscard]] int descriptor() const override { return epoll_.get(); }

  void perform() override {
    if (destroyed_) return;
    ++depth_;
    std::uint64_t count = 0;
    while (::read(event_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    registry_.deliver(*this);
    if (--depth_ == 0 && destroyed_) {
      registry_.objects_.reapPort(this);  // frees this object: touch nothing after it
    }
  }

  // Makes the descriptor readable so that the next perform looks again.
  void wake() {
    const std::uint64_t one = 1;
    while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  UdevMonitor& monitor() { return monitor_; }
  [[nodiscard]] bool destroyed() const { return destroyed_; }
  [[nodiscard]] bool performing() const { return depth_ > 0; }
  void markDestroyed() { destroyed_ = true; }

  // Handles of the registrations delivered through this port.
  std::vector<io_object_t> registrations;

 private:
  bool watch(int fd) {
    epoll_event readable{};
    readable.events = EPOLLIN;
    readable.data.fd = fd;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &readable) == 0;
  }

  LinuxRegistry& registry_;
  UdevMonitor monitor_;
  posix::UniqueFd event_;
  posix::UniqueFd epoll_;
  bool ok_ = false;
  int depth_ = 0;
  bool destroyed_ = false;
};

LinuxRegistry::LinuxRegistry() : monitor_(udev_) {
  // The monitor runs before the listing, so a change made in between is
  // waiting on it and applied at the first lookup.
  if (monitor_.valid()) relist();
}

LinuxRegistry::~LinuxRegistry() = default;

std::optional<LinuxRegistry::Disk> LinuxRegistry::diskOf(const UdevDevice& device) {
  if (!device.isWholeDisk()) return std::nullopt;
  std::optional<std::string> service = device.property(kServiceProperty);
  if (!service || service->empty()) return std::nullopt;
  Disk disk;
  disk.sysPath = device.sysPath();
  disk.initialized = number(device.property("USEC_INITIALIZED"));
  disk.diskSeq = device.property("DISKSEQ").value_or("");
  disk.sysName = device.sysName();
  disk.serviceName = std::move(*service);
  return disk;
}

bool LinuxRegistry::hasMedium(const std::string& sysPath) {
  // Read afresh: many card readers keep their disk and only lose the medium.
  const posix::FileRead size = posix::readFile(sysPath + "/size", kAttributeLimit);
  return size.ok() && number(size.bytes) > 0;
}

bool LinuxRegistry::removalOf(const Disk& disk, const UdevDevice& device) {
  const std::uint64_t initialized = number(device.property("USEC_INITIALIZED"));
  return initialized == 0 || initialized == disk.initialized;
}

bool LinuxRegistry::ends(const Disk& disk, const UdevDevice& device) {
  if (device.action() == "remove") return removalOf(disk, device);
  const std::optional<Disk> now = diskOf(device);
  return !now || !now->sameDevice(disk) || now->serviceName != disk.serviceName ||
         !hasMedium(disk.sysPath);
}

void LinuxRegistry::refresh() {
  for (;;) {
    UdevDevice device;
    switch (monitor_.receive(device)) {
      case UdevMonitor::Received::kNone:
        return;
      case UdevMonitor::Received::kOverflow:
        // What is still waiting predates the loss: the listing supersedes it.
        monitor_.discardPending();
        relist();
        return;
      case UdevMonitor::Received::kDevice:
        apply(device);
        break;
    }
  }
}

void LinuxRegistry::apply(const UdevDevice& device) {
  const std::string sysPath = device.sysPath();
  const bool removed = device.action() == "remove";
  if (const unsigned long long sequence = device.sequenceNumber(); sequence != 0) {
    const auto last = applied_.find(sysPath);
    if (last != applied_.end() && sequence <= last->second) return;
    // A removed device is forgotten. A monitor that still holds an earlier
    // event of its path holds this removal after it, and reads both in the
    // same drain, so what the earlier event brings back is gone again before
    // anyone looks.
    if (removed) {
      applied_.erase(sysPath);
    } else {
      applied_[sysPath] = sequence;
    }
  }
  const auto known = disks_.find(sysPath);
  std::optional<Disk> disk = removed ? std::nullopt : diskOf(device);
  if (disk) {
    disks_[sysPath] = std::move(*disk);
  } else if (known != disks_.end() && (!removed || removalOf(known->second, device))) {
    disks_.erase(known);
  }
}

void LinuxRegistry::relist() {
  disks_.clear();
  for (const UdevDevice& device : udev_.wholeDisksWithProperty(kServiceProperty)) {
    if (std::optional<Disk> disk = diskOf(device)) disks_[disk->sysPath] = std::move(*disk);
  }
}

bool LinuxRegistry::stillPresent(const Disk& disk) {
  const auto found = disks_.find(disk.sysPath);
  return found != disks_.end() && found->second.sameDevice(disk) &&
         found->second.serviceName == disk.serviceName && hasMedium(disk.sysPath);
}

std::optional<MatchingDictionary> LinuxRegistry::serviceNameMatching(const char* name) {
  if (name == nullptr) return std::nullopt;
  return MatchingDictionary{name};
}

io_service_t LinuxRegistry::getMatchingService(MatchingDictionary matching) {
  refresh();
  const Disk* first = nullptr;
  for (const auto& [sysPath, disk] : disks_) {
    if (disk.serviceName != matching.name) continue;
    if (first != nullptr &&
        std::tie(first->initialized, first->sysPath) < std::tie(disk.initialized, disk.sysPath)) {
      continue;
    }
    if (hasMedium(sysPath)) first = &disk;
  }
  if (first == nullptr) return 0;
  return objects_.addService(*first);
}

kern_return_t LinuxRegistry::createProperties(io_service_t service,
                                              PropertyDictionary& properties) {
  const Disk* disk = objects_.service(service);
  if (disk == nullptr) return kIOReturnError;
  refresh();
  if (!stillPresent(*disk)) return kIOReturnError;
  properties = PropertyDictionary{{kBSDNameProperty, disk->sysName}};
  return KERN_SUCCESS;
}

kern_return_t LinuxRegistry::release(io_object_t object) {
  return objects_.release(object, [](Registration&) {});
}

IONotificationPortRef LinuxRegistry::notificationPortCreate() {
  if (!usable()) return nullptr;
  auto port = std::make_unique<LinuxNotificationPort>(*this, udev_);
  if (!port->valid()) return nullptr;
  return objects_.addPort(std::move(port));
}

RunLoopSource* LinuxRegistry::notificationPortGetRunLoopSource(IONotificationPortRef port) {
  return objects_.port(port);
}

void LinuxRegistry::notificationPortDestroy(IONotificationPortRef port) {
  objects_.destroyPort(port, [](Registration&) {});
}

kern_return_t LinuxRegistry::addInterestNotification(IONotificationPortRef port,
                                                     io_service_t service, const char* interestType,
                                                     IOServiceInterestCallback callback,
                                                     void* refcon, io_object_t* notification) {
  LinuxNotificationPort* target = objects_.port(port);
  const Disk* disk = objects_.service(service);
  if (target == nullptr || disk == nullptr || interestType == nullptr ||
      std::strcmp(interestType, kIOGeneralInterest) != 0 || callback == nullptr ||
      notification == nullptr) {
    return kIOReturnError;
  }
  auto registration = std::make_unique<Registration>();
  registration->disk = *disk;
  registration->port = target;
  registration->callback = callback;
  registration->refcon = refcon;
  registration->service = objects_.addService(*disk);
  // The port's monitor sees only what happens from its creation on: a
  // service that ended before is told now.
  refresh();
  if (!stillPresent(registration->disk)) {
    registration->ended = true;
    target->wake();
  }
  const io_object_t handle = objects_.addRegistration(std::move(registration));
  *notification = handle;
  return KERN_SUCCESS;
}

kern_return_t LinuxRegistry::addMatchingNotification(IONotificationPortRef port,
                                                     const char* notificationType,
                                                     MatchingDictionary matching,
                                                     IOServiceMatchingCallback callback,
                                                     void* refcon, io_object_t* notification) {
  LinuxNotificationPort* target = objects_.port(port);
  if (target == nullptr || notificationType == nullptr ||
      std::strcmp(notificationType, kIOFirstMatchNotification) != 0 || callback == nullptr ||
      notification == nullptr) {
    return kIOReturnError;
  }
  auto registration = std::make_unique<Registration>();
  registration->port = target;
  registration->matched = callback;
  registration->refcon = refcon;
  registration->matchName = std::move(matching.name);
  // What matches by now is not new; the port's monitor, running since the
  // port was made, holds every event after that.
  refresh();
  registration->matching = matchingNow(registration->matchName);
  *notification = objects_.addRegistration(std::move(registration));
  return KERN_SUCCESS;
}

void LinuxRegistry::deliver(LinuxNotificationPort& port) {
  // A live registration of the port: for a termination (`matches` false) one
  // not told yet, or a first-match one.
  auto live = [&](io_object_t handle, bool matches = false) -> Registration* {
    Registration* registration = objects_.registration(handle);
    return registration != nullptr && registration->port == &port &&
                   (registration->matched != nullptr) == matches && !registration->delivered
               ? registration
               : nullptr;
  };

  // Read until the monitor is empty (one read per wake-up would fall
  // behind), judging each event against the registrations on its device.
  bool lost = false;
  for (;;) {
    UdevDevice device;
    const UdevMonitor::Received received = port.monitor().receive(device);
    if (received == UdevMonitor::Received::kNone) break;
    if (received == UdevMonitor::Received::kOverflow) {
      port.monitor().discardPending();
      lost = true;
      break;
    }
    apply(device);
    const std::string sysPath = device.sysPath();
    for (io_object_t handle : port.registrations) {
      if (Registration* registration = live(handle, true)) judgeMatch(*registration, device);
      Registration* registration = live(handle);
      if (registration != nullptr && !registration->ended &&
          registration->disk.sysPath == sysPath && ends(registration->disk, device)) {
        registration->ended = true;
      }
    }
  }
  if (lost) {
    refresh();
    for (io_object_t handle : port.registrations) {
      Registration* registration = live(handle);
      if (registration != nullptr && !stillPresent(registration->disk)) registration->ended = true;
      if (Registration* matching = live(handle, true)) {
        std::map<std::string, Disk> now = matchingNow(matching->matchName);
        for (const auto& [sysPath, disk] : now) {
          const auto known = matching->matching.find(sysPath);
          if (known == matching->matching.end() || !known->second.sameDevice(disk)) {
            matching->appeared.push_back(disk);
          }
        }
        matching->matching = std::move(now);
      }
    }
  }

  // The disks that began to match, each still there, one handle each.
  for (io_object_t handle : std::vector<io_object_t>(port.registrations)) {
    Registration* registration = live(handle, true);
    const std::vector<Disk> appeared =
        registration != nullptr ? std::exchange(registration->appeared, {}) : std::vector<Disk>();
    for (const Disk& disk : appeared) {
      if (!stillPresent(disk)) continue;
      const io_service_t service = objects_.addService(disk);
      registration->matched(registration->refcon, service);
      objects_.release(service, [](Registration&) {});
      if (port.destroyed()) return;
      registration = live(handle, true);
      if (registration == nullptr) break;
    }
  }

  // Callbacks may release registrations, make new ones or destroy the port:
  // work from a copy of the handles and look each one up again.
  for (io_object_t handle : std::vector<io_object_t>(port.registrations)) {
    Registration* registration = live(handle);
    if (registration == nullptr || !registration->ended) continue;
    registration->delivered = true;
    registration->callback(registration->refcon, registration->service,
                           kIOMessageServiceIsTerminated, nullptr);
    if (port.destroyed()) return;
  }
}

}  // namespace pomrel::host
