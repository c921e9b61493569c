#include "platform/sim/plist_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>

namespace pomrel::sim {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};

// libplist keeps one unsigned 64-bit value per integer node and marks values
// above INT64_MAX that were stored unsigned (as 128-bit integers) by an
// internal length; its XML form is the only public view of that mark.
bool integerNodeIsNegative(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_t wrapper = plist_new_array();
  plist_array_append_item(wrapper, plist_copy(node));
  plist_to_xml(wrapper, &xml, &length);
  plist_free(wrapper);
  std::unique_ptr<char, MallocDeleter> owner(xml);
  return xml != nullptr && std::string_view(xml, length).find("<integer>-") != std::string_view::npos;
}

plist_t newUnsignedIntegerNode(std::uint64_t value) {
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return plist_new_uint(value);
  }
  // Only the XML reader creates the 128-bit form that keeps such a value
  // unsigned; a plain node would come back as a negative number.
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><integer>" +
                          std::to_string(value) + "</integer></plist>";
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
  return node != nullptr ? node : plist_new_uint(value);
}

// Seconds between 1970-01-01 and 2001-01-01, the property lists' epoch.
constexpr double kReferenceDateOffset = 978307200.0;

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
      char* s = nullptr;
      plist_get_string_val(node, &s);
      std::unique_ptr<char, MallocDeleter> owner(s);
      return PropertyValue(std::string(s != nullptr ? s : ""));
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PropertyValue(PropertyDate{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
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
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (key == nullptr) break;
        std::unique_ptr<char, MallocDeleter> owner(key);
        auto value = fromNode(item);
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
  if (const auto* d = value.date()) {
    double whole = std::floor(d->secondsSinceReferenceDate);
    auto usec = static_cast<int32_t>(std::lround((d->secondsSinceReferenceDate - whole) * 1e6));
    if (usec >= 1000000) {
      whole += 1;
      usec -= 1000000;
    }
    return plist_new_date(static_cast<int32_t>(whole), usec);
  }
  if (const auto* data = value.data()) {
    return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
  }
  if (const auto* array = value.array()) {
    plist_t node = plist_new_array();
    for (const auto& item : *array) plist_array_append_item(node, toNode(item));
    return node;
  }
  plist_t node = plist_new_dict();
  for (const auto& [key, item] : *value.dictionary()) plist_dict_set_item(node, key.c_str(), toNode(item));
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
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
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

}  // namespace pomrel::sim
