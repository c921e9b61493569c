// A registry entry read from arbitrary file contents.
//
// The input is the file of the card media service's entry 7, and then also a
// message to that service. Through SimRegistry: the name lookup finds the
// entry; its properties are read when, and only when, the file (within the
// registry's size bound) is a dictionary naming that service and entry with a
// "Properties" dictionary, and then they are that dictionary; a message is
// delivered when, and only when, the file holds a 32-bit "MessageType", and
// its file is consumed either way. Every handle is released again (leaks of
// memory are LeakSanitizer's to find).
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "media/sxs_driver.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_registry.h"

namespace pomrel::fuzz {
namespace {

constexpr sim::EntryId kEntry = 7;

// One registry and one notification port serve every input: closing a
// port's inotify descriptor waits for the kernel for milliseconds.
struct Machine {
  sim::MachinePaths paths{scratchRoot()};
  std::string folder = paths.registryDirectory() + "/" + kSxSMediaServiceName;
  sim::SimRegistry registry{paths};
  IONotificationPortRef port = nullptr;
};

Machine& machine() {
  static Machine* const instance = [] {
    auto* made = new Machine;
    makeFolders(made->folder);
    made->port = made->registry.notificationPortCreate();
    check(made->port != nullptr, "no notification port");
    return made;
  }();
  return *instance;
}

// What the bytes hold when read as an entry: the service's properties, or
// nullopt when they are not a well-formed entry of kEntry.
struct Expected {
  std::optional<PropertyDictionary> properties;
  std::optional<natural_t> messageType;
};

Expected expectedFrom(const std::uint8_t* data, std::size_t size) {
  Expected expected;
  if (size > posix::kRegistryFileLimit) return expected;
  const auto plist =
      posix::parsePropertyList(std::string_view(reinterpret_cast<const char*>(data), size));
  const PropertyDictionary* entry = plist ? plist->dictionary() : nullptr;
  if (entry == nullptr) return expected;
  const auto field = [entry](const char* key) -> const PropertyValue* {
    const auto found = entry->find(key);
    return found == entry->end() ? nullptr : &found->second;
  };
  const PropertyValue* name = field("IORegistryEntryName");
  const PropertyValue* id = field("IORegistryEntryID");
  const PropertyValue* properties = field("Properties");
  if (name != nullptr && name->string() != nullptr && *name->string() == kSxSMediaServiceName &&
      id != nullptr && id->integer() != nullptr &&
      *id->integer() == PropertyInteger::fromSigned(kEntry) && properties != nullptr &&
      properties->dictionary() != nullptr) {
    expected.properties = *properties->dictionary();
  }
  const PropertyValue* type = field("MessageType");
  if (type != nullptr && type->integer() != nullptr &&
      type->integer()->bits <= std::numeric_limits<natural_t>::max()) {
    expected.messageType = static_cast<natural_t>(type->integer()->bits);
  }
  return expected;
}

struct Delivered {
  int calls = 0;
  natural_t type = 0;
};

void recordMessage(void* refcon, io_service_t, natural_t messageType, void*) {
  auto* delivered = static_cast<Delivered*>(refcon);
  ++delivered->calls;
  delivered->type = messageType;
}

void checkLookupAndProperties(sim::SimRegistry& registry, const Expected& expected) {
  std::optional<MatchingDictionary> matching = registry.serviceNameMatching(kSxSMediaServiceName);
  check(matching.has_value(), "no matching dictionary");
  const io_service_t service = registry.getMatchingService(std::move(*matching));
  check(service != 0, "the entry file was not found");

  PropertyDictionary properties{{"untouched", true}};
  const kern_return_t status = registry.createProperties(service, properties);
  check((status == KERN_SUCCESS) == expected.properties.has_value(),
        "properties read from a malformed entry, or not read from a well-formed one");
  if (status == KERN_SUCCESS) {
    check(sameDictionary(properties, *expected.properties), "the properties differ from the file");
  } else {
    check(properties.size() == 1 && properties.count("untouched"),
          "a failed read changed the properties");
  }
  check(registry.release(service) == KERN_SUCCESS, "the service handle cannot be released");
  check(registry.release(service) != KERN_SUCCESS, "a handle was released twice");
}

void checkMessageDelivery(Machine& m, const std::uint8_t* data, std::size_t size,
                          const Expected& expected) {
  sim::SimRegistry& registry = m.registry;
  const io_service_t service =
      registry.getMatchingService(*registry.serviceNameMatching(kSxSMediaServiceName));
  Delivered delivered;
  io_object_t interest = 0;
  check(registry.addInterestNotification(m.port, service, kIOGeneralInterest, recordMessage,
                                         &delivered, &interest) == KERN_SUCCESS,
        "no interest registration on a present entry");
  const std::string message = m.folder + "/" + std::to_string(kEntry) + ".msg-1";
  writeFile(message, data, size);
  registry.notificationPortGetRunLoopSource(m.port)->perform();
  if (expected.messageType) {
    check(delivered.calls == 1 && delivered.type == *expected.messageType,
          "a well-formed message was not delivered once with its type");
  } else {
    check(delivered.calls == 0, "a malformed message was delivered");
  }
  check(::access(message.c_str(), F_OK) != 0, "a message file was left behind");
  check(registry.release(interest) == KERN_SUCCESS, "the registration cannot be released");
  check(registry.release(service) == KERN_SUCCESS, "the service handle cannot be released");
}

void runOne(const std::uint8_t* data, std::size_t size) {
  Machine& m = machine();
  emptyFolder(m.folder);
  writeFile(m.folder + "/" + std::to_string(kEntry) + ".plist", data, size);
  const Expected expected = expectedFrom(data, size);

  checkLookupAndProperties(m.registry, expected);
  checkMessageDelivery(m, data, size, expected);
  check(m.registry.liveHandleCount() == 0, "a registry handle was never released");
}

}  // namespace
}  // namespace pomrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pomrel::fuzz::runOne(data, size);
  return 0;
}
