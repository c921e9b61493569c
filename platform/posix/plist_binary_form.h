// The binary property-list form read and made byte by byte, where libplist's
// nodes do not tell what the file holds, or its API cannot set a value
// exactly.
#pragma once

#include <cstddef>
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

// Whether the tree libplist would build from the binary list `bytes` is
// small enough to build: its arrays, sets and dictionaries nest at most
// `maxDepth` deep, and it has no more nodes than the file has bytes (as a
// list has when no container is referred to twice; libplist builds a shared
// object once per reference, so a few hundred bytes of doubly referred
// arrays would expand to billions). Found without recursion, in time and
// memory bounded by the file's size, before libplist (whose reader recurses
// once per level) sees the list. False as well when a container's
// references cannot be followed within the file (the trailer, an offset, a
// count or a reference out of bounds) or lead back into themselves: libplist
// has no use for such a list either.
bool binaryTreeWithin(std::string_view bytes, std::size_t maxDepth);

// A one-object binary list holding the date `seconds` as its 8-byte double.
std::string binaryDate(double seconds);

}  // namespace pomrel::posix
