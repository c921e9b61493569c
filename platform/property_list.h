// Property-list values: the data model shared by the device registry's
// properties and the user defaults. Backends convert these to and from their
// storage format; the core only ever sees these types.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace pomrel {

struct PropertyValue;

using PropertyArray = std::vector<PropertyValue>;
// Keys are unique; iteration order is by key, which property lists do not
// give any meaning to.
using PropertyDictionary = std::map<std::string, PropertyValue>;
using PropertyData = std::vector<std::uint8_t>;

// A property-list integer. Property lists hold the signed 64-bit range and the
// whole unsigned 64-bit range; `isUnsigned` tells which reading of `bits`
// holds, so that -1 and 2^64-1 stay distinct.
struct PropertyInteger {
  std::uint64_t bits = 0;
  bool isUnsigned = false;

  static PropertyInteger fromSigned(std::int64_t v) {
    return {static_cast<std::uint64_t>(v), false};
  }
  static PropertyInteger fromUnsigned(std::uint64_t v) { return {v, true}; }
  // Equal when they denote the same number: below 2^63 both readings agree.
  friend bool operator==(const PropertyInteger& a, const PropertyInteger& b) {
    constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
    return a.bits == b.bits && (a.isUnsigned == b.isUnsigned || (a.bits & kSignBit) == 0);
  }
};

// A point in time as seconds since 2001-01-01 00:00:00 UTC, with its fraction.
struct PropertyDate {
  double secondsSinceReferenceDate = 0;
  friend bool operator==(const PropertyDate&, const PropertyDate&) = default;
};

// A keyed archive's reference to another of its objects (a binary property
// list's UID). Only archives hold these; the core never looks at them, but
// they are kept so that a file holding one is written back unchanged.
struct PropertyUid {
  std::uint32_t value = 0;
  friend bool operator==(const PropertyUid&, const PropertyUid&) = default;
};

// One value of any property-list type. Arrays and dictionaries nest to any
// depth; the indirection through shared pointers is hidden by the accessors.
struct PropertyValue {
  using Storage = std::variant<std::string, bool, PropertyInteger, double, PropertyDate,
                               PropertyUid, PropertyData, std::shared_ptr<PropertyArray>,
                               std::shared_ptr<PropertyDictionary>>;
  Storage storage;

  PropertyValue() : storage(std::string()) {}
  PropertyValue(std::string s) : storage(std::move(s)) {}    // NOLINT(google-explicit-constructor)
  PropertyValue(const char* s) : storage(std::string(s)) {}  // NOLINT(google-explicit-constructor)
  PropertyValue(bool b) : storage(b) {}                      // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyInteger i) : storage(i) {}           // NOLINT(google-explicit-constructor)
  PropertyValue(double d) : storage(d) {}                    // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyDate d) : storage(d) {}              // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyUid u) : storage(u) {}               // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyData d) : storage(std::move(d)) {}   // NOLINT(google-explicit-constructor)
  PropertyValue(PropertyArray a)                             // NOLINT(google-explicit-constructor)
      : storage(std::make_shared<PropertyArray>(std::move(a))) {}
  PropertyValue(PropertyDictionary d)  // NOLINT(google-explicit-constructor)
      : storage(std::make_shared<PropertyDictionary>(std::move(d))) {}

  // Typed views: null when the value holds another type.
  [[nodiscard]] const std::string* string() const { return std::get_if<std::string>(&storage); }
  [[nodiscard]] const bool* boolean() const { return std::get_if<bool>(&storage); }
  [[nodiscard]] const PropertyInteger* integer() const {
    return std::get_if<PropertyInteger>(&storage);
  }
  [[nodiscard]] const double* real() const { return std::get_if<double>(&storage); }
  [[nodiscard]] const PropertyDate* date() const { return std::get_if<PropertyDate>(&storage); }
  [[nodiscard]] const PropertyUid* uid() const { return std::get_if<PropertyUid>(&storage); }
  [[nodiscard]] const PropertyData* data() const { return std::get_if<PropertyData>(&storage); }
  [[nodiscard]] const PropertyArray* array() const {
    const auto* p = std::get_if<std::shared_ptr<PropertyArray>>(&storage);
    return p ? p->get() : nullptr;
  }
  [[nodiscard]] const PropertyDictionary* dictionary() const {
    const auto* p = std::get_if<std::shared_ptr<PropertyDictionary>>(&storage);
    return p ? p->get() : nullptr;
  }

  // Deep equality: nested containers compare by content.
  friend bool operator==(const PropertyValue& a, const PropertyValue& b);
};

inline bool operator==(const PropertyValue& a, const PropertyValue& b) {
  if (a.storage.index() != b.storage.index()) return false;
  if (const auto* x = a.array()) return *x == *b.array();
  if (const auto* x = a.dictionary()) return *x == *b.dictionary();
  return a.storage == b.storage;
}

}  // namespace pomrel
