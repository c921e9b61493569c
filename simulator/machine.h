// The simulated machine's hardware state: the card driver, its plug-in, the
// card in the slot and its disk. The state lives in root/machine.plist and is
// the truth; the registry's media service is derived from it by
// Machine::commit. Every read-modify-write holds an exclusive lock on
// root/machine.lock, so concurrent commands never lose each other's updates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/device_registry.h"
#include "platform/sim/machine_paths.h"
#include "simulator/registry_store.h"

namespace pomrel::sim {

// The message the stand-in driver sends to the media service's interest
// clients when the volume's busy state changes.
inline constexpr natural_t kSxSMessageBusyStateChanged = 0xE0000130;

inline constexpr const char* kDefaultDiskName = "disk2";
// How long a loaded plug-in takes to present an inserted card, unless the
// machine says otherwise: well inside the enable command's pause of a little
// over a second, so that the command finds the card it waits for.
inline constexpr std::uint32_t kDefaultLoadDelayMs = 500;
// Longest load delay `sxs-card init --load-delay` accepts: ten minutes.
inline constexpr std::uint32_t kMaxLoadDelayMs = 600000;

// The driver bundle that holds the plug-in; install and remove act on it whole.
inline constexpr const char* kDriverBundlePath = "/System/Library/Extensions/SxS Memory Card.kext";

struct MachineState {
  bool driverInstalled = false;
  bool pluginLoaded = false;
  bool cardInserted = false;
  std::string diskName = kDefaultDiskName;
  bool diskEjected = false;
  // The card's volume is held open: ejecting it fails. A setting of the
  // machine, kept across pulls until turned off.
  bool busy = false;
  // The program the machine pretends holds the busy volume, and its pid; the
  // stand-in diskutil names it when the eject fails.
  std::string busyHolder;
  std::uint64_t busyHolderPid = 0;
  // The plug-in was loaded with a card inserted and has not registered the
  // media yet (it does so after the load delay).
  bool mediaArrivalPending = false;
  std::uint32_t loadDelayMs = kDefaultLoadDelayMs;
  // Next number for an entry ID or a message sequence; only ever rises.
  std::uint64_t nextEntryId = 1;

  // Whether the media service must be published.
  [[nodiscard]] bool mediaServiceShouldExist() const {
    return pluginLoaded && cardInserted && !diskEjected && !mediaArrivalPending;
  }
};

// A disk name the machine accepts: 1 to 255 bytes, no '/', no NUL.
bool isValidDiskName(const std::string& name);

// A holder's name the machine accepts: 1 to 64 bytes, no control character
// (it goes on a line of its own, between tabs, in the disk tool's report).
bool isValidHolderName(const std::string& name);

// The machine, opened for one read-modify-write: holds the lock from open
// until destruction. Changes to state() reach the disk only through commit.
class Machine {
 public:
  // Locks the machine and reads its state. nullopt (with `*error` set) when
  // there is no initialised machine at the root or its state is unreadable.
  static std::optional<Machine> open(const MachinePaths& paths, std::string* error);

  // Locks the machine (creating the lock file if needed) with a fresh default
  // state, keeping the entry counter of an earlier state so that IDs are
  // never reused. For initialising.
  static std::optional<Machine> openForInit(const MachinePaths& paths, std::string* error);

  Machine(Machine&& other) noexcept;
  Machine& operator=(Machine&&) = delete;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  ~Machine();

  MachineState& state() { return state_; }
  const MachinePaths& paths() const { return paths_; }
  RegistryStore& registry() { return registry_; }

  // Draws the next number from the entry counter (saved by the next commit).
  std::uint64_t drawNumber() { return state_.nextEntryId++; }

  // The published media services, lowest entry ID first.
  [[nodiscard]] std::vector<EntryId> mediaServices() const;

  // Saves the state atomically, and nothing else. False (with `*error` set)
  // on failure, with the earlier state file untouched.
  bool save(std::string* error);

  // Saves the state atomically, then brings the registry in line with it:
  // publishes the media service with a new entry ID when it must exist and
  // does not, terminates it when it must not exist. The state is written
  // first, so a failure leaves a whole state file that a later commit
  // reconciles. False (with `*error` set) on failure.
  bool commit(std::string* error);

 private:
  Machine(MachinePaths paths, int lockFd, MachineState state);

  MachinePaths paths_;
  RegistryStore registry_;
  int lockFd_;
  MachineState state_;
};

// Reads the state file without locking (it is always replaced whole).
std::optional<MachineState> readMachineState(const MachinePaths& paths);

}  // namespace pomrel::sim
