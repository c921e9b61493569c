// The card media lookup: whether the card's media service exists, and its
// BSD disk name.
#include <array>
#include <cstring>

#include "app/app_controller.h"
#include "media/sxs_driver.h"

namespace pomrel {

namespace {

// Converts the "BSD Name" property into `buffer` as a NUL-terminated string.
// Fails when the property is missing, is not a string, or does not fit with
// its NUL.
bool copyBSDName(const PropertyDictionary& properties,
                 std::array<char, kBSDNameBufferSize>& buffer) {
  const auto found = properties.find(kSxSBSDNameKey);
  if (found == properties.end()) return false;
  const std::string* name = found->second.string();
  if (name == nullptr || name->size() + 1 > buffer.size()) return false;
  std::memcpy(buffer.data(), name->data(), name->size());
  buffer[name->size()] = '\0';
  return true;
}

}  // namespace

bool AppController::getSxSDisk(char* name) {
  DeviceRegistry& registry = platform_.registry;
  std::optional<MatchingDictionary> matching = registry.serviceNameMatching(kSxSMediaServiceName);
  if (!matching) return false;
  const io_service_t service = registry.getMatchingService(std::move(*matching));
  if (service == 0) return false;

  PropertyDictionary properties;
  if (registry.createProperties(service, properties) != KERN_SUCCESS) {
    registry.release(service);
    return false;
  }
  // Zero-filled so that the bytes after the name that reach the caller are
  // zeros, never stale memory.
  std::array<char, kBSDNameBufferSize> local{};
  if (!copyBSDName(properties, local)) {
    registry.release(service);
    return false;
  }
  registry.release(service);
  if (name != nullptr) std::memcpy(name, local.data(), local.size());
  return true;
}

}  // namespace pomrel
