// The simulated device registry as files: one folder per registry name under
// the machine's registry folder, one binary property list per published
// service, "<entry ID>.plist":
//   {"IORegistryEntryName": name, "IORegistryEntryID": integer, "Properties": dict}
// and one file per pending message to a service, "<entry ID>.msg-<sequence>":
//   {"IORegistryEntryID": integer, "MessageType": integer}
// Every file appears whole (written aside in the same folder, then renamed in),
// so a reader never sees a half-written entry or message. A service terminates
// when its file is removed. Entry IDs and message sequence numbers are drawn
// from the machine's one counter, so they are unique, rising and never reused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_registry.h"
#include "platform/property_list.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::sim {

using EntryId = std::uint64_t;

// A message waiting in a service's folder.
struct PendingMessage {
  EntryId entryId = 0;
  std::uint64_t sequence = 0;
  std::string path;
};

class RegistryStore {
 public:
  explicit RegistryStore(const MachinePaths& paths);

  // True when `name` can be a registry name: 1 to 255 bytes, no '/', no NUL,
  // not "." or "..".
  static bool isValidName(const std::string& name);

  // ---- Writing side (the stand-in driver) ----

  // Publishes a new service with a fresh entry ID drawn from the machine's
  // counter, which takes the machine lock for a moment: never call it while
  // this process holds that lock (use publishAs). nullopt on failure, with
  // nothing published.
  std::optional<EntryId> publish(const std::string& name, const PropertyDictionary& properties);

  // Publishes with an entry ID the caller has drawn from the machine's counter.
  bool publishAs(const std::string& name, EntryId id, const PropertyDictionary& properties);

  // Terminates the service (removes its file) and drops its undelivered
  // messages. True when the service is gone afterwards.
  bool terminate(const std::string& name, EntryId id);

  // Sends `type` to the service's interest clients. The sequence number is
  // drawn from the machine's counter (takes the machine lock for a moment,
  // like publish). False on failure or when the service does not exist.
  bool postMessage(const std::string& name, EntryId id, natural_t type);

  // Same with a sequence number the caller has drawn from the counter.
  bool postMessageAs(const std::string& name, EntryId id, std::uint64_t sequence, natural_t type);

  // Removes every file of every service folder (services, messages, files
  // being written), keeping the folders, which watchers may be watching.
  // Returns the highest entry ID or sequence number that was in use, so that
  // none is handed out again.
  std::uint64_t removeAll();

  // ---- Reading side (the registry backend) ----

  // The folder of `name`'s services.
  [[nodiscard]] std::string serviceDirectory(const std::string& name) const;
  [[nodiscard]] std::string entryPath(const std::string& name, EntryId id) const;

  // The entry IDs of the published services named `name`, in rising order.
  // Reads only that name's folder; files being written, messages, and what is
  // not a regular file are not entries.
  [[nodiscard]] std::vector<EntryId> listEntries(const std::string& name) const;

  // The lowest entry ID of `name`, the first match.
  [[nodiscard]] std::optional<EntryId> firstEntry(const std::string& name) const;

  // False only when nothing is at the entry's path (ENOENT, ENOTDIR): an
  // entry that cannot be examined (its folder cannot be searched, an I/O
  // error) may still be there, so it is not taken for terminated.
  [[nodiscard]] bool entryExists(const std::string& name, EntryId id) const;

  // The service's "Properties"; nullopt when it has terminated or its file is
  // not a regular file (links refused) holding a well-formed entry of that
  // name and ID within kRegistryFileLimit.
  [[nodiscard]] std::optional<PropertyDictionary> readEntry(const std::string& name,
                                                            EntryId id) const;

  // The messages waiting for service `id` with a sequence number above
  // `after`, oldest first.
  [[nodiscard]] std::vector<PendingMessage> listMessages(const std::string& name, EntryId id,
                                                         std::uint64_t after = 0) const;

  // The message type in a message file; nullopt when it is gone, malformed
  // or not a regular file.
  [[nodiscard]] static std::optional<natural_t> readMessage(const std::string& path);

 private:
  MachinePaths paths_;
};

}  // namespace pomrel::sim
