#include "platform/posix/plist_io.h"

#include <fcntl.h>
#include <locale.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/posix/plist_xml_check.h"

namespace pomrel::posix {
namespace {

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};

struct IteratorDeleter {
  void operator()(void* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
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

// A binary property list's trailer: where the table of object offsets is,
// and how wide its entries are.
struct BinaryTrailer {
  std::size_t offsetSize = 0;
  std::uint64_t objectCount = 0;
  std::uint64_t tableOffset = 0;
};

std::uint64_t bigEndian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (const char c : bytes) value = (value << 8) | static_cast<unsigned char>(c);
  return value;
}

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kTrailerSize = 32;

// Whether a string object of the binary list `bytes` holds a NUL character.
// libplist cuts an ASCII string (and key) at its first NUL without a word;
// the node it makes no longer tells, so the objects are looked at where they
// lie. Objects the table does not place within the file are libplist's to
// refuse.
bool binaryTextHoldsNul(std::string_view bytes) {
  if (bytes.size() < kBinaryMagic.size() + kTrailerSize) return false;
  const std::string_view trailer = bytes.substr(bytes.size() - kTrailerSize);
  const BinaryTrailer t{static_cast<unsigned char>(trailer[6]), bigEndian(trailer.substr(8, 8)),
                        bigEndian(trailer.substr(24, 8))};
  const std::size_t end = bytes.size() - kTrailerSize;
  if (t.offsetSize < 1 || t.offsetSize > 8 || t.tableOffset > end ||
      t.objectCount > (end - t.tableOffset) / t.offsetSize) {
    return false;
  }
  for (std::uint64_t i = 0; i < t.objectCount; ++i) {
    const std::uint64_t at =
        bigEndian(bytes.substr(t.tableOffset + i * t.offsetSize, t.offsetSize));
    if (at >= t.tableOffset) continue;
    const auto marker = static_cast<unsigned char>(bytes[at]);
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6) continue;  // ASCII, UTF-16
    std::uint64_t count = marker & 0x0F;
    std::uint64_t start = at + 1;
    if (count == 0x0F) {
      // The length follows as an integer object: 0x1N, then 2^N bytes.
      if (start >= t.tableOffset) continue;
      const auto lengthMarker = static_cast<unsigned char>(bytes[start]);
      const std::size_t width = std::size_t{1} << (lengthMarker & 0x0F);
      if ((lengthMarker >> 4) != 0x1 || width > 8 || start + 1 + width > t.tableOffset) continue;
      count = bigEndian(bytes.substr(start + 1, width));
      start += 1 + width;
    }
    const std::uint64_t unit = kind == 0x5 ? 1 : 2;
    if (count > (t.tableOffset - start) / unit) continue;
    const std::string_view text = bytes.substr(start, count * unit);
    for (std::size_t k = text.find('\0'); k != std::string_view::npos; k = text.find('\0', k + 1)) {
      if (unit == 1 || (k % 2 == 0 && text[k + 1] == '\0')) return true;
    }
  }
  return false;
}

// A date is kept by libplist as its 8-byte double, as the binary form holds
// it, but its API sets and reports it only as 32-bit seconds and
// microseconds. The binary form is the exact way in and out: a one-object
// list holding the date, read or written by libplist.
std::string binaryDate(double seconds) {
  std::string bytes(kBinaryMagic);
  bytes += '\x33';  // a date: 8 bytes follow
  const auto bits = std::bit_cast<std::uint64_t>(seconds);
  for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(bits >> shift);
  bytes += '\x08';                                 // the offset table: the one object at offset 8
  std::string trailer("\0\0\0\0\0\0\x01\x01", 8);  // 1-byte offsets and references
  for (const std::uint64_t field : {std::uint64_t{1}, std::uint64_t{0}, std::uint64_t{17}}) {
    for (int shift = 56; shift >= 0; shift -= 8) trailer += static_cast<char>(field >> shift);
  }
  return bytes + trailer;
}

plist_t newDateNode(PropertyDate date) {
  const std::string bytes = binaryDate(date.secondsSinceReferenceDate);
  plist_t node = nullptr;
  plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
  return node;
}

std::optional<PropertyDate> dateOfNode(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::unique_ptr<char, MallocDeleter> owner(bytes);
  const std::string_view form(bytes, bytes != nullptr ? length : 0);
  if (form.size() < 17 || !form.starts_with(kBinaryMagic) || form[8] != '\x33') {
    return std::nullopt;
  }
  return PropertyDate{std::bit_cast<double>(bigEndian(form.substr(9, 8)))};
}

// fromNode with the count of dictionary entries read, to compare with the
// keys an XML list spelled.
struct Reader {
  std::size_t keys = 0;

  std::optional<PropertyValue> fromNode(plist_t node) {  // NOLINT(misc-no-recursion)
    switch (plist_get_node_type(node)) {
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
          auto item = fromNode(plist_array_get_item(node, i));
          if (!item) return std::nullopt;
          array.push_back(std::move(*item));
        }
        return PropertyValue(std::move(array));
      }
      case PLIST_DICT:
        return dictionaryFromNode(node);
      default:
        return std::nullopt;
    }
  }

  // A key that is not text, or one that is there twice, makes the list
  // malformed: either would be written back changed.
  std::optional<PropertyValue> dictionaryFromNode(plist_t node) {  // NOLINT(misc-no-recursion)
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
      if (key != nullptr && isWritableText(key)) value = fromNode(item);
      if (!value || !dict.emplace(key, std::move(*value)).second) return std::nullopt;
    }
    return PropertyValue(std::move(dict));
  }
};

plist_t toNode(const PropertyValue& value) {  // NOLINT(misc-no-recursion)
  if (const auto* s = value.string()) return plist_new_string(s->c_str());
  if (const auto* b = value.boolean()) return plist_new_bool(*b ? 1 : 0);
  if (const auto* i = value.integer()) {
    return i->isUnsigned ? newUnsignedIntegerNode(i->bits) : plist_new_uint(i->bits);
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

}  // namespace

std::optional<PropertyValue> parsePropertyList(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  std::optional<std::size_t> xmlKeys;
  if (bytes.starts_with(kBinaryMagic)) {
    if (binaryTextHoldsNul(bytes)) return std::nullopt;
    plist_from_bin(bytes.data(), length, &root);
  } else {
    xmlKeys = strictXmlKeyCount(bytes);
    if (!xmlKeys) return std::nullopt;
    const CNumbers numbers;
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
