#include "platform/posix/plist_io.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <vector>

namespace pomrel::posix {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};

// Whether `text` is well-formed UTF-8 without a NUL byte: the only strings
// libplist writes back as they were read. It stores strings NUL-terminated,
// asserts when reading one that holds a NUL, and mangles what is not UTF-8
// (or encodes a surrogate) when converting it for the binary form.
bool isWritableText(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead == 0) return false;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1Fu;
      smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0Fu;
      smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07u;
      smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// Whether the dictionary key of `item` holds a NUL byte. libplist hands out
// keys only through plist_get_key_val, which asserts that there is none; its
// XML writer is the one public view of all of a key's bytes.
bool keyHoldsNul(plist_t item) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(plist_dict_item_get_key(item), &xml, &length);
  std::unique_ptr<char, MallocDeleter> owner(xml);
  return xml == nullptr || std::memchr(xml, '\0', length) != nullptr;
}

// The XML form of `node` (inside an array, as XML needs a root); empty when
// it cannot be made.
std::string xmlFormOf(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_t wrapper = plist_new_array();
  plist_array_append_item(wrapper, plist_copy(node));
  plist_to_xml(wrapper, &xml, &length);
  plist_free(wrapper);
  std::unique_ptr<char, MallocDeleter> owner(xml);
  return xml != nullptr ? std::string(xml, length) : std::string();
}

// libplist keeps one unsigned 64-bit value per integer node and marks values
// above INT64_MAX that were stored unsigned (as 128-bit integers) by an
// internal length; its XML form is the only public view of that mark.
bool integerNodeIsNegative(plist_t node) {
  return xmlFormOf(node).find("<integer>-") != std::string::npos;
}

plist_t newUnsignedIntegerNode(std::uint64_t value) {
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return plist_new_uint(value);
  }
  // Only the XML reader creates the 128-bit form that keeps such a value
  // unsigned; a plain node would come back as a negative number.
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><integer>" +
      std::to_string(value) + "</integer></plist>";
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
  return node != nullptr ? node : plist_new_uint(value);
}

// Seconds between 1970-01-01 and 2001-01-01, the property lists' epoch.
constexpr std::int64_t kReferenceDateOffset = 978307200;
constexpr std::int64_t kMicrosecondsPerSecond = 1000000;
// Dates beyond libplist's 32-bit seconds are kept in whole seconds within
// years 1 to 9999, the range its XML form can spell.
constexpr std::int64_t kEarliestWholeSeconds = -63113904000;  // 0001-01-01T00:00:00Z
constexpr std::int64_t kLatestWholeSeconds = 252423993599;    // 9999-12-31T23:59:59Z

std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool fitsInt32(std::int64_t v) {
  return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

// libplist 2.2 sets a date only from 32-bit seconds; the XML reader is the
// one way to make a date outside that range (in whole seconds).
plist_t newDateThroughXml(std::int64_t wholeSeconds) {
  wholeSeconds = std::clamp(wholeSeconds, kEarliestWholeSeconds, kLatestWholeSeconds);
  const auto unixSeconds = static_cast<time_t>(wholeSeconds + kReferenceDateOffset);
  std::tm parts{};
  plist_t node = nullptr;
  if (gmtime_r(&unixSeconds, &parts) != nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    const std::string xml =
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><date>") +
        text + "</date></plist>";
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
  }
  if (node != nullptr && plist_get_node_type(node) == PLIST_DATE) return node;
  if (node != nullptr) plist_free(node);
  return plist_new_date(
      wholeSeconds < 0 ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max(),
      0);
}

// The date node for a whole number of microseconds since the reference date,
// built exactly as libplist builds it from seconds and microseconds.
plist_t newDateNode(std::int64_t microseconds) {
  const std::int64_t whole = floorDivide(microseconds, kMicrosecondsPerSecond);
  const std::int64_t fraction = microseconds - whole * kMicrosecondsPerSecond;
  if (!fitsInt32(whole)) return newDateThroughXml(whole);
  return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(fraction));
}

// The same arithmetic as libplist's date constructor, so that the value
// converts back to the identical node.
PropertyDate dateFromMicroseconds(std::int64_t microseconds) {
  const std::int64_t whole = floorDivide(microseconds, kMicrosecondsPerSecond);
  const std::int64_t fraction = microseconds - whole * kMicrosecondsPerSecond;
  return PropertyDate{static_cast<double>(whole) + static_cast<double>(fraction) / 1e6};
}

std::int64_t microsecondsOf(PropertyDate date) {
  double seconds = date.secondsSinceReferenceDate;
  if (!std::isfinite(seconds)) seconds = 0;
  seconds = std::clamp(seconds, static_cast<double>(kEarliestWholeSeconds),
                       static_cast<double>(kLatestWholeSeconds));
  const double whole = std::floor(seconds);
  return static_cast<std::int64_t>(whole) * kMicrosecondsPerSecond +
         std::lround((seconds - whole) * 1e6);
}

// The date's whole seconds, rounded toward zero. libplist reports them as a
// 32-bit number that saturates outside that range; there its XML form,
// which prints any date in whole seconds, tells the real value.
std::int64_t wholeSecondsTowardZero(plist_t node, int32_t reported) {
  if (reported != std::numeric_limits<int32_t>::min() &&
      reported != std::numeric_limits<int32_t>::max()) {
    return reported;
  }
  const std::string text = xmlFormOf(node);
  const auto at = text.find("<date>");
  long long year = 0;
  std::tm parts{};
  if (at == std::string::npos ||
      std::sscanf(text.c_str() + at + 6, "%lld-%d-%dT%d:%d:%dZ", &year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6) {
    return reported;
  }
  parts.tm_year = static_cast<int>(year - 1900);
  parts.tm_mon -= 1;
  return static_cast<std::int64_t>(timegm(&parts)) - kReferenceDateOffset;
}

// libplist 2.2 keeps a date as a double but reports it as whole seconds
// (toward zero) and microseconds truncated from the magnitude of the
// fraction, which can lose one microsecond and the sign of dates in the
// second before the reference date. The value is recovered exactly by
// comparing the node with the few dates those two numbers allow; a date
// that matches none (written by another program, finer than a
// microsecond) keeps the microseconds reported.
PropertyDate dateFromNode(plist_t node) {
  int32_t seconds = 0;
  int32_t micros = 0;
  plist_get_date_val(node, &seconds, &micros);
  const std::int64_t whole = wholeSecondsTowardZero(node, seconds);
  // Beyond 32-bit seconds a date is written in whole seconds within years 1
  // to 9999 (newDateNode), so no more is read of it: what is read must be
  // written back unchanged.
  if (!fitsInt32(whole)) {
    return PropertyDate{
        static_cast<double>(std::clamp(whole, kEarliestWholeSeconds, kLatestWholeSeconds))};
  }
  const std::int64_t base = whole * kMicrosecondsPerSecond;
  const std::int64_t u = std::clamp<std::int64_t>(micros, 0, kMicrosecondsPerSecond - 1);
  std::vector<std::int64_t> candidates;
  if (whole >= 0) candidates.insert(candidates.end(), {base + u, base + u + 1});
  if (whole <= 0) candidates.insert(candidates.end(), {base - u, base - u - 1});
  for (const std::int64_t t : candidates) {
    PlistPtr probe(newDateNode(t));
    if (plist_compare_node_value(node, probe.get()) != 0) return dateFromMicroseconds(t);
  }
  return dateFromMicroseconds(candidates.front());
}

std::optional<PropertyValue> fromNode(plist_t node) {  // NOLINT(misc-no-recursion)
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PropertyValue(b != 0);
    }
    case PLIST_UINT:
    case PLIST_UID: {
      uint64_t v = 0;
      if (plist_get_node_type(node) == PLIST_UID) {
        plist_get_uid_val(node, &v);
        return PropertyValue(PropertyInteger::fromUnsigned(v));
      }
      plist_get_uint_val(node, &v);
      if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
          integerNodeIsNegative(node)) {
        return PropertyValue(PropertyInteger{v, false});
      }
      const bool big = v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      return PropertyValue(PropertyInteger{v, big});
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PropertyValue(d);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (s == nullptr) return PropertyValue(std::string());
      std::string text(s, length);
      if (!isWritableText(text)) return std::nullopt;
      return PropertyValue(std::move(text));
    }
    case PLIST_DATE: {
      return PropertyValue(dateFromNode(node));
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      std::unique_ptr<char, MallocDeleter> owner(bytes);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
      return PropertyValue(PropertyData(begin, begin + (bytes != nullptr ? length : 0)));
    }
    case PLIST_ARRAY: {
      PropertyArray array;
      const uint32_t n = plist_array_get_size(node);
      array.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto item = fromNode(plist_array_get_item(node, i));
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return PropertyValue(std::move(array));
    }
    case PLIST_DICT: {
      PropertyDictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        plist_t item = nullptr;
        plist_dict_next_item(node, it, nullptr, &item);
        if (item == nullptr) break;
        char* key = nullptr;
        if (!keyHoldsNul(item)) plist_dict_get_item_key(item, &key);
        std::unique_ptr<char, MallocDeleter> owner(key);
        auto value = key != nullptr && isWritableText(key) ? fromNode(item) : std::nullopt;
        if (!value) {
          std::free(it);  // NOLINT(cppcoreguidelines-no-malloc)
          return std::nullopt;
        }
        dict.insert_or_assign(key, std::move(*value));
      }
      std::free(it);  // NOLINT(cppcoreguidelines-no-malloc)
      return PropertyValue(std::move(dict));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const PropertyValue& value) {  // NOLINT(misc-no-recursion)
  if (const auto* s = value.string()) return plist_new_string(s->c_str());
  if (const auto* b = value.boolean()) return plist_new_bool(*b ? 1 : 0);
  if (const auto* i = value.integer()) {
    return i->isUnsigned ? newUnsignedIntegerNode(i->bits) : plist_new_uint(i->bits);
  }
  if (const auto* r = value.real()) return plist_new_real(*r);
  if (const auto* d = value.date()) return newDateNode(microsecondsOf(*d));
  if (const auto* data = value.data()) {
    return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
  }
  if (const auto* array = value.array()) {
    plist_t node = plist_new_array();
    for (const auto& item : *array) plist_array_append_item(node, toNode(item));
    return node;
  }
  plist_t node = plist_new_dict();
  for (const auto& [key, item] : *value.dictionary())
    plist_dict_set_item(node, key.c_str(), toNode(item));
  return node;
}

}  // namespace

std::optional<PropertyValue> parsePropertyList(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  PlistPtr owner(root);
  return fromNode(root);
}

std::string serializeBinaryPropertyList(const PropertyValue& value) {
  PlistPtr root(toNode(value));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  std::unique_ptr<char, MallocDeleter> owner(bytes);
  return bytes != nullptr ? std::string(bytes, length) : std::string();
}

PropertyListFile readPropertyListFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return {errno == ENOENT ? FileStatus::kMissing : FileStatus::kUnreadable, {}};
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return {FileStatus::kUnreadable, {}};
  auto value = parsePropertyList(bytes);
  if (!value) return {FileStatus::kUnreadable, {}};
  return {FileStatus::kOk, std::move(*value)};
}

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  const auto slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk, or a crash could bring back the
  // old name.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool writePropertyListFile(const std::string& path, const PropertyValue& value, mode_t mode) {
  const std::string bytes = serializeBinaryPropertyList(value);
  return !bytes.empty() && writeFileAtomically(path, bytes, mode);
}

}  // namespace pomrel::posix
