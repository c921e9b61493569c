// SimRegistry (lookups, and notification ports over real inotify) against
// real files in a temporary machine folder.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/sim/sim_registry.h"
#include "simulator/machine.h"
#include "tests/registry_probe.h"
#include "tests/sim/sim_test_support.h"

namespace pomrel::sim {
namespace {

using namespace pomrel::testing;  // NOLINT(google-build-using-namespace)

constexpr const char* kMedia = "SxS Media";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;  // entry IDs are drawn from the machine state's counter
    std::optional<Machine> machine = Machine::openForInit(paths_, &error);
    ASSERT_TRUE(machine && machine->commit(&error)) << error;
  }
  void TearDown() override {
    registry_.notificationPortDestroy(port_);
    EXPECT_EQ(registry_.liveHandleCount(), 0u);
    EXPECT_EQ(test::openDescriptors(), descriptors_) << "a port's descriptor left open";
  }

  EntryId publish(const std::string& disk) {
    return store_.publish(kMedia, {{"BSD Name", disk}}).value_or(0);
  }
  void deliver() {
    ASSERT_TRUE(readable(registry_, port_, 5000));
    registry_.notificationPortGetRunLoopSource(port_)->perform();
  }

  const long descriptors_ = test::openDescriptors();
  test::TempRoot temp_;
  MachinePaths paths_ = temp_.paths();
  RegistryStore store_{paths_};
  SimRegistry registry_{paths_};
  IONotificationPortRef port_ = registry_.notificationPortCreate();
};

TEST_F(RegistryTest, FirstMatchIsTheLowestWholeEntry) {
  EXPECT_EQ(firstDisk(registry_, kMedia), "none");
  // Entries that are no files, a folder and a FIFO: no match, never read.
  const EntryId folder = publish("gone");
  const EntryId fifo = publish("gone too");
  ASSERT_TRUE(store_.terminate(kMedia, folder) && store_.terminate(kMedia, fifo));
  std::filesystem::create_directory(store_.entryPath(kMedia, folder));
  ASSERT_EQ(::mkfifo(store_.entryPath(kMedia, fifo).c_str(), 0644), 0);
  EXPECT_FALSE(store_.readEntry(kMedia, folder) || store_.readEntry(kMedia, fifo));
  const EntryId first = publish("disk2");
  const EntryId second = publish("disk3");
  // Beside them, files that are no entries: being written, a message, a stray.
  for (const char* stray : {"/1.plist.a1B2c3", "/1.msg-2", "/01.plist"}) {
    std::ofstream(store_.serviceDirectory(kMedia) + stray) << "stray";
  }
  EXPECT_EQ(store_.listEntries(kMedia), (std::vector<EntryId>{first, second}));
  EXPECT_EQ(firstDisk(registry_, kMedia), "disk2");
  ASSERT_TRUE(store_.terminate(kMedia, first));
  EXPECT_EQ(firstDisk(registry_, kMedia), "disk3");
}

// A watch gets the messages sent after it, passing over those that are no
// files without waiting on them, then one termination. An entry that cannot
// be examined (its folder a link to itself) may still be there, so its watch
// stays armed.
TEST_F(RegistryTest, AWatchGetsLaterMessagesThenOneTerminationAndAReinsertedCardIsNew) {
  const EntryId id = publish("disk2");
  ASSERT_TRUE(store_.postMessage(kMedia, id, 0xE0000001));  // before the watch: not delivered
  Inbox inbox;
  const io_object_t registration = watch(registry_, port_, kMedia, inbox);
  const std::string folder = store_.serviceDirectory(kMedia);
  const std::string messages = folder + "/" + std::to_string(id) + ".msg-";
  std::filesystem::create_directory(messages + "1000");
  ASSERT_EQ(::mkfifo((messages + "1001").c_str(), 0644), 0);
  ASSERT_TRUE(store_.postMessageAs(kMedia, id, 1002, kSxSMessageBusyStateChanged));
  deliver();
  const natural_t busy = kSxSMessageBusyStateChanged;
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{busy});
  EXPECT_TRUE(store_.listMessages(kMedia, id, 1001).empty()) << "a delivered message is consumed";

  std::filesystem::rename(folder, folder + ".away");
  std::filesystem::create_directory_symlink(folder, folder);
  errno = 0;
  EXPECT_TRUE(store_.entryExists(kMedia, id) && errno == ELOOP);
  registry_.notificationPortGetRunLoopSource(port_)->perform();
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{busy});
  std::filesystem::remove(folder);
  std::filesystem::rename(folder + ".away", folder);
  ASSERT_TRUE(store_.terminate(kMedia, id));
  EXPECT_GT(publish("disk2"), id);
  deliver();
  registry_.notificationPortGetRunLoopSource(port_)->perform();
  EXPECT_EQ(inbox.messages, (std::vector<natural_t>{busy, kIOMessageServiceIsTerminated}));
  EXPECT_FALSE(readable(registry_, port_, 0));
  registry_.release(registration);

  // A service that ends between its lookup and the registration still
  // reports its end, though a fresh port has seen no change in the folder.
  registry_.notificationPortDestroy(port_);
  port_ = registry_.notificationPortCreate();
  const io_service_t service = registry_.getMatchingService({kMedia});
  ASSERT_TRUE(store_.terminate(kMedia, *store_.firstEntry(kMedia)));
  Inbox late;
  const io_object_t lateRegistration = watch(registry_, port_, kMedia, late, service);
  deliver();
  EXPECT_EQ(late.messages, kTerminated);
  registry_.release(lateRegistration);
}

}  // namespace
}  // namespace pomrel::sim
