// The registry's files and the lookup side of SimRegistry, against a real
// temporary machine folder.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/sim/sim_registry.h"
#include "sim_test_support.h"
#include "simulator/registry_store.h"

namespace pomrel::sim {
namespace {

constexpr const char* kMedia = "SxS Media";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { test::initState(paths_); }

  std::optional<std::string> bsdNameOfFirstMatch() {
    const io_service_t service = registry_.getMatchingService({kMedia});
    if (service == 0) return std::nullopt;
    PropertyDictionary properties;
    const kern_return_t status = registry_.createProperties(service, properties);
    EXPECT_EQ(registry_.release(service), KERN_SUCCESS);
    if (status != KERN_SUCCESS) return std::string("<unreadable>");
    const std::string* name = properties["BSD Name"].string();
    return name != nullptr ? *name : "<not a string>";
  }

  test::TempRoot temp_;
  MachinePaths paths_ = temp_.paths();
  RegistryStore store_{paths_};
  SimRegistry registry_{paths_};
};

TEST_F(RegistryTest, FirstMatchIsTheLowestLiveEntryAndTerminationRemovesIt) {
  EXPECT_EQ(registry_.getMatchingService({kMedia}), 0u);
  const auto first = store_.publish(kMedia, {{"BSD Name", "disk2"}});
  const auto second = store_.publish(kMedia, {{"BSD Name", "disk3"}});
  ASSERT_TRUE(first && second);
  EXPECT_LT(*first, *second);
  EXPECT_EQ(bsdNameOfFirstMatch(), "disk2");

  // A handle outlives its service: it can still be released, but its
  // properties are gone.
  const io_service_t held = registry_.getMatchingService({kMedia});
  ASSERT_TRUE(store_.terminate(kMedia, *first));
  PropertyDictionary properties{{"untouched", true}};
  EXPECT_NE(registry_.createProperties(held, properties), KERN_SUCCESS);
  EXPECT_EQ(properties.size(), 1u);
  EXPECT_EQ(registry_.release(held), KERN_SUCCESS);
  EXPECT_NE(registry_.release(held), KERN_SUCCESS);

  EXPECT_EQ(bsdNameOfFirstMatch(), "disk3");
  ASSERT_TRUE(store_.terminate(kMedia, *second));
  EXPECT_EQ(registry_.getMatchingService({kMedia}), 0u);
  // Entry IDs are never handed out again.
  const auto third = store_.publish(kMedia, {{"BSD Name", "disk4"}});
  ASSERT_TRUE(third);
  EXPECT_GT(*third, *second);
  EXPECT_EQ(registry_.liveHandleCount(), 0u);
}

TEST_F(RegistryTest, OnlyWholeEntriesOfTheNameAskedForAreRead) {
  // A thousand unrelated services, whose files hold garbage: the lookup
  // reads none of them.
  for (int i = 0; i < 1000; ++i) {
    const std::string folder = store_.serviceDirectory("Service " + std::to_string(i));
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/" + std::to_string(i + 1) + ".plist") << "not a property list";
  }
  const auto id = store_.publish(kMedia, {{"BSD Name", "disk2"}});
  ASSERT_TRUE(id);
  // Files that are not entries (being written, messages, strays) sit in
  // the same folder with lower numbers; the first match ignores them.
  const std::string folder = store_.serviceDirectory(kMedia);
  std::ofstream(folder + "/1.plist.a1B2c3") << "half";
  std::ofstream(folder + "/1.msg-2") << "message";
  std::ofstream(folder + "/01.plist") << "stray";
  EXPECT_EQ(store_.listEntries(kMedia), std::vector<EntryId>{*id});
  EXPECT_EQ(bsdNameOfFirstMatch(), "disk2");
}

TEST_F(RegistryTest, AConcurrentWriterNeverExposesAHalfWrittenEntry) {
  // The writer keeps replacing one entry with large, self-consistent
  // contents and publishes and terminates others beside it.
  const EntryId id = store_.publish(kMedia, {{"BSD Name", "disk0"}}).value_or(0);
  ASSERT_NE(id, 0u);
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread writer([&] {
    RegistryStore store(paths_);
    for (int round = 1; !stop; ++round) {
      const std::string disk = "disk" + std::to_string(round);
      store.publishAs(kMedia, id,
                      {{"BSD Name", disk},
                       {"Check", std::string(20000, static_cast<char>('a' + round % 26)) + disk}});
      if (auto other = store.publish(kMedia, {{"BSD Name", disk}})) store.terminate(kMedia, *other);
      rounds = round;
    }
  });
  // Reading only once the writer is under way makes every read below one
  // that races with it (a slow first fsync would otherwise leave none).
  while (rounds == 0) std::this_thread::yield();
  int consistent = 0;
  for (int i = 0; i < 300; ++i) {
    const io_service_t service = registry_.getMatchingService({kMedia});
    ASSERT_NE(service, 0u);
    PropertyDictionary properties;
    ASSERT_EQ(registry_.createProperties(service, properties), KERN_SUCCESS);
    registry_.release(service);
    const std::string disk = *properties["BSD Name"].string();
    const std::string* check = properties["Check"].string();
    ASSERT_NE(check, nullptr);
    EXPECT_TRUE(check->ends_with(disk)) << disk;
    EXPECT_EQ(check->size(), 20000 + disk.size());
    ++consistent;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(consistent, 300);
}

}  // namespace
}  // namespace pomrel::sim
