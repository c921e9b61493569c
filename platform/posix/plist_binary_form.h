// The binary property-list form read and made byte by byte, where libplist's
// nodes do not tell what the file holds, or its API cannot set a value
// exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pomrel::posix {

inline constexpr std::string_view kBinaryMagic = "bplist00";

// The big-endian unsigned number `bytes` spell (at most 8 of them).
std::uint64_t bigEndian(std::string_view bytes);

// Whether a string object of the binary list `bytes` holds a NUL character.
// libplist cuts an ASCII string (and key) at its first NUL without a word;
// the node it makes no longer tells, so the objects are looked at where they
// lie. Objects the table does not place within the file are libplist's to
// refuse.
bool binaryTextHoldsNul(std::string_view bytes);

// A one-object binary list holding the date `seconds` as its 8-byte double.
std::string binaryDate(double seconds);

}  // namespace pomrel::posix
