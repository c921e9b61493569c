// The bounded file reader, the property lists and the user defaults over
// preference files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/plist_binary_form.h"
#include "platform/posix/plist_io.h"
#include "platform/sim/sim_user_defaults.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::sim {
namespace {

namespace fs = std::filesystem;
using posix::Links;
using posix::ReadStatus;

void writeBytes(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
PropertyInteger sint(std::int64_t n) { return PropertyInteger::fromSigned(n); }

// A temporary machine, removed with everything in it at the end.
class DefaultsTest : public ::testing::Test {
 protected:
  std::string file(const std::string& domain) const { return prefs + "/" + domain + ".plist"; }

  test::TempRoot temp_;
  const std::string& root_ = temp_.root();
  MachinePaths paths{root_};
  SimUserDefaultsFactory factory{paths, "app"};
  std::string prefs = paths.userHome() + "/Library/Preferences";
};

// Numbers, dates, UIDs and data of every byte are held exactly: the plistlib
// test below.
TEST_F(DefaultsTest, EveryValueRoundTripsAtSynchronizeIntoAPrivateBinaryFile) {
  PropertyValue deep = sint(0);
  for (int i = 0; i < 100; ++i) {
    deep = i % 2 == 0 ? PropertyValue(PropertyArray{deep}) : PropertyDictionary{{"in", deep}};
  }
  const PropertyDictionary value{
      {"strings", PropertyArray{"", "<&>\"'", "caf\xC3\xA9 \xF0\x9F\x98\x80", "e\xCC\x81"}},
      {"data", PropertyData{}},
      {"deep", deep},
      {"", "empty key"},
      {"\xC3\xBC\xF0\x9F\x94\x91 key", PropertyDictionary{{"k", true}}},
  };
  auto writer = factory.makeUserDefaults();
  auto reader = factory.makeUserDefaults();
  writer->setPersistentDomain(value, "d");
  EXPECT_FALSE(reader->persistentDomainForName("d").has_value());
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->persistentDomainForName("d"), value);
  EXPECT_EQ(test::contentsOf(file("d")).rfind("bplist00", 0), 0U);
  EXPECT_EQ(fs::status(file("d")).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(prefs).permissions(), fs::perms::owner_all);

  // The application's domain: a boolean or a number that is not zero is
  // true, only for its own object until synchronized.
  writer->setPersistentDomain({{"two", sint(2)}, {"half", 0.5}, {"text", "yes"}}, "app");
  ASSERT_TRUE(writer->synchronize());
  EXPECT_TRUE(reader->boolForKey("two") && reader->boolForKey("half") &&
              !reader->boolForKey("text"));
  writer->setBoolForKey(true, "text");
  EXPECT_TRUE(writer->boolForKey("text") && !reader->boolForKey("text"));

  // A domain this object has not changed is read afresh, not remembered.
  writer->setPersistentDomain({{"n", sint(2)}}, "d");
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->persistentDomainForName("d"), (PropertyDictionary{{"n", sint(2)}}));
  reader->removePersistentDomainForName("d");
  EXPECT_FALSE(reader->persistentDomainForName("d").has_value());
  EXPECT_TRUE(fs::exists(file("d")));
  ASSERT_TRUE(reader->synchronize());
  EXPECT_FALSE(fs::exists(file("d")));

  for (const std::string& name : {std::string(), std::string(".."), std::string("a/b"),
                                  std::string("../escape"), std::string("nul\0x", 5)}) {
    writer->setPersistentDomain({{"k", true}}, name);
    EXPECT_FALSE(writer->persistentDomainForName(name).has_value()) << name;
  }
  EXPECT_TRUE(writer->synchronize());
  EXPECT_EQ(std::distance(fs::directory_iterator(prefs), {}), 1) << "only the application's";
  EXPECT_EQ(std::distance(fs::directory_iterator(paths.userHome() + "/Library"), {}), 1);
}

TEST_F(DefaultsTest, AnUnreadableFileIsNoDomainAndIsKeptAsideWhenReplaced) {
  const std::vector<std::string> junk{
      std::string(), std::string("\x00\x01 not a property list \xff", 24),
      std::string("bplist00\x01\x02", 10), "<plist><dict><key>a</key></plist>",
      posix::serializeBinaryPropertyList(PropertyArray{"a list, not a domain"})};
  auto defaults = factory.makeUserDefaults();
  writeBytes(file("d"), junk[1]);
  defaults->removePersistentDomainForName("d");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(test::contentsOf(file("d")), junk[1]);

  // Replacements moments apart keep distinct files.
  for (std::size_t i = 0; i < junk.size(); ++i) {
    writeBytes(file("d"), junk[i]);
    EXPECT_FALSE(defaults->persistentDomainForName("d").has_value()) << i;
    const PropertyDictionary value{{"n", sint(static_cast<std::int64_t>(i))}};
    defaults->setPersistentDomain(value, "d");
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(defaults->persistentDomainForName("d"), value);
  }
  std::multiset<std::string> kept;
  for (const auto& aside : fs::directory_iterator(prefs)) {
    if (aside.path() != file("d")) kept.insert(test::contentsOf(aside.path()));
  }
  EXPECT_EQ(kept, std::multiset<std::string>(junk.begin(), junk.end()));
}

// What cannot be read as a file may hold a domain all the same: it reads as
// none (the settings their defaults), and neither a setting nor a removal
// touches it.
TEST_F(DefaultsTest, APathThatCannotBeReadAsAFileIsNoDomainAndIsLeftAlone) {
  for (const ReadStatus kind : {ReadStatus::kNotRegular, ReadStatus::kTooLarge}) {
    SCOPED_TRACE(kind == ReadStatus::kNotRegular ? "FIFO" : "file over the bound");
    fs::remove_all(prefs);
    fs::create_directories(prefs);
    if (kind == ReadStatus::kNotRegular) {
      ASSERT_EQ(::mkfifo(file("app").c_str(), 0600), 0);
    } else {
      writeBytes(file("app"), "bplist00");
      fs::resize_file(file("app"), posix::kPreferenceFileLimit + 1);
    }
    auto defaults = factory.makeUserDefaults();
    EXPECT_FALSE(defaults->boolForKey("k"));
    defaults->setBoolForKey(true, "k");
    EXPECT_FALSE(defaults->synchronize());
    auto remover = factory.makeUserDefaults();
    remover->removePersistentDomainForName("app");
    EXPECT_FALSE(remover->synchronize());
    EXPECT_EQ(posix::readFile(file("app"), posix::kPreferenceFileLimit).status, kind) << "replaced";
    EXPECT_EQ(std::distance(fs::directory_iterator(prefs), {}), 1) << "something kept aside";
  }
}

// Settings kept elsewhere (under version control) and linked in: written
// where the link points, the link kept (and what was unreadable there kept
// aside there); a write through a link into a missing folder fails and stays
// pending. A link that cannot be followed, or a folder, is left alone and no
// temporary is left.
TEST_F(DefaultsTest, ALinkedFileIsWrittenWhereTheLinkPoints) {
  fs::create_directories(prefs);
  fs::create_directories(root_ + "/kept/folder");
  writeBytes(root_ + "/kept/app.plist", "not a list");
  for (const std::string& target :
       {std::string("../../../../kept/app.plist"), root_ + "/gone/app.plist"}) {
    fs::create_symlink(target, file("app"));
    auto defaults = factory.makeUserDefaults();
    defaults->setBoolForKey(true, "k");
    const bool kept = target.starts_with("../");
    EXPECT_EQ(defaults->synchronize(), kept) << target;
    EXPECT_EQ(fs::read_symlink(file("app")), target);
    fs::remove(file("app"));
    EXPECT_TRUE(defaults->synchronize());
    EXPECT_EQ(fs::exists(file("app")), !kept) << "the failed write was not kept pending";
  }
  fs::create_symlink(file("loop"), file("loop"));
  fs::create_symlink(root_ + "/kept/folder", file("folder"));
  for (const std::string& path : {file("loop"), file("folder"), root_ + "/kept/folder"}) {
    EXPECT_FALSE(posix::writeFileAtomically(path, "x")) << path;
  }
  EXPECT_EQ(fs::read_symlink(file("loop")), file("loop"));
  EXPECT_EQ(posix::parsePropertyList(test::contentsOf(root_ + "/kept/app.plist")),
            PropertyValue(PropertyDictionary{{"k", true}}));
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ + "/kept"), {}), 3) << "a temporary left";
}

// The reader of every file: regular files whole, anything else refused at
// once (a FIFO without a writer included), each failure a status.
TEST_F(DefaultsTest, ReadsRegularFilesWholeAndRefusesTheRest) {
  const std::string base = root_ + "/";
  fs::create_directories(base + "folder");
  writeBytes(base + "file", "bytes");
  ASSERT_EQ(::mkfifo((base + "fifo").c_str(), 0600), 0);
  fs::create_symlink(base + "file", base + "link");
  fs::create_symlink(base + "loop", base + "loop");
  const std::tuple<std::string, std::size_t, Links, ReadStatus> cases[] = {
      {base + "file", 5, Links::kRefuse, ReadStatus::kOk},
      {base + "file", 4, Links::kRefuse, ReadStatus::kTooLarge},
      {base + "missing", 5, Links::kRefuse, ReadStatus::kMissing},
      {base + "file/below", 5, Links::kRefuse, ReadStatus::kMissing},
      {base + "folder", 5, Links::kFollow, ReadStatus::kNotRegular},
      {base + "fifo", 5, Links::kFollow, ReadStatus::kNotRegular},
      {"/dev/null", 5, Links::kFollow, ReadStatus::kNotRegular},
      {base + "link", 5, Links::kRefuse, ReadStatus::kNotRegular},
      {base + "link", 5, Links::kFollow, ReadStatus::kOk},
      {base + "loop", 5, Links::kFollow, ReadStatus::kUnreadable},
  };
  for (const auto& [path, limit, links, status] : cases) {
    const posix::FileRead read = posix::readFile(path, limit, links);
    EXPECT_EQ(read.status, status) << path;
    EXPECT_EQ(read.bytes, status == ReadStatus::kOk ? "bytes" : "") << path;
  }
  // /proc reports a size of 0 for a file that is not empty.
  const posix::FileRead status = posix::readFile("/proc/self/status", posix::kSystemFileLimit);
  EXPECT_NE(status.bytes.find("\nPid:\t" + std::to_string(getpid()) + "\n"), std::string::npos);
}

std::string bigEndian(std::uint64_t value, int width) {
  std::string bytes;
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
    bytes += static_cast<char>(value >> shift);
  return bytes;
}
// A binary list of `objects`, the first the root, referring to each other by
// indexes `width` bytes wide.
std::string binaryList(const std::vector<std::string>& objects, int width = 1) {
  std::string body;
  std::string offsets;
  for (const std::string& object : objects) {
    offsets += bigEndian(8 + body.size(), width);
    body += object;
  }
  return "bplist00" + body + offsets + std::string(6, '\0') + bigEndian(width, 1) +
         bigEndian(width, 1) + bigEndian(objects.size(), 8) + bigEndian(0, 8) +
         bigEndian(8 + body.size(), 8);
}
std::string xml(const std::string& value) { return "<plist version=\"1.0\">" + value + "</plist>"; }
// An array of `chains` chains of `length` nested arrays, each chain's
// innermost array holding the previous chain (the first, nothing): each is
// shallow from the root, together 1 + chains * length deep.
std::string chainedArrays(std::uint32_t chains, std::uint32_t length) {
  std::vector<std::string> objects{"\xAF\x12" + bigEndian(chains, 4)};
  for (std::uint32_t chain = 0; chain < chains; ++chain) {  // objects chain * length + 1...
    objects[0] += bigEndian(chain * length + 1, 4);
    for (std::uint32_t at = 1; at < length; ++at) {
      objects.push_back("\xA1" + bigEndian(chain * length + at + 1, 4));
    }
    objects.push_back(chain == 0 ? "\xA0" : "\xA1" + bigEndian((chain - 1) * length + 1, 4));
  }
  return binaryList(objects, 4);
}
std::string nestedXml(std::size_t levels) {
  std::string arrays;
  for (std::size_t i = 0; i < 2 * levels; ++i) arrays += i < levels ? "<array>" : "</array>";
  return xml(arrays);
}

// A list that would be written back as something it does not say is
// malformed; every spelling a careful writer uses is read as it says.
TEST(PropertyListTest, WhatCannotBeWrittenBackAsItIsIsMalformed) {
  const auto withKeys = [](const std::string& first, const std::string& second) {
    return binaryList(
        {"\xd2\x01\x02\x03\x04", first, second, std::string("\x55") + "first", "\x56second"});
  };
  const std::string utf16Nul("\x63\0a\0\0\0b", 7);
  // Arrays each referred to twice by the one before: 70 bytes that libplist
  // would build into 131,071 nodes (and a few more into billions).
  std::vector<std::string> doubling;
  for (char i = 1; i <= 16; ++i) doubling.push_back(std::string("\xA2") + i + i);
  doubling.emplace_back("\xA0");
  const std::vector<std::string> malformed{
      binaryList({"\x51\xd7"}), binaryList({utf16Nul}), withKeys("\x51k", utf16Nul),
      xml("<string>\xed\xa0\x80</string>"), xml("<dict><key>\xc0\x80</key><true/></dict>"),
      // A NUL cut short the string, or the key, which then replaced "k".
      binaryList({"\x53" + std::string("a\0b", 3)}),
      binaryList({"\x5F\x10\x10" + std::string("0123456789abcde\0", 16)}),  // long: count follows
      withKeys("\x51k", std::string("\x53k\0x", 4)), withKeys("\x51k", "\x51k"),
      xml(std::string("<string>a\0b</string>", 19)),
      xml("<dict><key>k</key><true/><key>k</key><false/></dict>"),
      // What libplist would clamp, read as octal, cut short or take as zero.
      xml("<integer>18446744073709551616</integer>"),
      xml("<integer>-9223372036854775809</integer>"), xml("<integer>010</integer>"),
      xml("<integer>12abc</integer>"), xml("<integer></integer>"), xml("<real>1e999</real>"),
      xml("<date>2016-13-45T00:00:00Z</date>"), xml("<date>2100-02-29T00:00:00Z</date>"),
      // Base64 that decodes to junk.
      xml("<data>!!!!</data>"), xml("<data>AAE</data>"), xml("<data>AA==AA==</data>"),
      // Keys out of turn: a key took the next one as its value, or vanished.
      xml("<dict><key>a</key><key>b</key></dict>"),
      xml("<dict><key>a</key><key>b</key><true/></dict>"), xml("<array><key>a</key></array>"),
      xml("<dict><true/></dict>"), xml("<true/><false/>"),
      // Keyed archives hold 32-bit UIDs; a wider one cannot be written back.
      binaryList({std::string("\x87\0\0\0\x01\0\0\0\0", 9)}),
      // Nested deeper than the limit, up to where libplist's own recursion
      // would run out of stack.
      nestedXml(513), nestedXml(1000000), chainedArrays(1, 512), chainedArrays(1, 100000),
      binaryList(doubling)};
  for (const std::string& list : malformed) {
    EXPECT_FALSE(posix::parsePropertyList(list).has_value()) << list.substr(0, 100);
  }
  // Shared objects are as deep as the deepest place they are referred from
  // (which the conversion would also refuse, had libplist built the tree).
  EXPECT_FALSE(posix::binaryTreeWithin(chainedArrays(2, 300), posix::kMaxPropertyListDepth));
  PropertyValue deepest = PropertyArray{};
  for (int i = 1; i < 512; ++i) deepest = PropertyArray{deepest};
  const std::vector<std::pair<std::string, PropertyValue>> wellFormed{
      {withKeys("\x51k", "\x51x"), PropertyDictionary{{"k", "first"}, {"x", "second"}}},
      {"<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"-//A//DTD//EN\" \"x.dtd\"><!-- c -->" +
           xml(" <array> <integer> 0x1F </integer><integer>+5</integer><integer>-0</integer>"
               "<integer>1<!-- split -->2</integer><integer><![CDATA[7]]></integer>"
               "<real>-2.5e3</real><real>+infinity</real><date>2000-02-29T23:59:59Z</date>"
               "<data>\n\tAAEC\n\t/w==\n</data><string><![CDATA[<&>]]>&amp;&#x1F600;</string>"
               "<true/><dict/></array> "),
       PropertyArray{sint(31), sint(5), sint(0), sint(12), sint(7), -2500.0,
                     std::numeric_limits<double>::infinity(), PropertyDate{-26438401},
                     PropertyData{0, 1, 2, 255}, "<&>&\xF0\x9F\x98\x80", true,
                     PropertyDictionary{}}},
      {nestedXml(512), deepest},
      {chainedArrays(1, 511), deepest},
  };
  for (const auto& [list, value] : wellFormed) {
    EXPECT_EQ(posix::parsePropertyList(list), value) << list.substr(0, 100);
  }
}

// Python's plistlib, a reader and writer independent of libplist, reads what
// is written back from what it wrote as the values it was given, bit for bit:
// a value read or written inexactly here (a date's fraction, a NaN, -0, a UID
// taken for an integer, -1 merged with 2^64-1) would differ there.
TEST_F(DefaultsTest, PythonsPlistlibReadsWhatItWroteAfterAReadAndAWriteHere) {
  const auto python = [](const char* mode, const std::string& file) {
    const std::string peer = POMREL_DEFAULTS_TEST_DATA "/plistlib_peer.py";
    return test::run("/usr/bin/python3", {peer, mode, file}, {}).exitStatus;
  };
  ASSERT_EQ(python("write", root_ + "/theirs.plist"), 0);
  const auto theirs = posix::parsePropertyList(test::contentsOf(root_ + "/theirs.plist"));
  ASSERT_TRUE(theirs.has_value());
  writeBytes(root_ + "/ours.plist", posix::serializeBinaryPropertyList(*theirs));
  EXPECT_EQ(python("check", root_ + "/ours.plist"), 0);
}

}  // namespace
}  // namespace pomrel::sim
