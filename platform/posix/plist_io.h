// Property-list files, read and written with libplist.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/file_reader.h"
#include "platform/property_list.h"

namespace pomrel::posix {

// What survives a conversion to a property list and back, bit for bit:
// every string that is UTF-8 without a NUL byte, every boolean, integer (over
// the signed and the unsigned 64-bit range; unsigned is reported only above
// INT64_MAX, where the two readings differ), real, date (its 8-byte double as
// stored), UID (32 bits, as keyed archives hold them), data and container.

// How deep arrays and dictionaries may nest in a list that is read: far
// deeper than any real preference file (a handful of levels), and shallow
// enough that nothing that recurses over a list (libplist's binary reader
// and its freeing of a tree, the conversion to PropertyValue) can run out
// of stack. The outermost container is at depth 1.
inline constexpr std::size_t kMaxPropertyListDepth = 512;

// Parses a binary or XML property list. nullopt when `bytes` is not one, or
// when what it holds could not be written back as it is: a string or key that
// is not UTF-8 or has a NUL in it, a dictionary key given twice, a UID above
// 32 bits, or XML that libplist would read as something it does not say
// (strictXmlKeyCount in plist_xml_check.h); nullopt too when containers nest
// deeper than kMaxPropertyListDepth, or a binary list's shared objects would
// expand beyond its size, which is checked before libplist reads the list
// (binaryTreeWithin in plist_binary_form.h).
std::optional<PropertyValue> parsePropertyList(std::string_view bytes);

// The binary property-list form of `value`.
std::string serializeBinaryPropertyList(const PropertyValue& value);

enum class FileStatus : std::uint8_t {
  kOk,
  kMissing,     // nothing at the path
  kUnreadable,  // something there that could not be read as a file (readFile's
                // kNotRegular, kTooLarge, kUnreadable)
  kMalformed,   // a file read whole that is not a property list parsePropertyList takes
};

struct PropertyListFile {
  FileStatus status = FileStatus::kMissing;
  PropertyValue value;
};

// Reads the file with readFile (file_reader.h), bounded by `limit`, then
// parses it.
PropertyListFile readPropertyListFile(const std::string& path, std::size_t limit, Links links);

// Where a write to `path` lands: `path` itself or, when it is a symbolic
// link, the path it names, through any links to links (a relative one read
// from its own folder). nullopt when a link cannot be followed: one that
// cannot be read, or more than kMaxLinksFollowed in a row (a loop).
inline constexpr int kMaxLinksFollowed = 40;
std::optional<std::string> linkTarget(std::string path);

// Replaces the file at `path` with `bytes` so that a crash at any moment
// leaves either the old file or the new one: a temporary file in the same
// folder, created with `mode`, flushed to disk, renamed over `path`, and the
// folder flushed. A symbolic link at `path` stays, and the file it names is
// replaced so, in that file's own folder (linkTarget). False (with the old
// file and any link untouched and no temporary left) on any failure, among
// them a link that cannot be followed or that names a path in a missing
// folder.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0600);

// Writes `value` as a binary property list with writeFileAtomically.
bool writePropertyListFile(const std::string& path, const PropertyValue& value, mode_t mode = 0600);

}  // namespace pomrel::posix
