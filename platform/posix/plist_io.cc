#include "platform/posix/plist_io.h"

#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/posix/plist_binary_form.h"
#include "platform/posix/plist_exact_values.h"
#include "platform/posix/plist_xml_check.h"

namespace pomrel::posix {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct IteratorDeleter {
  void operator()(void* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};

// fromNode with the count of dictionary entries read, to compare with the
// keys an XML list spelled. `depth` counts the containers around `node`; the
// checks before libplist's reading keep it within kMaxPropertyListDepth, and
// the conversion stops there as well.
struct Reader {
  std::size_t keys = 0;

  std::optional<PropertyValue> fromNode(plist_t node,  // NOLINT(misc-no-recursion)
                                        std::size_t depth = 0) {
    const plist_type type = plist_get_node_type(node);
    if ((type == PLIST_ARRAY || type == PLIST_DICT) && depth >= kMaxPropertyListDepth) {
      return std::nullopt;
    }
    switch (type) {
      case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PropertyValue(b != 0);
      }
      case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        const bool big = v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        return PropertyValue(PropertyInteger{v, big && !integerNodeIsNegative(node)});
      }
      case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        if (v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
        return PropertyValue(PropertyUid{static_cast<std::uint32_t>(v)});
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
        const std::optional<PropertyDate> date = dateOfNode(node);
        if (!date) return std::nullopt;
        return PropertyValue(*date);
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
          auto item = fromNode(plist_array_get_item(node, i), depth + 1);
          if (!item) return std::nullopt;
          array.push_back(std::move(*item));
        }
        return PropertyValue(std::move(array));
      }
      case PLIST_DICT:
        return dictionaryFromNode(node, depth);
      default:
        return std::nullopt;
    }
  }

  // A key that is not text, or one that is there twice, makes the list
  // malformed: either would be written back changed.
  std::optional<PropertyValue> dictionaryFromNode(plist_t node,  // NOLINT(misc-no-recursion)
                                                  std::size_t depth) {
    PropertyDictionary dict;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    const std::unique_ptr<void, IteratorDeleter> iterator(it);
    for (;;) {
      plist_t item = nullptr;
      char* key = nullptr;
      plist_dict_next_item(node, it, &key, &item);
      std::unique_ptr<char, MallocDeleter> owner(key);
      if (item == nullptr) break;
      ++keys;
      std::optional<PropertyValue> value;
      if (key != nullptr && isWritableText(key)) value = fromNode(item, depth + 1);
      if (!value || !dict.emplace(key, std::move(*value)).second) return std::nullopt;
    }
    return PropertyValue(std::move(dict));
  }
};

plist_t toNode(const PropertyValue& value) {  // NOLINT(misc-no-recursion)
  if (const auto* s = value.string()) return plist_new_string(s->c_str());
  if (const auto* b = value.boolean()) return plist_new_bool(*b ? 1 : 0);
  if (const auto* i = value.integer()) {
    return i->isUnsigned ? newUnsignedIntegerNode(i->bits)
                         : newSignedIntegerNode(static_cast<std::int64_t>(i->bits));
  }
  if (const auto* r = value.real()) return plist_new_real(*r);
  if (const auto* d = value.date()) return newDateNode(*d);
  if (const auto* u = value.uid()) return plist_new_uid(u->value);
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

// libplist reads an XML real with the C library, which follows the decimal
// point of the process's locale ("0,5" under some): the list is read with
// the C locale's numbers whatever the process uses.
class CNumbers {
 public:
  CNumbers() : c_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr))) {
    if (c_ != static_cast<locale_t>(nullptr)) saved_ = uselocale(c_);
  }
  ~CNumbers() {
    if (c_ == static_cast<locale_t>(nullptr)) return;
    uselocale(saved_);
    freelocale(c_);
  }
  CNumbers(const CNumbers&) = delete;
  CNumbers& operator=(const CNumbers&) = delete;

 private:
  locale_t c_;
  locale_t saved_ = static_cast<locale_t>(nullptr);
};

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

std::optional<PropertyValue> parsePropertyList(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  std::optional<std::size_t> xmlKeys;
  if (bytes.starts_with(kBinaryMagic)) {
    if (!binaryTreeWithin(bytes, kMaxPropertyListDepth)) return std::nullopt;
    if (binaryTextHoldsNul(bytes)) return std::nullopt;
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the length follows
    plist_from_bin(bytes.data(), length, &root);
  } else {
    xmlKeys = strictXmlKeyCount(bytes, kMaxPropertyListDepth);
    if (!xmlKeys) return std::nullopt;
    const CNumbers numbers;
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the length follows
    plist_from_xml(bytes.data(), length, &root);
  }
  if (root == nullptr) return std::nullopt;
  PlistPtr owner(root);
  Reader reader;
  std::optional<PropertyValue> value = reader.fromNode(root);
  // Fewer entries than keys: libplist merged a repeated key.
  if (xmlKeys && reader.keys != *xmlKeys) return std::nullopt;
  return value;
}

std::string serializeBinaryPropertyList(const PropertyValue& value) {
  PlistPtr root(toNode(value));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  std::unique_ptr<char, MallocDeleter> owner(bytes);
  return bytes != nullptr ? std::string(bytes, length) : std::string();
}

PropertyListFile readPropertyListFile(const std::string& path, std::size_t limit, Links links) {
  FileRead file = readFile(path, limit, links);
  switch (file.status) {
    case ReadStatus::kOk:
      break;
    case ReadStatus::kMissing:
      return {FileStatus::kMissing, {}};
    case ReadStatus::kNotRegular:
    case ReadStatus::kTooLarge:
    case ReadStatus::kUnreadable:
      return {FileStatus::kUnreadable, {}};
  }
  std::optional<PropertyValue> value = parsePropertyList(file.bytes);
  if (!value) return {FileStatus::kMalformed, {}};
  return {FileStatus::kOk, std::move(*value)};
}

std::optional<std::string> linkTarget(std::string path) {
  for (int followed = 0; followed <= kMaxLinksFollowed; ++followed) {
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0) {
      if (errno == ENOENT) return path;
      return std::nullopt;
    }
    if (!S_ISLNK(info.st_mode)) return path;
    std::string named(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), named.data(), named.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= named.size()) return std::nullopt;
    named.resize(static_cast<std::size_t>(length));
    if (named.front() != '/') named.insert(0, folderOf(path) + "/");
    path = std::move(named);
  }
  return std::nullopt;
}

bool writeFileAtomically(const std::string& linkOrPath, std::string_view bytes, mode_t mode) {
  const std::optional<std::string> target = linkTarget(linkOrPath);
  if (!target) return false;
  const std::string& path = *target;
  const std::string folder = folderOf(path);
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
