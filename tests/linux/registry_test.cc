// LinuxRegistry under umockdev: a testbed of fake block devices stands in for
// sysfs and the udev database, and its uevents for udev's monitor.
#include "platform/linux/registry.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/linux/umockdev_testbed.h"
#include "tests/registry_probe.h"

namespace pomrel::host {
namespace {

using namespace pomrel::testing;  // NOLINT(google-build-using-namespace)

constexpr const char* kMedia = "SxS Media";

struct FakeDisk {
  std::string path;     // below /devices: "sdb", "sdb/sdb1"
  std::string service;  // "" for none
  std::string initialized = "100";
  std::string size = "2048";
  std::string type = "disk";
};

class LinuxRegistryTest : public UmockdevTest {
 protected:
  void TearDown() override {
    if (testbed_ != nullptr) clear();
    UmockdevTest::TearDown();
  }
  // No devices and no registry, which must have left no handle.
  void clear() {
    if (registry_) {
      registry_->notificationPortDestroy(port_);
      EXPECT_EQ(registry_->liveHandleCount(), 0u);
    }
    registry_.reset();
    umockdev_testbed_clear(testbed_);
  }

  // Its sysfs path.
  std::string add(const FakeDisk& disk) {
    const std::string path = "/devices/" + disk.path;
    addDevices({"P: " + path + ";E: SUBSYSTEM=block;E: DEVTYPE=" + disk.type +
                ";E: USEC_INITIALIZED=" + disk.initialized + ";A: size=" + disk.size +
                (disk.service.empty() ? "" : ";E: POMREL_SERVICE=" + disk.service)});
    return "/sys" + path;
  }
  void event(const std::string& sysPath, const char* action) {
    umockdev_testbed_uevent(testbed_, sysPath.c_str(), action);
    if (std::strcmp(action, "remove") == 0)
      umockdev_testbed_remove_device(testbed_, sysPath.c_str());
  }
  void change(const std::string& sysPath, const char* property, const char* value) {
    umockdev_testbed_set_property(testbed_, sysPath.c_str(), property, value);
    event(sysPath, "change");
  }

  // The registry, made over the devices added so far.
  LinuxRegistry& registry() {
    if (!registry_) {
      registry_.emplace();
      port_ = registry_->notificationPortCreate();
    }
    return *registry_;
  }
  std::string firstDisk() { return testing::firstDisk(registry(), kMedia); }
  // The registry first: it makes the port.
  io_object_t watch(Inbox& inbox) {
    LinuxRegistry& made = registry();
    return testing::watch(made, port_, kMedia, inbox);
  }
  bool readable() {
    LinuxRegistry& made = registry();
    return testing::readable(made, port_, 0);
  }
  // The testbed's uevents are queued before it returns, so what is due can
  // be delivered at once.
  void deliver() { registry().notificationPortGetRunLoopSource(port_)->perform(); }

  std::optional<LinuxRegistry> registry_;
  IONotificationPortRef port_ = nullptr;
};

TEST_F(LinuxRegistryTest, FindsTheEarliestInitialisedWholeDiskWithAMediumAndTheProperty) {
  struct Case {
    const char* what;
    std::vector<FakeDisk> disks;
    std::string first;
  };
  const std::vector<Case> cases{
      {"nothing", {}, "none"},
      {"the card", {{"sdb", kMedia}}, "sdb"},
      {"no property, another service", {{"sda", ""}, {"sdc", "Other"}}, "none"},
      {"a partition", {{"sdb", ""}, {"sdb/sdb1", kMedia, "100", "2048", "partition"}}, "none"},
      {"no medium", {{"sdb", kMedia, "100", "0"}}, "none"},
      {"several", {{"sdb", kMedia, "300"}, {"sdc", kMedia, "200"}, {"sdd", kMedia, "250"}}, "sdc"},
      {"the earliest has no medium", {{"sdb", kMedia, "300"}, {"sdc", kMedia, "200", "0"}}, "sdb"},
  };
  for (const Case& c : cases) {
    clear();
    for (const FakeDisk& disk : c.disks) add(disk);
    EXPECT_EQ(firstDisk(), c.first) << c.what;
    EXPECT_EQ(firstDisk(), c.first) << c.what << ", asked again";
  }
}

TEST_F(LinuxRegistryTest, AWatchEndsOnceWhenItsDiskGoesOrStopsMatchingAndOnlyThen) {
  struct Case {
    const char* what;
    std::function<void()> act;
    int terminations;
    std::string firstAfter;
  };
  const std::string card = "/sys/devices/sdb";
  std::string other;
  std::string partition;
  const std::vector<Case> cases{
      {"changes that keep it matching; other devices go",
       [&] {
         for (int i = 0; i < 10; ++i) change(card, "ID_FS_TYPE", i % 2 ? "ext4" : "vfat");
         event(partition, "remove");
         event(other, "remove");
       },
       0, "sdb"},
      {"removed", [&] { event(card, "remove"); }, 1, "none"},
      {"property gone", [&] { change(card, "POMREL_SERVICE", ""); }, 1, "none"},
      {"another service", [&] { change(card, "POMREL_SERVICE", "Other"); }, 1, "none"},
      {"medium gone",
       [&] {
         umockdev_testbed_set_attribute(testbed_, card.c_str(), "size", "0");
         event(card, "change");
       },
       1, "none"},
      {"another device at its path", [&] { change(card, "USEC_INITIALIZED", "900"); }, 1, "sdb"},
      {"an earlier device's removal at its path",
       [&] {
         umockdev_testbed_set_property(testbed_, card.c_str(), "USEC_INITIALIZED", "50");
         umockdev_testbed_uevent(testbed_, card.c_str(), "remove");
         umockdev_testbed_set_property(testbed_, card.c_str(), "USEC_INITIALIZED", "100");
       },
       0, "sdb"},
  };
  for (const Case& c : cases) {
    clear();
    add({"sdb", kMedia});
    partition = add({"sdb/sdb1", "", "100", "2048", "partition"});
    other = add({"sda", ""});
    Inbox inbox;
    const io_object_t registration = watch(inbox);
    c.act();
    deliver();
    EXPECT_FALSE(readable()) << c.what << ": everything waiting is read";
    EXPECT_EQ(inbox.messages.size(), static_cast<std::size_t>(c.terminations)) << c.what;
    EXPECT_EQ(firstDisk(), c.firstAfter) << c.what;
    // Whatever happens next, an ended watch is not told again.
    if (std::filesystem::exists(root_ + card)) {
      change(card, "ID_FS_TYPE", "ext4");
      event(card, "remove");
      deliver();
    }
    EXPECT_EQ(inbox.messages, kTerminated) << c.what;
    EXPECT_EQ(registry().knownDeviceCount(), 0u) << c.what << ": removed devices are forgotten";
    registry().release(registration);
  }
}

TEST_F(LinuxRegistryTest, ADiskGoneBeforeItsRegistrationIsToldAndACallbackMayReplaceThePort) {
  add({"sdb", kMedia});
  const std::string later = add({"sdc", kMedia, "200"});
  const io_service_t service = registry().getMatchingService({kMedia});
  event("/sys/devices/sdb", "remove");
  // A fresh port, whose monitor never saw the removal.
  registry().notificationPortDestroy(port_);
  port_ = registry().notificationPortCreate();
  Inbox inbox;
  Inbox next;
  io_object_t registration = 0;
  io_object_t nextRegistration = 0;
  // As the removal watch does: clear everything, then watch again.
  inbox.then = [&] {
    registry().notificationPortDestroy(port_);
    registry().release(registration);
    port_ = registry().notificationPortCreate();
    nextRegistration = watch(next);
  };
  ASSERT_EQ(registry().addInterestNotification(port_, service, kIOGeneralInterest, record, &inbox,
                                               &registration),
            KERN_SUCCESS);
  registry().release(service);
  ASSERT_TRUE(readable()) << "the port woke itself";
  deliver();
  EXPECT_EQ(inbox.messages, kTerminated);
  event(later, "remove");
  deliver();
  EXPECT_EQ(next.messages, kTerminated);
  registry().release(nextRegistration);
}

}  // namespace
}  // namespace pomrel::host
