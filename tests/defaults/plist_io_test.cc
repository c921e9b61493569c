#include "platform/sim/plist_io.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>

#include "tests/defaults/test_support.h"

namespace pomrel::sim {
namespace {

using testing::readBytes;
using testing::ScratchFolder;

PropertyValue roundTrip(const PropertyValue& value) {
  auto back = parsePropertyList(serializeBinaryPropertyList(value));
  EXPECT_TRUE(back.has_value());
  return back.value_or(PropertyValue());
}

PropertyValue nested(int depth) {
  PropertyValue v = PropertyInteger::fromSigned(depth);
  for (int i = 0; i < depth; ++i) {
    v = (i % 2 == 0) ? PropertyValue(PropertyArray{v})
                     : PropertyValue(PropertyDictionary{{"in", v}});
  }
  return v;
}

// Whole seconds and microseconds as the canonical date value.
PropertyDate dateOf(std::int64_t seconds, std::int64_t micros) {
  return {static_cast<double>(seconds) + static_cast<double>(micros) / 1e6};
}

const std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
const std::int64_t kMinI64 = std::numeric_limits<std::int64_t>::min();
const std::int64_t kMaxI64 = std::numeric_limits<std::int64_t>::max();

TEST(PropertyListBinary, EveryTypeRoundTripsUnchanged) {
  PropertyData bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  const PropertyDictionary value{
      {"strings", PropertyArray{"", "plain", "<&>\"'", "tab\tline\n", "caf\xC3\xA9",
                                "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80 astral",
                                "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D", "e\xCC\x81"}},
      {"booleans", PropertyArray{true, false}},
      // -1 and 2^64-1 share their 64 bits; side by side they catch a writer
      // that merges equal-looking objects.
      {"integers",
       PropertyArray{PropertyInteger::fromSigned(0), PropertyInteger::fromSigned(-1),
                     PropertyInteger::fromUnsigned(kMaxU64), PropertyInteger::fromSigned(kMinI64),
                     PropertyInteger::fromSigned(kMaxI64),
                     PropertyInteger::fromUnsigned(std::uint64_t{1} << 63),
                     PropertyInteger::fromSigned(-2147483649),
                     PropertyInteger::fromSigned(4294967296)}},
      {"reals", PropertyArray{0.0, -0.0, 0.1, -1e308, 1e-308, 5e-324, 1.5,
                              std::numeric_limits<double>::infinity()}},
      {"dates", PropertyArray{dateOf(0, 0), dateOf(494000000, 123457), dateOf(-1, 500000),
                              dateOf(-100000000, 1), dateOf(2147483647, 999999)}},
      {"data", PropertyArray{PropertyData{}, PropertyData{0, 0, 1, 0}, bytes}},
      {"empty", PropertyArray{PropertyArray{}, PropertyDictionary{}}},
      {"deep", nested(100)},
      {"", "empty key"},
      {"\xC3\xBC\xF0\x9F\x94\x91 key", PropertyDictionary{{"k", "v"}}},
  };
  const PropertyValue back = roundTrip(value);
  EXPECT_EQ(back, PropertyValue(value));
  // Equality does not tell the zeros apart.
  const auto& reals = *back.dictionary()->at("reals").array();
  EXPECT_FALSE(std::signbit(*reals[0].real()));
  EXPECT_TRUE(std::signbit(*reals[1].real()));
}

TEST(PropertyListBinary, XmlInputKeepsEveryValueWhenWrittenAsBinary) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>neg</key><integer>-1</integer>
  <key>min</key><integer>-9223372036854775808</integer>
  <key>max</key><integer>9223372036854775807</integer>
  <key>big</key><integer>9223372036854775808</integer>
  <key>top</key><integer>18446744073709551615</integer>
  <key>real</key><real>-2.5</real>
  <key>date</key><date>2016-09-01T12:34:56Z</date>
  <key>future</key><date>4001-01-01T00:00:00Z</date>
  <key>past</key><date>0001-01-01T00:00:00Z</date>
  <key>data</key><data>AAEC/w==</data>
  <key>text</key><string>a &lt;b&gt; &amp; &#x263A; &#x1F600;</string>
  <key>yes</key><true/>
  <key>list</key><array><dict/><array/><string></string></array>
</dict></plist>)";
  const auto parsed = parsePropertyList(xml);
  ASSERT_TRUE(parsed && parsed->dictionary());
  const PropertyDictionary expected{
      {"neg", PropertyInteger::fromSigned(-1)},
      {"min", PropertyInteger::fromSigned(kMinI64)},
      {"max", PropertyInteger::fromSigned(kMaxI64)},
      {"big", PropertyInteger::fromUnsigned(std::uint64_t{1} << 63)},
      {"top", PropertyInteger::fromUnsigned(kMaxU64)},
      {"real", -2.5},
      {"date", PropertyDate{494426096}},
      {"future", PropertyDate{63113904000}},
      {"past", PropertyDate{-63113904000}},
      {"data", PropertyData{0, 1, 2, 255}},
      {"text", "a <b> & \xE2\x98\xBA \xF0\x9F\x98\x80"},
      {"yes", true},
      {"list", PropertyArray{PropertyDictionary{}, PropertyArray{}, ""}},
  };
  EXPECT_EQ(*parsed, PropertyValue(expected));
  EXPECT_EQ(roundTrip(*parsed), PropertyValue(expected));
}

TEST(PropertyListBinary, DatesKeepEveryMicrosecond) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<std::int64_t> micro(0, 999999);
  const std::int64_t seconds[] = {0,         -1,          1,          -2,         59,
                                  494000000, -1000000000, 2147483646, -2147483648};
  for (const std::int64_t s : seconds) {
    for (int i = 0; i < 300; ++i) {
      const std::int64_t u = i == 0 ? 0 : (i == 1 ? 999999 : micro(random));
      const PropertyDate date = dateOf(s, u);
      ASSERT_EQ(roundTrip(date), PropertyValue(date)) << s << "s " << u << "us";
    }
  }
  // A value finer than a microsecond settles on the nearest one and then
  // stays put.
  const PropertyDate fine{494000000.1234567};
  const PropertyValue once = roundTrip(fine);
  ASSERT_NE(once.date(), nullptr);
  EXPECT_NEAR(once.date()->secondsSinceReferenceDate, fine.secondsSinceReferenceDate, 1e-6);
  EXPECT_EQ(roundTrip(once), once);
  // Beyond 32-bit seconds whole seconds survive, to years 1 and 9999.
  for (const double s : {63113904000.0, -63113904000.0, 3000000000.0, -3000000000.0}) {
    EXPECT_EQ(roundTrip(PropertyDate{s}), PropertyValue(PropertyDate{s})) << s;
  }
}

// A binary property list of `objects` (the first is the root), each
// starting at the offset listed for it, with one-byte offsets and references.
std::string binaryList(const std::string& objects, const std::string& offsets) {
  std::string trailer(6, '\0');
  trailer += "\x01\x01";
  for (const std::size_t field : {offsets.size(), std::size_t{0}, 8 + objects.size()}) {
    for (int shift = 56; shift >= 0; shift -= 8) trailer += static_cast<char>(field >> shift);
  }
  return "bplist00" + objects + offsets + trailer;
}

TEST(PropertyListBinary, WhatIsReadCanBeWrittenBackUnchanged) {
  // libplist asserts on a NUL inside a string or a key, and cannot write
  // back bytes that are not UTF-8: a list holding such text is malformed,
  // not a crash or a value that changes when it is saved.
  const auto withKey = [](const std::string& key) {  // {key: true}
    return binaryList("\xd1\x01\x02" + key + "\x09",
                      std::string("\x08\x0b") + static_cast<char>(11 + key.size()));
  };
  const std::string utf16Nul("\x63\0a\0\0\0b", 7);  // "a", U+0000, "b"
  EXPECT_EQ(parsePropertyList(binaryList("\x51"
                                         "a",
                                         "\x08")),
            PropertyValue("a"));
  EXPECT_EQ(parsePropertyList(withKey("\x51k")), PropertyValue(PropertyDictionary{{"k", true}}));
  for (const std::string& list :
       {binaryList("\x51\xd7", "\x08"), withKey("\x51\xff"), binaryList(utf16Nul, "\x08"),
        withKey(utf16Nul), std::string("<plist><string>\xed\xa0\x80</string></plist>"),
        std::string("<plist><dict><key>\xc0\x80</key><true/></dict></plist>")}) {
    EXPECT_FALSE(parsePropertyList(list).has_value()) << list;
  }
  // Past 2069 a date is stored in whole seconds, so it is read as one.
  std::string date("\x33");
  const auto bits = std::bit_cast<std::uint64_t>(4620835392.034667);
  for (int shift = 56; shift >= 0; shift -= 8) date += static_cast<char>(bits >> shift);
  EXPECT_EQ(parsePropertyList(binaryList(date, "\x08")), PropertyValue(PropertyDate{4620835392}));
  // However libplist reads a NUL byte in the other forms, the text is
  // written back as it was read.
  for (const std::string& list :
       {binaryList("\x53" + std::string("a\0b", 3), "\x08"),
        withKey("\x52" + std::string("k\0", 2)),
        std::string("<plist><string>a\0b</string></plist>", 35),
        std::string("<plist><dict><key>a\0b</key><true/></dict></plist>", 47)}) {
    const auto parsed = parsePropertyList(list);
    if (parsed) {
      EXPECT_EQ(roundTrip(*parsed), *parsed);
    }
  }
}

TEST(PropertyListFiles, ReadsStatusOfWhatIsThere) {
  ScratchFolder folder;
  const std::string path = folder.path() + "/a.plist";
  EXPECT_EQ(readPropertyListFile(path).status, FileStatus::kMissing);
  for (const std::string& junk :
       {std::string(), std::string("not a plist"), std::string("bplist00\x01\x02", 10),
        std::string("<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>")}) {
    testing::writeBytes(path, junk);
    EXPECT_EQ(readPropertyListFile(path).status, FileStatus::kUnreadable) << junk;
  }
  ASSERT_TRUE(writePropertyListFile(path, PropertyDictionary{{"k", true}}));
  const PropertyListFile file = readPropertyListFile(path);
  EXPECT_EQ(file.status, FileStatus::kOk);
  EXPECT_EQ(file.value, PropertyValue(PropertyDictionary{{"k", true}}));
  EXPECT_EQ(readBytes(path).rfind("bplist00", 0), 0U);
}

}  // namespace
}  // namespace pomrel::sim
