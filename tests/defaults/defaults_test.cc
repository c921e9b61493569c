// The user defaults over property-list files. This program is also the
// writer the crash test kills: `--defaults-writer=<folder>` rewrites one domain
// in a loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/plist_io.h"
#include "platform/sim/sim_user_defaults.h"

extern char** environ;

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
    const posix::PropertyListFile read = posix::readPropertyListFile(path);
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

// A binary list of `objects` (the first is the root) at one-byte `offsets`.
std::string binaryList(const std::string& objects, const std::string& offsets) {
  std::string trailer("\0\0\0\0\0\0\x01\x01", 8);
  for (const std::size_t field : {offsets.size(), std::size_t{0}, 8 + objects.size()}) {
    for (int shift = 56; shift >= 0; shift -= 8) trailer += static_cast<char>(field >> shift);
  }
  return "bplist00" + objects + offsets + trailer;
}

// Text that could not be written back as it was read (not UTF-8, or holding
// a NUL, on which libplist asserts) makes the list malformed; a date past
// 2069 is read as the whole seconds it will be stored as.
TEST(PropertyListTest, WhatIsReadCanBeWrittenBackUnchanged) {
  const auto withKey = [](const std::string& key) {  // {key: true}
    return binaryList("\xd1\x01\x02" + key + "\x09",
                      std::string("\x08\x0b") + static_cast<char>(11 + key.size()));
  };
  ASSERT_EQ(posix::parsePropertyList(withKey("\x51k")), PropertyValue(PropertyDictionary{{"k", true}}));
  const std::string utf16Nul("\x63\0a\0\0\0b", 7);
  for (const std::string& list :
       {binaryList("\x51\xd7", "\x08"), withKey("\x51\xff"), binaryList(utf16Nul, "\x08"),
        withKey(utf16Nul), std::string("<plist><string>\xed\xa0\x80</string></plist>"),
        std::string("<plist><dict><key>\xc0\x80</key><true/></dict></plist>")}) {
    EXPECT_FALSE(posix::parsePropertyList(list).has_value()) << list;
  }
  std::string date("\x33");
  const auto bits = std::bit_cast<std::uint64_t>(4620835392.034667);
  for (int shift = 56; shift >= 0; shift -= 8) date += static_cast<char>(bits >> shift);
  EXPECT_EQ(posix::parsePropertyList(binaryList(date, "\x08")), PropertyValue(PropertyDate{4620835392}));
  for (const std::string& list : {binaryList("\x53" + std::string("a\0b", 3), "\x08"),
                                  withKey("\x52" + std::string("k\0", 2)),
                                  std::string("<plist><string>a\0b</string></plist>", 35)}) {
    if (const auto parsed = posix::parsePropertyList(list)) {
      EXPECT_EQ(posix::parsePropertyList(posix::serializeBinaryPropertyList(*parsed)), *parsed);
    }
  }
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
