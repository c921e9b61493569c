#include "platform/posix/plist_binary_form.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <optional>
#include <vector>

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
constexpr std::uint16_t kOnPath = 0xFFFF;

// A container object being followed: the references left to look at and
// the deepest nesting found below it so far.
struct OpenContainer {
  std::uint64_t index = 0;
  std::uint64_t nextReference = 0;  // where in the file
  std::uint64_t referencesLeft = 0;
  std::uint16_t below = 0;
  std::uint64_t nodes = 1;  // itself and what was followed below it so far
};

// The objects of a binary list as its trailer and offset table place them,
// every position checked against the file before it is read.
class ObjectTable {
 public:
  explicit ObjectTable(std::string_view bytes) : bytes_(bytes) {
    if (bytes.size() < kBinaryMagic.size() + kTrailerSize) return;
    const std::string_view trailer = bytes.substr(bytes.size() - kTrailerSize);
    offsetSize_ = static_cast<unsigned char>(trailer[6]);
    referenceSize_ = static_cast<unsigned char>(trailer[7]);
    count_ = bigEndian(trailer.substr(8, 8));
    top_ = bigEndian(trailer.substr(16, 8));
    table_ = bigEndian(trailer.substr(24, 8));
    const std::size_t end = bytes.size() - kTrailerSize;
    valid_ = offsetSize_ >= 1 && offsetSize_ <= 8 && referenceSize_ >= 1 && referenceSize_ <= 8 &&
             table_ <= end && count_ <= (end - table_) / offsetSize_ && top_ < count_;
  }

  [[nodiscard]] bool valid() const { return valid_; }
  [[nodiscard]] std::uint64_t count() const { return count_; }
  [[nodiscard]] std::uint64_t top() const { return top_; }
  [[nodiscard]] std::size_t referenceSize() const { return referenceSize_; }

  // The reference at `at`, which open() placed within the objects.
  [[nodiscard]] std::uint64_t reference(std::uint64_t at) const {
    return bigEndian(bytes_.substr(at, referenceSize_));
  }

  // Object `index` when it is an array, set or dictionary: its references;
  // nullopt when it cannot be read within the objects (between the magic and
  // the offset table). `scalar` tells any other object.
  [[nodiscard]] std::optional<OpenContainer> open(std::uint64_t index, bool& scalar) const {
    const std::uint64_t at = bigEndian(bytes_.substr(table_ + index * offsetSize_, offsetSize_));
    if (at < kBinaryMagic.size() || at >= table_) return std::nullopt;
    const auto marker = static_cast<unsigned char>(bytes_[at]);
    const unsigned kind = marker >> 4;
    scalar = kind < 0xA || kind > 0xD;  // array, ordered set, set, dictionary
    if (scalar) return OpenContainer{};
    std::uint64_t count = marker & 0x0F;
    std::uint64_t start = at + 1;
    if (count == 0x0F) {
      // The count follows as an integer object: 0x1N, then 2^N bytes.
      if (start >= table_) return std::nullopt;
      const auto countMarker = static_cast<unsigned char>(bytes_[start]);
      const std::size_t width = std::size_t{1} << (countMarker & 0x0F);
      if ((countMarker >> 4) != 0x1 || width > 8 || width > table_ - start - 1) return std::nullopt;
      count = bigEndian(bytes_.substr(start + 1, width));
      start += 1 + width;
    }
    const std::uint64_t perEntry = (kind == 0xD ? 2 : 1) * std::uint64_t{referenceSize_};
    if (count > (table_ - start) / perEntry) return std::nullopt;
    return OpenContainer{index, start, count * (kind == 0xD ? 2 : 1), 0, 1};
  }

 private:
  std::string_view bytes_;
  bool valid_ = false;
  std::size_t offsetSize_ = 0;
  std::size_t referenceSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t top_ = 0;
  std::uint64_t table_ = 0;
};

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

bool binaryTreeWithin(std::string_view bytes, std::size_t maxDepth) {
  const ObjectTable objects(bytes);
  if (!objects.valid() || maxDepth >= kOnPath - 1) return false;
  // Per object: 0 before it is reached, kOnPath while it is open on the
  // path, then 1 more than the nesting at and below it; and the nodes of its
  // tree. An object that many containers share is followed once.
  std::vector<std::uint16_t> seen(objects.count(), 0);
  std::vector<std::uint32_t> nodes(objects.count(), 0);
  const std::uint64_t maxNodes = bytes.size();
  std::vector<OpenContainer> path;  // never longer than maxDepth
  // Adds a finished object below the end of the path.
  const auto add = [&](std::uint16_t nesting, std::uint64_t count) {
    if (path.empty()) return true;
    path.back().below = std::max(path.back().below, nesting);
    path.back().nodes += count;
    return path.back().nodes <= maxNodes;
  };
  // Reaches object `index` from the end of the path; false when that makes
  // the tree too deep or too large, or the object cannot be followed.
  const auto reach = [&](std::uint64_t index) {
    if (index >= objects.count() || seen[index] == kOnPath) return false;
    if (seen[index] != 0) {
      const auto nesting = static_cast<std::uint16_t>(seen[index] - 1);
      return path.size() + nesting <= maxDepth && add(nesting, nodes[index]);
    }
    bool scalar = false;
    std::optional<OpenContainer> container = objects.open(index, scalar);
    if (!container) return false;
    if (scalar) {
      seen[index] = 1;
      nodes[index] = 1;
      return add(0, 1);
    }
    if (path.size() == maxDepth) return false;
    seen[index] = kOnPath;
    path.push_back(*container);
    return true;
  };
  if (!reach(objects.top())) return false;
  while (!path.empty()) {
    OpenContainer& open = path.back();
    if (open.referencesLeft > 0) {
      --open.referencesLeft;
      const std::uint64_t child = objects.reference(open.nextReference);
      open.nextReference += objects.referenceSize();
      if (!reach(child)) return false;
      continue;
    }
    const auto nesting = static_cast<std::uint16_t>(open.below + 1);
    const std::uint64_t count = open.nodes;
    seen[open.index] = static_cast<std::uint16_t>(nesting + 1);
    nodes[open.index] = static_cast<std::uint32_t>(count);
    path.pop_back();
    if (!add(nesting, count)) return false;
  }
  return true;
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
