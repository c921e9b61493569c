// The strictness that libplist 2.2's XML reader lacks. That reader turns text
// it cannot read into some value and carries on: an integer out of range is
// clamped (a negative one with its sign lost), "010" is read as octal, text
// after the digits is dropped, invalid base64 becomes other bytes, a real
// that is not a number becomes 0, an impossible date is moved to another
// day, a key with no value takes the next key as its value, and a repeated
// key silently replaces the earlier one. What is read is then written back
// as if the file had said so. This check refuses such files instead.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace pomrel::posix {

// The number of dictionary keys in the XML property list `xml` when every
// value in it is spelled so that libplist reads exactly what it says:
//   - one value (inside <plist>, or bare) and nothing after it;
//   - a dictionary holds key, value, key, value...; <key> appears nowhere
//     else;
//   - <integer>: an optional sign and decimal digits without a leading zero,
//     or 0x and hexadecimal digits, within the signed 64-bit range when
//     negative and the unsigned one otherwise;
//   - <real>: a decimal number, "nan" or "[+-]inf[inity]";
//   - <date>: YYYY-MM-DDTHH:MM:SSZ, a real day of a year from 1 to 9999;
//   - <data>: base64 (whitespace anywhere, padding only at the end);
//   - <true/>, <false/> hold nothing;
//   - no NUL byte anywhere;
//   - dictionaries and arrays nest at most `maxDepth` deep (the check stops
//     there, so that libplist never builds a tree deeper than that).
// Whitespace around the text of a number, date or data is allowed, as is a
// comment or CDATA section in it (libplist joins the pieces); an entity
// reference there is not (libplist does not expand one). nullopt when a rule
// is broken or the XML cannot be followed. Comparing the count with the keys
// libplist read tells a repeated key, which libplist merges without a word.
std::optional<std::size_t> strictXmlKeyCount(std::string_view xml, std::size_t maxDepth);

}  // namespace pomrel::posix
