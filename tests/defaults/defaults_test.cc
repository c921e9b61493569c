// The user defaults over property-list files. This program is also the
// writer the crash test kills: `--defaults-writer=<folder>` rewrites one domain
// in a loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/plist_io.h"
#include "platform/sim/sim_user_defaults.h"

namespace pomrel::sim {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void writeBytes(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
struct stat statOf(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info;
}
PropertyInteger sint(std::int64_t n) { return PropertyInteger::fromSigned(n); }
PropertyInteger uint(std::uint64_t n) { return PropertyInteger::fromUnsigned(n); }
using I64 = std::numeric_limits<std::int64_t>;
using U64 = std::numeric_limits<std::uint64_t>;

constexpr const char* kWriterDomain = "writer.domain";
// The payload's size varies with n, so a file cut short or mixed from two
// writes matches no generation.
PropertyDictionary generation(std::int64_t n) {
  return {{"n", sint(n)}, {"payload", std::string(static_cast<std::size_t>(100 + n % 4000), 'x')}};
}

class SimUserDefaultsTest : public ::testing::Test {
 protected:
  ~SimUserDefaultsTest() override { fs::remove_all(root_); }
  std::string file(const std::string& domain) const { return prefs + "/" + domain + ".plist"; }

  std::string root_ = [] {
    std::string pattern = (fs::temp_directory_path() / "pomrel-defaults-XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string("/nonexistent");
  }();
  MachinePaths paths{root_};
  SimUserDefaultsFactory factory{paths, "app"};
  std::string prefs = paths.userHome() + "/Library/Preferences";
};

TEST_F(SimUserDefaultsTest, AnXmlDomainIsReadWholeAndWrittenBackAsBinaryAtSynchronize) {
  writeBytes(file("app"), R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
  <key>yes</key><true/><key>two</key><integer>2</integer><key>zero</key><integer>0</integer>
  <key>half</key><real>0.5</real><key>text</key><string>a &lt;b&gt; &amp; &#x1F600;</string>
  <key>min</key><integer>-9223372036854775808</integer>
  <key>top</key><integer>18446744073709551615</integer>
  <key>date</key><date>2016-09-01T12:34:56Z</date><key>past</key><date>0001-01-01T00:00:00Z</date>
  <key>data</key><data>AAEC/w==</data><key>list</key><array><dict/><string></string></array>
</dict></plist>)");
  PropertyDictionary expected{
      {"yes", true},
      {"two", sint(2)},
      {"zero", sint(0)},
      {"half", 0.5},
      {"text", "a <b> & \xF0\x9F\x98\x80"},
      {"min", sint(I64::min())},
      {"top", uint(U64::max())},
      {"date", PropertyDate{494426096}},
      {"past", PropertyDate{-63113904000}},
      {"data", PropertyData{0, 1, 2, 255}},
      {"list", PropertyArray{PropertyDictionary{}, ""}},
  };
  auto standard = factory.standardUserDefaults();
  auto other = factory.makeUserDefaults();
  EXPECT_EQ(standard->persistentDomainForName("app"), expected);
  for (const auto& [key, value] : std::map<std::string, bool>{
           {"yes", true}, {"two", true}, {"zero", false}, {"half", true}, {"text", false}}) {
    EXPECT_EQ(standard->boolForKey(key), value) << key;
  }
  standard->setBoolForKey(true, "zero");
  EXPECT_TRUE(standard->boolForKey("zero"));
  EXPECT_FALSE(other->boolForKey("zero"));
  ASSERT_TRUE(standard->synchronize());
  expected.insert_or_assign("zero", true);
  EXPECT_EQ(other->persistentDomainForName("app"), expected);
  EXPECT_EQ(readBytes(file("app")).rfind("bplist00", 0), 0U);
}

TEST_F(SimUserDefaultsTest, EveryValueRoundTripsAtSynchronizeIntoAPrivateBinaryFile) {
  PropertyData bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  PropertyValue deep = sint(0);
  for (int i = 0; i < 100; ++i) {
    deep = i % 2 == 0 ? PropertyValue(PropertyArray{deep}) : PropertyDictionary{{"in", deep}};
  }
  // To the microsecond within libplist's 32-bit seconds, whole seconds beyond.
  PropertyArray dates;
  std::mt19937_64 random(7);
  for (const std::int64_t s : {0L, -1L, 494000000L, -1000000000L, 2147483646L, -2147483648L}) {
    for (int i = 0; i < 200; ++i) {
      const auto micros = i == 0 ? 999999 : std::uniform_int_distribution<>(0, 999999)(random);
      dates.push_back(PropertyDate{static_cast<double>(s) + micros / 1e6});
    }
  }
  for (const double s : {63113904000.0, -63113904000.0, 3000000000.0, -3000000000.0}) {
    dates.push_back(PropertyDate{s});
  }
  const PropertyDictionary value{
      {"strings", PropertyArray{"", "<&>\"'", "tab\tline\n", "caf\xC3\xA9", "\xE6\x97\xA5",
                                "\xF0\x9F\x98\x80 astral", "e\xCC\x81"}},
      {"booleans", PropertyArray{true, false}},
      // -1 and 2^64-1 share their bits: side by side they catch a writer that
      // merges equal-looking objects.
      {"integers",
       PropertyArray{sint(0), sint(-1), uint(U64::max()), sint(I64::min()), sint(I64::max()),
                     uint(std::uint64_t{1} << 63), sint(-2147483649), sint(4294967296)}},
      {"reals",
       PropertyArray{0.0, -0.0, 0.1, -1e308, 5e-324, std::numeric_limits<double>::infinity()}},
      {"dates", dates},
      {"data", PropertyArray{PropertyData{}, PropertyData{0, 0, 1, 0}, bytes}},
      {"empty", PropertyArray{PropertyArray{}, PropertyDictionary{}}},
      {"deep", deep},
      {"", "empty key"},
      {"\xC3\xBC\xF0\x9F\x94\x91 key", PropertyDictionary{{"k", "v"}}},
  };
  auto writer = factory.makeUserDefaults();
  auto reader = factory.makeUserDefaults();
  writer->setPersistentDomain(value, "d");
  EXPECT_EQ(writer->persistentDomainForName("d"), value);
  EXPECT_FALSE(reader->persistentDomainForName("d").has_value());
  ASSERT_TRUE(writer->synchronize());
  const auto back = reader->persistentDomainForName("d").value_or(PropertyDictionary{});
  for (const auto& [key, v] : value) EXPECT_EQ(back.count(key) ? back.at(key) : "", v) << key;
  const auto* reals = back.count("reals") ? back.at("reals").array() : nullptr;
  ASSERT_TRUE(reals != nullptr && reals->size() > 1);
  EXPECT_TRUE(std::signbit(*(*reals)[1].real()) && !std::signbit(*(*reals)[0].real()));
  EXPECT_EQ(readBytes(file("d")).rfind("bplist00", 0), 0U);
  EXPECT_EQ(statOf(file("d")).st_mode & 0777, 0600U);
  EXPECT_EQ(statOf(prefs).st_mode & 0777, 0700U);
  EXPECT_EQ(statOf(paths.userHome() + "/Library").st_mode & 0777, 0700U);

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
  EXPECT_EQ(std::distance(fs::directory_iterator(prefs), {}), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(paths.userHome() + "/Library"), {}), 1);
}

// What the login list's write-back does to files of other programs.
TEST_F(SimUserDefaultsTest, RealPreferenceFilesKeepEveryValueThroughAnAdditionAndARemoval) {
  const PropertyDictionary entry{{"Hide", false}, {"Path", "/Applications/Pomrel.app"}};
  std::map<std::string, PropertyDictionary> read;
  for (const std::string domain : {"loginwindow", "loginwindow-byhost", "global-preferences"}) {
    SCOPED_TRACE(domain);
    writeBytes(file(domain), readBytes(POMREL_DEFAULTS_TEST_DATA "/" + domain + ".plist"));
    const auto original = factory.makeUserDefaults()->persistentDomainForName(domain);
    ASSERT_TRUE(original.has_value());
    auto withEntry = *original;
    withEntry.insert_or_assign("AutoLaunchedApplicationDictionary", PropertyArray{entry});
    for (const auto& changed : {withEntry, *original}) {
      auto defaults = factory.makeUserDefaults();
      defaults->removePersistentDomainForName(domain);
      defaults->setPersistentDomain(changed, domain);
      ASSERT_TRUE(defaults->synchronize());
      EXPECT_EQ(factory.makeUserDefaults()->persistentDomainForName(domain), changed);
    }
    read[domain] = *original;
  }
  EXPECT_EQ(read["loginwindow"]["BuildVersionStampAsNumber"], PropertyValue(sint(31882624)));
  EXPECT_EQ(read["global-preferences"].size(), 23U);
  EXPECT_EQ(read["global-preferences"]["com.apple.springing.delay"], PropertyValue(0.5));
  const auto* relaunched = read["loginwindow-byhost"]["TALAppsToRelaunchAtLogin"].array();
  EXPECT_TRUE(relaunched != nullptr && relaunched->size() == 6);
}

TEST_F(SimUserDefaultsTest, AnUnreadableFileIsNoDomainAndIsKeptAsideWhenReplaced) {
  const std::vector<std::string> junk{
      std::string(), std::string("\x00\x01 not a property list \xff", 24),
      std::string("bplist00\x01\x02", 10), "<plist><dict><key>a</key></plist>",
      posix::serializeBinaryPropertyList(PropertyArray{"a list, not a domain"})};
  auto defaults = factory.makeUserDefaults();
  writeBytes(file("d"), junk[1]);
  defaults->removePersistentDomainForName("d");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readBytes(file("d")), junk[1]);

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
    if (aside.path().filename().string().starts_with("d.plist.unreadable-")) {
      kept.insert(readBytes(aside.path()));
    }
  }
  EXPECT_EQ(kept, std::multiset<std::string>(junk.begin(), junk.end()));
}

// What cannot be read as a file may hold a domain all the same: it reads as
// none (the settings their defaults), and neither a setting nor a removal
// touches it.
TEST_F(SimUserDefaultsTest, APathThatCannotBeReadAsAFileIsNoDomainAndIsLeftAlone) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> kinds{
      {"folder", [](const std::string& path) { fs::create_directories(path); }},
      {"FIFO", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
      {"link loop", [](const std::string& path) { fs::create_symlink(path, path); }},
      {"file over the bound",
       [](const std::string& path) {
         writeBytes(path, "bplist00");
         fs::resize_file(path, posix::kPreferenceFileLimit + 1);
       }},
  };
  for (const auto& [kind, make] : kinds) {
    SCOPED_TRACE(kind);
    fs::remove_all(prefs);
    fs::create_directories(prefs);
    make(file("app"));
    struct stat before {};
    ASSERT_EQ(::lstat(file("app").c_str(), &before), 0);
    auto defaults = factory.makeUserDefaults();
    EXPECT_FALSE(defaults->persistentDomainForName("app").has_value());
    EXPECT_FALSE(defaults->boolForKey("k"));
    defaults->setBoolForKey(true, "k");
    EXPECT_FALSE(defaults->synchronize());
    auto remover = factory.makeUserDefaults();
    remover->removePersistentDomainForName("app");
    EXPECT_FALSE(remover->synchronize());
    struct stat after {};
    EXPECT_EQ(::lstat(file("app").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(std::distance(fs::directory_iterator(prefs), {}), 1) << "something kept aside";
  }
}

// The reader of every file: regular files whole, anything else refused at
// once (a FIFO without a writer included), each failure a status.
TEST(FileReaderTest, ReadsRegularFilesWholeAndRefusesTheRest) {
  const fs::path folder = fs::temp_directory_path() / ("pomrel-reader-" + std::to_string(getpid()));
  fs::create_directories(folder / "folder");
  const std::string base = folder.string() + "/";
  writeBytes(base + "file", "bytes");
  writeBytes(base + "empty", "");
  ASSERT_EQ(::mkfifo((base + "fifo").c_str(), 0600), 0);
  fs::create_symlink(base + "file", base + "link");
  fs::create_symlink(base + "loop", base + "loop");
  using posix::Links;
  using posix::ReadStatus;
  struct Case {
    std::string path;
    std::size_t limit;
    Links links;
    ReadStatus status;
    std::string bytes;
  };
  std::vector<Case> cases{
      {base + "file", 5, Links::kRefuse, ReadStatus::kOk, "bytes"},
      {base + "empty", 5, Links::kRefuse, ReadStatus::kOk, ""},
      {base + "file", 4, Links::kRefuse, ReadStatus::kTooLarge, ""},
      {base + "missing", 5, Links::kRefuse, ReadStatus::kMissing, ""},
      {base + "file/below", 5, Links::kRefuse, ReadStatus::kMissing, ""},
      {base + "folder", 5, Links::kFollow, ReadStatus::kNotRegular, ""},
      {base + "fifo", 5, Links::kFollow, ReadStatus::kNotRegular, ""},
      {"/dev/null", 5, Links::kFollow, ReadStatus::kNotRegular, ""},
      {base + "link", 5, Links::kRefuse, ReadStatus::kNotRegular, ""},
      {base + "link", 5, Links::kFollow, ReadStatus::kOk, "bytes"},
      {base + "loop", 5, Links::kFollow, ReadStatus::kUnreadable, ""},
  };
  // Permission bits do not stop root.
  if (::geteuid() != 0) {
    writeBytes(base + "secret", "x");
    fs::permissions(base + "secret", fs::perms::none);
    cases.push_back({base + "secret", 5, Links::kRefuse, ReadStatus::kUnreadable, ""});
  }
  for (const Case& c : cases) {
    const posix::FileRead read = posix::readFile(c.path, c.limit, c.links);
    EXPECT_EQ(read.status, c.status) << c.path;
    EXPECT_EQ(read.bytes, c.bytes) << c.path;
  }
  // /proc reports a size of 0 for a file that is not empty.
  const posix::FileRead status = posix::readFile("/proc/self/status", posix::kSystemFileLimit);
  EXPECT_TRUE(status.ok() &&
              status.bytes.find("\nPid:\t" + std::to_string(getpid()) + "\n") != std::string::npos);
  fs::remove_all(folder);
}

// The file-size limit stops the write before its rename.
TEST_F(SimUserDefaultsTest, AFailedWriteKeepsTheOldFileAndStaysPending) {
  auto defaults = factory.makeUserDefaults();
  defaults->setPersistentDomain({{"old", true}}, "d");
  ASSERT_TRUE(defaults->synchronize());
  const std::string oldBytes = readBytes(file("d"));
  const PropertyDictionary large{{"big", std::string(100000, 'n')}};
  defaults->setPersistentDomain(large, "d");

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* const oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = defaults->synchronize();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(written);
  EXPECT_EQ(readBytes(file("d")), oldBytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(prefs), {}), 1) << "a temporary was left";
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(factory.makeUserDefaults()->persistentDomainForName("d"), large);
}

// The writer removes and sets its domain, as the login list's write-back
// does. Every read, while it runs and after it was killed at a random
// moment, finds one whole generation: never a broken or a missing file.
TEST_F(SimUserDefaultsTest, AWriterKilledAtAnyMomentLeavesAWholeFile) {
  const std::string path = file(kWriterDomain);
  auto defaults = factory.makeUserDefaults();
  defaults->setPersistentDomain(generation(0), kWriterDomain);
  ASSERT_TRUE(defaults->synchronize());
  // The generation the file holds, or -1 when it is not one whole generation.
  const auto generationOnDisk = [&]() -> std::int64_t {
    const posix::PropertyListFile read =
        posix::readPropertyListFile(path, posix::kPreferenceFileLimit, posix::Links::kFollow);
    const auto* dict = read.value.dictionary();
    const auto* n = dict != nullptr && dict->contains("n") ? dict->at("n").integer() : nullptr;
    if (n == nullptr) return -1;
    const auto number = static_cast<std::int64_t>(n->bits);
    return *dict == generation(number) ? number : -1;
  };
  const auto whole = [&] { return generationOnDisk() >= 0; };
  std::string exe = fs::read_symlink("/proc/self/exe").string();
  std::string flag = "--defaults-writer=" + prefs;
  char* argv[] = {exe.data(), flag.data(), nullptr};
  std::mt19937 random(11);
  using Clock = std::chrono::steady_clock;
  for (int round = 0; round < 20 && !HasFailure(); ++round) {
    // Compared by content: a replaced file's inode number may be reused.
    const std::int64_t start = generationOnDisk();
    ASSERT_GE(start, 0);
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, environ), 0);
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    std::int64_t seen = start;
    while (seen == start && Clock::now() < giveUp) {
      seen = generationOnDisk();
      if (seen < 0) {
        ADD_FAILURE() << "a read found no whole generation";
        break;
      }
    }
    EXPECT_NE(seen, start) << "the writer never replaced the file";
    const auto killAt =
        Clock::now() + std::chrono::microseconds(std::uniform_int_distribution<>(0, 20000)(random));
    bool wholeWhileWriting = true;
    while (wholeWhileWriting && Clock::now() < killAt) wholeWhileWriting = whole();
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(wholeWhileWriting);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    EXPECT_TRUE(whole());
  }
}

// A binary list of `objects`, the first the root, referring to each other by
// one-byte indexes.
std::string binaryList(const std::vector<std::string>& objects) {
  std::string body;
  std::string offsets;
  for (const std::string& object : objects) {
    offsets += static_cast<char>(8 + body.size());
    body += object;
  }
  std::string trailer("\0\0\0\0\0\0\x01\x01", 8);
  for (const std::size_t field : {objects.size(), std::size_t{0}, 8 + body.size()}) {
    for (int shift = 56; shift >= 0; shift -= 8) trailer += static_cast<char>(field >> shift);
  }
  return "bplist00" + body + offsets + trailer;
}
std::string bigEndian(std::uint64_t bits) {
  std::string bytes;
  for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>(bits >> shift);
  return bytes;
}
std::string binaryDate(double seconds) {
  return "\x33" + bigEndian(std::bit_cast<std::uint64_t>(seconds));
}
std::string xml(const std::string& value) { return "<plist version=\"1.0\">" + value + "</plist>"; }

// A list that would be written back as something it does not say is
// malformed; every spelling a careful writer uses is read as it says.
TEST(PropertyListTest, WhatCannotBeWrittenBackAsItIsIsMalformed) {
  const auto withKeys = [](const std::string& first, const std::string& second) {
    return binaryList(
        {"\xd2\x01\x02\x03\x04", first, second, std::string("\x55") + "first", "\x56second"});
  };
  const std::string utf16Nul("\x63\0a\0\0\0b", 7);
  const std::vector<std::string> malformed{
      binaryList({"\x51\xd7"}), binaryList({"\x51\xff"}), binaryList({utf16Nul}),
      withKeys("\x51k", utf16Nul), xml("<string>\xed\xa0\x80</string>"),
      xml("<dict><key>\xc0\x80</key><true/></dict>"),
      // A NUL cut short the string, or the key, which then replaced "k".
      binaryList({std::string("\x53"
                              "a\0b",
                              4)}),
      withKeys("\x51k", std::string("\x53k\0x", 4)), withKeys("\x51k", "\x51k"),
      xml(std::string("<string>a\0b</string>", 19)),
      xml("<dict><key>k</key><true/><key>k</key><false/></dict>"),
      // What libplist would clamp, read as octal, cut short or take as zero.
      xml("<integer>18446744073709551616</integer>"),
      xml("<integer>-9223372036854775809</integer>"),
      xml("<integer>-99999999999999999999</integer>"), xml("<integer>010</integer>"),
      xml("<integer>12abc</integer>"), xml("<integer></integer>"), xml("<integer>&#49;</integer>"),
      xml("<real>abc</real>"), xml("<real>1e999</real>"), xml("<date>2016-13-45T00:00:00Z</date>"),
      xml("<date>-0005-01-01T00:00:00Z</date>"),
      // Base64 that decodes to junk.
      xml("<data>!!!!</data>"), xml("<data>AAE</data>"), xml("<data>AA==AA==</data>"),
      // Keys out of turn: a key took the next one as its value, or vanished.
      xml("<dict><key>a</key><key>b</key></dict>"),
      xml("<dict><key>a</key><key>b</key><true/></dict>"),
      xml("<dict><key>a</key><dict><key>b</key></dict></dict>"), xml("<array><key>a</key></array>"),
      xml("<dict><true/></dict>"), xml("<true/><false/>"), xml("<true>x</true>")};
  for (const std::string& list : malformed) {
    EXPECT_FALSE(posix::parsePropertyList(list).has_value()) << list;
  }
  const std::vector<std::pair<std::string, PropertyValue>> wellFormed{
      {withKeys("\x51k", "\x51x"), PropertyDictionary{{"k", "first"}, {"x", "second"}}},
      {"<?xml version=\"1.0\"?><!DOCTYPE plist PUBLIC \"-//A//DTD//EN\" \"x.dtd\"><!-- c -->" +
           xml(" <array> <integer> 0x1F </integer><integer>+5</integer><integer>-0</integer>"
               "<integer>1<!-- split -->2</integer><integer><![CDATA[7]]></integer>"
               "<real>-2.5e3</real><real>+infinity</real><date>2000-02-29T23:59:59Z</date>"
               "<data>\n\tAAEC\n\t/w==\n</data><string><![CDATA[<&>]]>&amp;</string><array/>"
               "</array> "),
       PropertyArray{sint(31), sint(5), sint(0), sint(12), sint(7), -2500.0,
                     std::numeric_limits<double>::infinity(), PropertyDate{-26438401},
                     PropertyData{0, 1, 2, 255}, "<&>&", PropertyArray{}}},
      {"<dict><key>only</key><true/></dict>", PropertyDictionary{{"only", true}}},
  };
  for (const auto& [list, value] : wellFormed)
    EXPECT_EQ(posix::parsePropertyList(list), value) << list;
}

// Every date, exactly as its 8 bytes, and every UID, through the writer and
// the reader; and what the writer puts in the file is those 8 bytes.
TEST(PropertyListTest, DatesKeepTheirEightBytesAndUidsStayUids) {
  const std::vector<double> seconds{0.1234567891,
                                    -0.0,
                                    494426096.789012345,
                                    2147483648.5,
                                    -3000000000.25,
                                    -126227808000.0,
                                    1e300,
                                    -1e300,
                                    5e-324,
                                    std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::quiet_NaN(),
                                    -std::numeric_limits<double>::quiet_NaN()};
  PropertyArray values;
  for (const double s : seconds) values.push_back(PropertyDate{s});
  for (const std::uint32_t u : {0u, 255u, 70000u, 4294967295u}) values.push_back(PropertyUid{u});
  const std::string bytes = posix::serializeBinaryPropertyList(values);
  const auto back = posix::parsePropertyList(bytes);
  ASSERT_TRUE(back && back->array() && back->array()->size() == values.size());
  for (std::size_t i = 0; i < seconds.size(); ++i) {
    const PropertyDate* date = (*back->array())[i].date();
    ASSERT_TRUE(date != nullptr) << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(date->secondsSinceReferenceDate),
              std::bit_cast<std::uint64_t>(seconds[i]))
        << seconds[i];
    EXPECT_NE(bytes.find(binaryDate(seconds[i])), std::string::npos) << seconds[i];
    const auto alone = posix::parsePropertyList(binaryList({binaryDate(seconds[i])}));
    EXPECT_TRUE(alone && alone->date() &&
                std::bit_cast<std::uint64_t>(alone->date()->secondsSinceReferenceDate) ==
                    std::bit_cast<std::uint64_t>(seconds[i]))
        << seconds[i];
  }
  for (std::size_t i = seconds.size(); i < values.size(); ++i) {
    EXPECT_EQ((*back->array())[i], values[i]) << i;
  }
  // Keyed archives hold 32-bit UIDs; a wider one is not written back.
  EXPECT_FALSE(posix::parsePropertyList(binaryList({"\x87" + bigEndian(1ULL << 40)})));
}

// Python's plistlib, a reader and writer independent of libplist: what it
// writes reads as the values it was given, and what is written back from them
// reads in plistlib as the same values, bit for bit.
TEST(PropertyListTest, PythonsPlistlibReadsWhatIsWrittenAndIsReadAsItWrote) {
  const fs::path folder =
      fs::temp_directory_path() / ("pomrel-plistlib-" + std::to_string(getpid()));
  fs::create_directories(folder);
  const auto python = [&](const char* mode, const fs::path& file) {
    std::string script = POMREL_DEFAULTS_TEST_DATA "/plistlib_peer.py";
    std::string modeArg = mode;
    std::string fileArg = file.string();
    char python3[] = "python3";
    char* argv[] = {python3, script.data(), modeArg.data(), fileArg.data(), nullptr};
    pid_t child = 0;
    int status = -1;
    if (::posix_spawnp(&child, "python3", nullptr, nullptr, argv, environ) != 0 ||
        ::waitpid(child, &status, 0) != child) {
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  ASSERT_EQ(python("write", folder / "theirs.plist"), 0);
  PropertyData all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  const auto date = [](std::int64_t microseconds) {
    return PropertyDate{static_cast<double>(microseconds) / 1e6};
  };
  const PropertyDictionary expected{
      {"text", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"ascii", "plain"},
      {"integers", PropertyArray{sint(-1), uint(U64::max()), sint(I64::min()), sint(I64::max())}},
      {"reals", PropertyArray{0.1, -0.0, 0.5, std::numeric_limits<double>::infinity()}},
      {"dates",
       PropertyArray{date(494426096789012), date(-63113904000000000), date(252423993599000000)}},
      {"uids", PropertyArray{PropertyUid{0}, PropertyUid{255}, PropertyUid{70000},
                             PropertyUid{4294967295u}}},
      {"data", all},
      {"nested", PropertyArray{true, false, PropertyArray{}, PropertyDictionary{{"k", "v"}}}},
  };
  const auto theirs = posix::parsePropertyList(readBytes(folder / "theirs.plist"));
  EXPECT_EQ(theirs, PropertyValue(expected));
  writeBytes(folder / "ours.plist", posix::serializeBinaryPropertyList(theirs.value_or(expected)));
  EXPECT_EQ(python("check", folder / "ours.plist"), 0);
  fs::remove_all(folder);
}
}  // namespace
}  // namespace pomrel::sim

int main(int argc, char** argv) {
  constexpr std::string_view kWriterFlag = "--defaults-writer=";
  if (argc == 2 && std::string_view(argv[1]).starts_with(kWriterFlag)) {
    pomrel::posix::PlistUserDefaults defaults(argv[1] + kWriterFlag.size(), "unused");
    for (std::int64_t n = 1;; ++n) {
      defaults.removePersistentDomainForName(pomrel::sim::kWriterDomain);
      defaults.setPersistentDomain(pomrel::sim::generation(n), pomrel::sim::kWriterDomain);
      if (!defaults.synchronize()) return 3;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
