// Values that libplist's API does not carry exactly, carried exactly: text
// it writes back as read, integers above INT64_MAX, and dates as their
// 8-byte double.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/property_list.h"

namespace pomrel::posix {

// Frees what libplist hands out with malloc.
struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
};

// Whether `text` is well-formed UTF-8 without a NUL byte: the only strings
// libplist writes back as they were read. It stores strings NUL-terminated,
// asserts when reading one that holds a NUL, and mangles what is not UTF-8
// (or encodes a surrogate) when converting it for the binary form.
bool isWritableText(std::string_view text);

// libplist keeps one unsigned 64-bit value per integer node and marks values
// above INT64_MAX that were stored unsigned (as 128-bit integers) by an
// internal length; its XML form is the only public view of that mark.
bool integerNodeIsNegative(plist_t node);

// An integer node holding `value`, kept unsigned above INT64_MAX.
plist_t newUnsignedIntegerNode(std::uint64_t value);

// An integer node holding `value` as a signed number, with every libplist
// from 2.2 on.
plist_t newSignedIntegerNode(std::int64_t value);

// A date is kept by libplist as its 8-byte double, as the binary form holds
// it, but its API sets and reports it only as 32-bit seconds and
// microseconds. The binary form is the exact way in and out: a one-object
// list holding the date, read or written by libplist.
plist_t newDateNode(PropertyDate date);
std::optional<PropertyDate> dateOfNode(plist_t node);

}  // namespace pomrel::posix
