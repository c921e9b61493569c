#include "platform/sim/sim_user_defaults.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/sim/plist_io.h"
#include "tests/defaults/test_support.h"

extern char** environ;

namespace pomrel::sim {
namespace {

namespace fs = std::filesystem;
using testing::readBytes;
using testing::writeBytes;

class SimUserDefaultsTest : public ::testing::Test {
 protected:
  std::string file(const std::string& domain) const { return prefs + "/" + domain + ".plist"; }
  std::vector<std::string> asideFiles(const std::string& domain) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(prefs)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(domain + ".plist.unreadable-", 0) == 0) found.push_back(entry.path().string());
    }
    return found;
  }
  static mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }

  testing::ScratchFolder scratch;
  MachinePaths paths{scratch.path()};
  SimUserDefaultsFactory factory{paths, "org.example.pomrel"};
  std::string prefs = paths.userHome() + "/Library/Preferences";
};

TEST_F(SimUserDefaultsTest, ApplicationBooleanWaitsForSynchronizeAndIsStoredPrivately) {
  auto standard = factory.standardUserDefaults();
  EXPECT_EQ(standard, factory.standardUserDefaults());
  auto other = factory.makeUserDefaults();
  EXPECT_NE(standard, other);

  EXPECT_FALSE(standard->boolForKey("AddLoginItem"));
  standard->setBoolForKey(true, "AddLoginItem");
  EXPECT_TRUE(standard->boolForKey("AddLoginItem"));
  EXPECT_FALSE(other->boolForKey("AddLoginItem"));
  EXPECT_FALSE(fs::exists(file("org.example.pomrel")));

  ASSERT_TRUE(standard->synchronize());
  EXPECT_TRUE(other->boolForKey("AddLoginItem"));
  EXPECT_EQ(readBytes(file("org.example.pomrel")).rfind("bplist00", 0), 0U);
  EXPECT_EQ(modeOf(file("org.example.pomrel")), 0600U);
  EXPECT_EQ(modeOf(prefs), 0700U);
  EXPECT_EQ(modeOf(paths.userHome() + "/Library"), 0700U);
}

TEST_F(SimUserDefaultsTest, NonZeroNumbersCountAsTrueAndOtherKeysAreKept) {
  writeBytes(file("org.example.pomrel"), R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>yes</key><true/><key>two</key><integer>2</integer><key>zero</key><integer>0</integer>
  <key>half</key><real>0.5</real><key>minus</key><integer>-1</integer>
  <key>text</key><string>YES</string><key>list</key><array><true/></array>
</dict></plist>)");
  auto defaults = factory.makeUserDefaults();
  const std::map<std::string, bool> expected{{"yes", true},   {"two", true},    {"zero", false},
                                             {"half", true},  {"minus", true},  {"text", false},
                                             {"list", false}, {"absent", false}};
  for (const auto& [key, value] : expected) EXPECT_EQ(defaults->boolForKey(key), value) << key;

  const auto before = defaults->persistentDomainForName("org.example.pomrel");
  ASSERT_TRUE(before.has_value());
  defaults->setBoolForKey(false, "yes");
  ASSERT_TRUE(defaults->synchronize());
  auto after = factory.makeUserDefaults()->persistentDomainForName("org.example.pomrel");
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->at("yes"), PropertyValue(false));
  after->insert_or_assign("yes", true);
  EXPECT_EQ(*after, *before);
}

TEST_F(SimUserDefaultsTest, DomainNamesOutsideTheFolderAreRefused) {
  auto defaults = factory.makeUserDefaults();
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("../escape"), std::string("nul\0x", 5)}) {
    defaults->setPersistentDomain({{"k", true}}, name);
    EXPECT_FALSE(defaults->persistentDomainForName(name).has_value()) << name;
  }
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_FALSE(fs::exists(paths.userHome()));
}

TEST_F(SimUserDefaultsTest, PersistentDomainChangesReachDiskAtSynchronize) {
  auto writer = factory.makeUserDefaults();
  auto reader = factory.makeUserDefaults();
  const PropertyDictionary first{{"n", PropertyInteger::fromSigned(1)}};
  const PropertyDictionary second{{"n", PropertyInteger::fromSigned(2)}};

  writer->setPersistentDomain(first, "d");
  EXPECT_EQ(writer->persistentDomainForName("d"), first);
  EXPECT_FALSE(reader->persistentDomainForName("d").has_value());
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->persistentDomainForName("d"), first);

  // A domain the reader has not changed always shows the file.
  writer->setPersistentDomain(second, "d");
  ASSERT_TRUE(writer->synchronize());
  EXPECT_EQ(reader->persistentDomainForName("d"), second);

  writer->removePersistentDomainForName("d");
  EXPECT_FALSE(writer->persistentDomainForName("d").has_value());
  EXPECT_TRUE(fs::exists(file("d")));
  ASSERT_TRUE(writer->synchronize());
  EXPECT_FALSE(fs::exists(file("d")));

  writer->setPersistentDomain(first, "d");
  writer->removePersistentDomainForName("d");
  ASSERT_TRUE(writer->synchronize());
  EXPECT_FALSE(fs::exists(file("d")));
}

// The login list's write-back removes and sets its domain: on disk the file
// must be replaced once, never deleted in between.
TEST_F(SimUserDefaultsTest, RemoveThenSetIsOneReplacement) {
  auto defaults = factory.makeUserDefaults();
  defaults->setPersistentDomain({{"old", true}}, "d");
  ASSERT_TRUE(defaults->synchronize());
  struct stat before {};
  ASSERT_EQ(::stat(file("d").c_str(), &before), 0);

  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, prefs.c_str(),
                                IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO),
            0);
  auto countEvents = [&] {
    std::map<std::uint32_t, int> counts;
    alignas(inotify_event) char buffer[16384];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
      for (char* at = buffer; at < buffer + n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(at);
        if (event->len > 0 && std::string(event->name) == "d.plist") ++counts[event->mask];
        at += sizeof(inotify_event) + event->len;
      }
    }
    return counts;
  };

  defaults->removePersistentDomainForName("d");
  defaults->setPersistentDomain({{"new", true}}, "d");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(countEvents(), (std::map<std::uint32_t, int>{{IN_MOVED_TO, 1}}));
  struct stat after {};
  ASSERT_EQ(::stat(file("d").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(factory.makeUserDefaults()->persistentDomainForName("d"),
            (PropertyDictionary{{"new", true}}));

  defaults->removePersistentDomainForName("d");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(countEvents(), (std::map<std::uint32_t, int>{{IN_DELETE, 1}}));
  ::close(watch);
}

TEST_F(SimUserDefaultsTest, UnreadableFileIsNoDomainAndIsKeptAsideWhenReplaced) {
  auto defaults = factory.makeUserDefaults();
  const std::string garbage = std::string("\x00\x01", 2) + " not a property list \xff";
  const std::string arrayRoot = serializeBinaryPropertyList(PropertyArray{"a list, not a domain"});
  writeBytes(file("d"), garbage);
  EXPECT_FALSE(defaults->persistentDomainForName("d").has_value());

  // A removal has nothing to delete: the file stays as it is.
  defaults->removePersistentDomainForName("d");
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(readBytes(file("d")), garbage);

  defaults->setPersistentDomain({{"n", PropertyInteger::fromSigned(1)}}, "d");
  ASSERT_TRUE(defaults->synchronize());
  writeBytes(file("d"), arrayRoot);
  EXPECT_FALSE(defaults->persistentDomainForName("d").has_value());
  defaults->setPersistentDomain({{"n", PropertyInteger::fromSigned(2)}}, "d");
  ASSERT_TRUE(defaults->synchronize());

  // Two replacements within moments of each other keep two distinct files.
  std::vector<std::string> kept;
  for (const auto& path : asideFiles("d")) kept.push_back(readBytes(path));
  std::sort(kept.begin(), kept.end());
  std::vector<std::string> expected{garbage, arrayRoot};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(defaults->persistentDomainForName("d"),
            (PropertyDictionary{{"n", PropertyInteger::fromSigned(2)}}));
}

// Real preference files: whatever is read from them is written back as it
// was when an entry is added and later removed.
TEST_F(SimUserDefaultsTest, RealPreferenceFilesKeepEveryValue) {
  const std::map<std::string, std::vector<std::pair<std::string, PropertyValue>>> fixtures{
      {"loginwindow",
       {{"SystemVersionStampAsString", "10.11.6"},
        {"BuildVersionStampAsNumber", PropertyInteger::fromSigned(31882624)}}},
      {"loginwindow-byhost", {}},
      {"global-preferences",
       {{"InitialKeyRepeat", PropertyInteger::fromSigned(15)},
        {"NSUserDictionaryReplacementItems", PropertyArray{}}}},
  };
  const PropertyDictionary entry{{"Hide", false}, {"Path", "/Applications/Pomrel.app"}};
  for (const auto& [domain, spotChecks] : fixtures) {
    SCOPED_TRACE(domain);
    const std::string bytes =
        readBytes(std::string(POMREL_DEFAULTS_TEST_DATA) + "/" + domain + ".plist");
    writeBytes(file(domain), bytes);
    const auto original = parsePropertyList(bytes);
    ASSERT_TRUE(original && original->dictionary());
    for (const auto& [key, value] : spotChecks) EXPECT_EQ(original->dictionary()->at(key), value);

    auto read = factory.makeUserDefaults()->persistentDomainForName(domain);
    ASSERT_EQ(read, *original->dictionary());
    auto withEntry = *read;
    withEntry.insert_or_assign("AutoLaunchedApplicationDictionary", PropertyArray{entry});
    for (const auto& changed : {withEntry, *read}) {
      auto defaults = factory.makeUserDefaults();
      defaults->removePersistentDomainForName(domain);
      defaults->setPersistentDomain(changed, domain);
      ASSERT_TRUE(defaults->synchronize());
      EXPECT_EQ(factory.makeUserDefaults()->persistentDomainForName(domain), changed);
    }
  }
}

// A write that fails before its rename (here the file-size limit stops the
// data) leaves the old file whole, no temporary, and the change pending.
TEST_F(SimUserDefaultsTest, FailedWriteKeepsOldFileAndRetries) {
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
  EXPECT_EQ(std::distance(fs::directory_iterator(prefs), {}), 1);
  ASSERT_TRUE(defaults->synchronize());
  EXPECT_EQ(factory.makeUserDefaults()->persistentDomainForName("d"), large);
}

// A writer killed at random moments: every read, during and after, finds one
// whole generation of the domain.
TEST_F(SimUserDefaultsTest, KilledWriterNeverLeavesBrokenOrMissingFile) {
  const std::string path = file(testing::kWriterDomain);
  auto defaults = factory.makeUserDefaults();
  defaults->setPersistentDomain(testing::writerValue(0), testing::kWriterDomain);
  ASSERT_TRUE(defaults->synchronize());
  auto checkWhole = [&] {
    const PropertyListFile read = readPropertyListFile(path);
    ASSERT_EQ(read.status, FileStatus::kOk);
    const auto* dict = read.value.dictionary();
    ASSERT_TRUE(dict != nullptr && dict->count("generation") == 1);
    const auto* generation = dict->at("generation").integer();
    ASSERT_NE(generation, nullptr);
    ASSERT_EQ(*dict, testing::writerValue(static_cast<std::int64_t>(generation->bits)));
  };

  const std::string exe = testing::selfExecutable();
  const std::string flag = "--defaults-writer=" + prefs;
  std::mt19937 random(11);
  for (int round = 0; round < 20; ++round) {
    struct stat start {};
    ASSERT_EQ(::stat(path.c_str(), &start), 0);
    std::vector<char*> argv{const_cast<char*>(exe.c_str()), const_cast<char*>(flag.c_str()),
                            nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    // Whatever ends this round, the writer does not outlive it.
    std::unique_ptr<pid_t, void (*)(pid_t*)> reaper(&child, [](pid_t* pid) {
      if (*pid > 0 && ::kill(*pid, SIGKILL) == 0) ::waitpid(*pid, nullptr, 0);
    });
    // Let the writer replace the file at least once, then read alongside it
    // for a random while before killing it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat now = start;
    while (now.st_ino == start.st_ino && std::chrono::steady_clock::now() < giveUp) {
      ASSERT_EQ(::stat(path.c_str(), &now), 0);
    }
    EXPECT_NE(now.st_ino, start.st_ino) << "the writer did not replace the file";
    const auto killAt =
        std::chrono::steady_clock::now() +
        std::chrono::microseconds(std::uniform_int_distribution<>(0, 20000)(random));
    while (std::chrono::steady_clock::now() < killAt && !HasFatalFailure()) checkWhole();
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    child = 0;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "writer ended with " << status;
    checkWhole();
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace pomrel::sim
