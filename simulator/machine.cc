#include "simulator/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "media/sxs_driver.h"
#include "platform/posix/plist_io.h"

namespace pomrel::sim {

namespace {

constexpr const char* kDriverInstalledKey = "DriverInstalled";
constexpr const char* kPluginLoadedKey = "PluginLoaded";
constexpr const char* kCardInsertedKey = "CardInserted";
constexpr const char* kDiskNameKey = "DiskName";
constexpr const char* kDiskEjectedKey = "DiskEjected";
constexpr const char* kBusyKey = "VolumeBusy";
constexpr const char* kHolderKey = "VolumeHolder";
constexpr const char* kHolderPidKey = "VolumeHolderPID";
constexpr const char* kArrivalPendingKey = "MediaArrivalPending";
constexpr const char* kLoadDelayKey = "LoadDelayMilliseconds";
constexpr const char* kNextEntryIdKey = "NextEntryID";

std::string lockPath(const MachinePaths& paths) { return paths.root() + "/machine.lock"; }

// Blocks until this process holds the machine's lock. -1 (with `*error`
// set) when the lock file cannot be opened, which means there is no machine
// folder at the root.
int acquireLock(const MachinePaths& paths, std::string* error) {
  const int fd = ::open(lockPath(paths).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot open the machine at " + paths.root() + ": " + std::strerror(errno);
    return -1;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      *error = "cannot lock the machine at " + paths.root() + ": " + std::strerror(errno);
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

// Reads one typed field; an absent key keeps the default. False when the
// key holds another type.
bool readBool(const PropertyDictionary& dict, const char* key, bool& out) {
  auto it = dict.find(key);
  if (it == dict.end()) return true;
  const bool* value = it->second.boolean();
  if (value == nullptr) return false;
  out = *value;
  return true;
}

bool readUnsigned(const PropertyDictionary& dict, const char* key, std::uint64_t max,
                  std::uint64_t& out) {
  auto it = dict.find(key);
  if (it == dict.end()) return true;
  const PropertyInteger* value = it->second.integer();
  if (value == nullptr) return false;
  const bool negative = !value->isUnsigned && static_cast<std::int64_t>(value->bits) < 0;
  if (negative || value->bits > max) return false;
  out = value->bits;
  return true;
}

std::optional<MachineState> stateFromDictionary(const PropertyDictionary& dict) {
  MachineState state;
  std::uint64_t delay = state.loadDelayMs;
  bool ok = readBool(dict, kDriverInstalledKey, state.driverInstalled) &&
            readBool(dict, kPluginLoadedKey, state.pluginLoaded) &&
            readBool(dict, kCardInsertedKey, state.cardInserted) &&
            readBool(dict, kDiskEjectedKey, state.diskEjected) &&
            readBool(dict, kBusyKey, state.busy) &&
            readBool(dict, kArrivalPendingKey, state.mediaArrivalPending) &&
            readUnsigned(dict, kLoadDelayKey, kMaxLoadDelayMs, delay) &&
            readUnsigned(dict, kNextEntryIdKey, UINT64_MAX, state.nextEntryId) &&
            readUnsigned(dict, kHolderPidKey, UINT32_MAX, state.busyHolderPid);
  if (!ok) return std::nullopt;
  state.loadDelayMs = static_cast<std::uint32_t>(delay);
  if (auto it = dict.find(kDiskNameKey); it != dict.end()) {
    const std::string* name = it->second.string();
    if (name == nullptr || !isValidDiskName(*name)) return std::nullopt;
    state.diskName = *name;
  }
  if (auto it = dict.find(kHolderKey); it != dict.end()) {
    const std::string* name = it->second.string();
    if (name == nullptr || !isValidHolderName(*name)) return std::nullopt;
    state.busyHolder = *name;
  }
  if (state.nextEntryId == 0) state.nextEntryId = 1;
  return state;
}

PropertyDictionary stateToDictionary(const MachineState& state) {
  PropertyDictionary dict{
      {kDriverInstalledKey, state.driverInstalled},
      {kPluginLoadedKey, state.pluginLoaded},
      {kCardInsertedKey, state.cardInserted},
      {kDiskNameKey, state.diskName},
      {kDiskEjectedKey, state.diskEjected},
      {kBusyKey, state.busy},
      {kArrivalPendingKey, state.mediaArrivalPending},
      {kLoadDelayKey, PropertyInteger::fromUnsigned(state.loadDelayMs)},
      {kNextEntryIdKey, PropertyInteger::fromUnsigned(state.nextEntryId)},
  };
  if (!state.busyHolder.empty()) {
    dict.emplace(kHolderKey, state.busyHolder);
    dict.emplace(kHolderPidKey, PropertyInteger::fromUnsigned(state.busyHolderPid));
  }
  return dict;
}

}  // namespace

bool isValidDiskName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool isValidHolderName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && std::none_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
  });
}

std::optional<MachineState> readMachineState(const MachinePaths& paths) {
  posix::PropertyListFile file = posix::readPropertyListFile(
      paths.statePath(), posix::kMachineFileLimit, posix::Links::kRefuse);
  if (file.status != posix::FileStatus::kOk) return std::nullopt;
  const PropertyDictionary* dict = file.value.dictionary();
  if (dict == nullptr) return std::nullopt;
  return stateFromDictionary(*dict);
}

Machine::Machine(MachinePaths paths, int lockFd, MachineState state)
    : paths_(std::move(paths)), registry_(paths_), lockFd_(lockFd), state_(std::move(state)) {}

Machine::Machine(Machine&& other) noexcept
    : paths_(std::move(other.paths_)),
      registry_(paths_),
      lockFd_(std::exchange(other.lockFd_, -1)),
      state_(std::move(other.state_)) {}

Machine::~Machine() {
  // Closing the only descriptor of the lock's open file releases the lock.
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::optional<Machine> Machine::open(const MachinePaths& paths, std::string* error) {
  struct stat info = {};
  if (::stat(paths.statePath().c_str(), &info) != 0) {
    *error = "no simulated machine at " + paths.root() + " (run: sxs-card init)";
    return std::nullopt;
  }
  const int fd = acquireLock(paths, error);
  if (fd < 0) return std::nullopt;
  std::optional<MachineState> state = readMachineState(paths);
  if (!state) {
    ::close(fd);
    *error = "the machine state " + paths.statePath() + " is missing or unreadable";
    return std::nullopt;
  }
  return Machine(paths, fd, std::move(*state));
}

std::optional<Machine> Machine::openForInit(const MachinePaths& paths, std::string* error) {
  const int fd = acquireLock(paths, error);
  if (fd < 0) return std::nullopt;
  MachineState fresh;
  if (std::optional<MachineState> earlier = readMachineState(paths)) {
    fresh.nextEntryId = earlier->nextEntryId;
  }
  return Machine(paths, fd, std::move(fresh));
}

std::vector<EntryId> Machine::mediaServices() const {
  return registry_.listEntries(kSxSMediaServiceName);
}

bool Machine::save(std::string* error) {
  if (!posix::writePropertyListFile(paths_.statePath(), PropertyValue(stateToDictionary(state_)),
                                    0644)) {
    *error = "cannot write the machine state " + paths_.statePath();
    return false;
  }
  return true;
}

bool Machine::commit(std::string* error) {
  const std::vector<EntryId> published = mediaServices();
  const bool shouldExist = state_.mediaServiceShouldExist();
  const bool publishNeeded = shouldExist && published.empty();
  // The ID is drawn before the state is saved, so a crash after the save
  // can at worst skip a number, never hand one out twice.
  const EntryId id = publishNeeded ? drawNumber() : 0;
  if (!save(error)) return false;
  if (publishNeeded) {
    const PropertyDictionary properties{{kSxSBSDNameKey, state_.diskName}};
    if (!registry_.publishAs(kSxSMediaServiceName, id, properties)) {
      *error = "cannot publish the media service in " + paths_.registryDirectory();
      return false;
    }
  } else if (!shouldExist) {
    for (EntryId stale : published) {
      if (!registry_.terminate(kSxSMediaServiceName, stale)) {
        *error = "cannot terminate the media service " + std::to_string(stale);
        return false;
      }
    }
  }
  return true;
}

}  // namespace pomrel::sim
