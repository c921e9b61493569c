#include "platform/posix/plist_binary_form.h"

#include <bit>
#include <cstddef>

namespace pomrel::posix {
namespace {

// A binary property list's trailer: where the table of object offsets is,
// and how wide its entries are.
struct BinaryTrailer {
  std::size_t offsetSize = 0;
  std::uint64_t objectCount = 0;
  std::uint64_t tableOffset = 0;
};

constexpr std::size_t kTrailerSize = 32;

}  // namespace

std::uint64_t bigEndian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (const char c : bytes) value = (value << 8) | static_cast<unsigned char>(c);
  return value;
}

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

}  // namespace pomrel::posix
