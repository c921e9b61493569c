#include "platform/posix/plist_exact_values.h"

#include <bit>
#include <limits>
#include <memory>
#include <string>

#include "platform/posix/plist_binary_form.h"

namespace pomrel::posix {
namespace {

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

}  // namespace

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

plist_t newSignedIntegerNode(std::int64_t value) {
#ifdef PLIST_IS_INT
  // libplist 2.3 and later mark a node made from an unsigned value above
  // INT64_MAX as unsigned; only the signed call keeps a negative value.
  return plist_new_int(value);
#else
  // libplist 2.2 has no signed call, and its nodes are signed unless marked.
  return plist_new_uint(static_cast<std::uint64_t>(value));
#endif
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

}  // namespace pomrel::posix
