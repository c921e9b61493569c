#include "simulator/registry_store.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/posix/plist_io.h"
#include "simulator/machine.h"

namespace pomrel::sim {

namespace {

constexpr const char* kEntryNameKey = "IORegistryEntryName";
constexpr const char* kEntryIdKey = "IORegistryEntryID";
constexpr const char* kPropertiesKey = "Properties";
constexpr const char* kMessageTypeKey = "MessageType";
constexpr std::string_view kEntrySuffix = ".plist";
constexpr std::string_view kMessageInfix = ".msg-";

// A decimal number written the way this store writes one: digits only, no
// leading zero, not zero, no overflow. Anything else (temporary files made
// while writing, stray files) is not ours to read.
std::optional<std::uint64_t> parseNumber(std::string_view text) {
  if (text.empty() || text.front() == '0') return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<EntryId> parseEntryFileName(std::string_view file) {
  if (file.size() <= kEntrySuffix.size() || !file.ends_with(kEntrySuffix)) return std::nullopt;
  return parseNumber(file.substr(0, file.size() - kEntrySuffix.size()));
}

// "<id>.msg-<sequence>" as (id, sequence).
std::optional<std::pair<EntryId, std::uint64_t>> parseMessageFileName(std::string_view file) {
  const std::size_t infix = file.find(kMessageInfix);
  if (infix == std::string_view::npos) return std::nullopt;
  const auto id = parseNumber(file.substr(0, infix));
  const auto sequence = parseNumber(file.substr(infix + kMessageInfix.size()));
  if (!id || !sequence) return std::nullopt;
  return std::make_pair(*id, *sequence);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Calls `visit` with the name of every file in `folder` (none when it does
// not exist), and whether it may be a regular file (its type is not always
// known from the folder alone).
template <typename Visit>
void forEachFile(const std::string& folder, Visit visit) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  while (const dirent* item = ::readdir(dir.get())) {
    visit(std::string_view(item->d_name), item->d_type == DT_REG || item->d_type == DT_UNKNOWN);
  }
}

bool makeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool integerEquals(const PropertyValue& value, std::uint64_t expected) {
  const PropertyInteger* integer = value.integer();
  return integer != nullptr && integer->bits == expected &&
         (integer->isUnsigned || static_cast<std::int64_t>(integer->bits) >= 0);
}

}  // namespace

RegistryStore::RegistryStore(const MachinePaths& paths) : paths_(paths) {}

bool RegistryStore::isValidName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string RegistryStore::serviceDirectory(const std::string& name) const {
  return paths_.registryDirectory() + "/" + name;
}

std::string RegistryStore::entryPath(const std::string& name, EntryId id) const {
  return serviceDirectory(name) + "/" + std::to_string(id) + std::string(kEntrySuffix);
}

std::optional<EntryId> RegistryStore::publish(const std::string& name,
                                              const PropertyDictionary& properties) {
  if (!isValidName(name)) return std::nullopt;
  EntryId id = 0;
  {
    std::string error;
    std::optional<Machine> machine = Machine::open(paths_, &error);
    if (!machine) return std::nullopt;
    id = machine->drawNumber();
    if (!machine->save(&error)) return std::nullopt;
  }
  if (!publishAs(name, id, properties)) return std::nullopt;
  return id;
}

bool RegistryStore::publishAs(const std::string& name, EntryId id,
                              const PropertyDictionary& properties) {
  if (!isValidName(name) || id == 0) return false;
  if (!makeFolder(paths_.registryDirectory()) || !makeFolder(serviceDirectory(name))) return false;
  const PropertyDictionary entry{
      {kEntryNameKey, name},
      {kEntryIdKey, PropertyInteger::fromUnsigned(id)},
      {kPropertiesKey, properties},
  };
  return posix::writePropertyListFile(entryPath(name, id), PropertyValue(entry), 0644);
}

bool RegistryStore::terminate(const std::string& name, EntryId id) {
  if (!isValidName(name)) return false;
  if (::unlink(entryPath(name, id).c_str()) != 0 && errno != ENOENT) return false;
  // Messages nobody picked up would otherwise stay behind for good.
  for (const PendingMessage& message : listMessages(name, id)) ::unlink(message.path.c_str());
  return true;
}

bool RegistryStore::postMessage(const std::string& name, EntryId id, natural_t type) {
  if (!isValidName(name) || !entryExists(name, id)) return false;
  std::uint64_t sequence = 0;
  {
    std::string error;
    std::optional<Machine> machine = Machine::open(paths_, &error);
    if (!machine) return false;
    sequence = machine->drawNumber();
    if (!machine->save(&error)) return false;
  }
  return postMessageAs(name, id, sequence, type);
}

bool RegistryStore::postMessageAs(const std::string& name, EntryId id, std::uint64_t sequence,
                                  natural_t type) {
  if (!isValidName(name) || sequence == 0 || !entryExists(name, id)) return false;
  const std::string path = serviceDirectory(name) + "/" + std::to_string(id) +
                           std::string(kMessageInfix) + std::to_string(sequence);
  const PropertyDictionary message{
      {kEntryIdKey, PropertyInteger::fromUnsigned(id)},
      {kMessageTypeKey, PropertyInteger::fromUnsigned(type)},
  };
  return posix::writePropertyListFile(path, PropertyValue(message), 0644);
}

std::uint64_t RegistryStore::removeAll() {
  std::uint64_t highest = 0;
  const std::string registry = paths_.registryDirectory();
  std::vector<std::string> folders;
  forEachFile(registry, [&](std::string_view name, bool) {
    if (name != "." && name != "..") folders.push_back(registry + "/" + std::string(name));
  });
  for (const std::string& folder : folders) {
    std::vector<std::string> files;
    forEachFile(folder, [&](std::string_view file, bool) {
      if (file == "." || file == "..") return;
      if (auto id = parseEntryFileName(file)) highest = std::max(highest, *id);
      if (auto message = parseMessageFileName(file)) {
        highest = std::max({highest, message->first, message->second});
      }
      files.push_back(folder + "/" + std::string(file));
    });
    for (const std::string& file : files) ::unlink(file.c_str());
  }
  return highest;
}

std::vector<EntryId> RegistryStore::listEntries(const std::string& name) const {
  std::vector<EntryId> ids;
  if (!isValidName(name)) return ids;
  forEachFile(serviceDirectory(name), [&](std::string_view file, bool regular) {
    if (auto id = parseEntryFileName(file); id && regular) ids.push_back(*id);
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::optional<EntryId> RegistryStore::firstEntry(const std::string& name) const {
  std::optional<EntryId> lowest;
  if (!isValidName(name)) return lowest;
  forEachFile(serviceDirectory(name), [&](std::string_view file, bool regular) {
    auto id = parseEntryFileName(file);
    if (id && regular && (!lowest || *id < *lowest)) lowest = id;
  });
  return lowest;
}

bool RegistryStore::entryExists(const std::string& name, EntryId id) const {
  if (!isValidName(name)) return false;
  struct stat info = {};
  return ::stat(entryPath(name, id).c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

std::optional<PropertyDictionary> RegistryStore::readEntry(const std::string& name,
                                                           EntryId id) const {
  if (!isValidName(name)) return std::nullopt;
  const posix::PropertyListFile file = posix::readPropertyListFile(
      entryPath(name, id), posix::kRegistryFileLimit, posix::Links::kRefuse);
  if (file.status != posix::FileStatus::kOk) return std::nullopt;
  const PropertyDictionary* entry = file.value.dictionary();
  if (entry == nullptr) return std::nullopt;
  const auto entryName = entry->find(kEntryNameKey);
  const auto entryId = entry->find(kEntryIdKey);
  const auto properties = entry->find(kPropertiesKey);
  if (entryName == entry->end() || entryName->second.string() == nullptr ||
      *entryName->second.string() != name || entryId == entry->end() ||
      !integerEquals(entryId->second, id) || properties == entry->end() ||
      properties->second.dictionary() == nullptr) {
    return std::nullopt;
  }
  return *properties->second.dictionary();
}

std::vector<PendingMessage> RegistryStore::listMessages(const std::string& name, EntryId id,
                                                        std::uint64_t after) const {
  std::vector<PendingMessage> messages;
  if (!isValidName(name)) return messages;
  const std::string folder = serviceDirectory(name);
  forEachFile(folder, [&](std::string_view file, bool) {
    auto parsed = parseMessageFileName(file);
    if (parsed && parsed->first == id && parsed->second > after) {
      messages.push_back({id, parsed->second, folder + "/" + std::string(file)});
    }
  });
  std::sort(messages.begin(), messages.end(), [](const PendingMessage& a, const PendingMessage& b) {
    return a.sequence < b.sequence;
  });
  return messages;
}

std::optional<natural_t> RegistryStore::readMessage(const std::string& path) {
  const posix::PropertyListFile file =
      posix::readPropertyListFile(path, posix::kRegistryFileLimit, posix::Links::kRefuse);
  if (file.status != posix::FileStatus::kOk) return std::nullopt;
  const PropertyDictionary* message = file.value.dictionary();
  if (message == nullptr) return std::nullopt;
  const auto type = message->find(kMessageTypeKey);
  if (type == message->end()) return std::nullopt;
  const PropertyInteger* integer = type->second.integer();
  if (integer == nullptr || integer->bits > std::numeric_limits<natural_t>::max()) {
    return std::nullopt;
  }
  return static_cast<natural_t>(integer->bits);
}

}  // namespace pomrel::sim
