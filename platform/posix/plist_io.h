// Property-list files, read and written with
// libplist.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/property_list.h"

namespace pomrel::posix {

// What survives a conversion to a property list and back: every string that
// is UTF-8 without a NUL byte, every boolean, real, data and container
// unchanged; integers over the signed and the unsigned 64-bit range (unsigned
// is reported only above INT64_MAX, where the two readings differ); dates to
// the microsecond from 1933-12-13 to 2069-01-19 (the range of libplist's
// 32-bit seconds) and in whole seconds elsewhere within years 1 to 9999
// (dates beyond are clamped, a date that is not finite is stored as the
// reference date). Keyed-archive UIDs read as unsigned integers.

// Parses a binary or XML property list. nullopt when `bytes` is not one, or
// holds a string or key that is not UTF-8 or has a NUL byte in it (it could
// not be written back as it is).
std::optional<PropertyValue> parsePropertyList(std::string_view bytes);

// The binary property-list form of `value`.
std::string serializeBinaryPropertyList(const PropertyValue& value);

enum class FileStatus { kOk, kMissing, kUnreadable };

struct PropertyListFile {
  // kMissing: nothing at the path; kUnreadable: something there that could
  // not be read or is not a property list.
  FileStatus status = FileStatus::kMissing;
  PropertyValue value;
};

PropertyListFile readPropertyListFile(const std::string& path);

// Replaces the file at `path` with `bytes` so that a crash at any moment
// leaves either the old file or the new one: a temporary file in the same
// folder, created with `mode`, flushed to disk, renamed over `path`, and the
// folder flushed. False (with the old file untouched and no temporary left)
// on any failure.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0600);

// Writes `value` as a binary property list with writeFileAtomically.
bool writePropertyListFile(const std::string& path, const PropertyValue& value, mode_t mode = 0600);

}  // namespace pomrel::posix
