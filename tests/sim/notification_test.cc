// Notification ports of SimRegistry: real inotify on a temporary machine.
#include <poll.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "gtest/gtest.h"
#include "platform/sim/sim_registry.h"
#include "sim_test_support.h"
#include "simulator/machine.h"
#include "simulator/registry_store.h"

namespace pomrel::sim {
namespace {

constexpr const char* kMedia = "SxS Media";

// What a registration received; `then` runs inside the callback.
struct Inbox {
  std::vector<natural_t> messages;
  std::function<void()> then;
};

void record(void* refcon, io_service_t /*service*/, natural_t type, void* /*argument*/) {
  auto* inbox = static_cast<Inbox*>(refcon);
  inbox->messages.push_back(type);
  if (inbox->then) inbox->then();
}

bool readable(RunLoopSource* source, int timeoutMs) {
  pollfd fd{source->descriptor(), POLLIN, 0};
  return ::poll(&fd, 1, timeoutMs) == 1;
}

class NotificationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::initState(paths_);
    port_ = registry_.notificationPortCreate();
    ASSERT_NE(port_, nullptr);
    source_ = registry_.notificationPortGetRunLoopSource(port_);
    ASSERT_NE(source_, nullptr);
  }
  void TearDown() override {
    if (port_ != nullptr) registry_.notificationPortDestroy(port_);
  }

  EntryId publish(const std::string& disk = "disk2") {
    return store_.publish(kMedia, {{"BSD Name", disk}}).value_or(0);
  }

  // Registers `inbox` on the first media service.
  io_object_t watch(Inbox& inbox, IONotificationPortRef port = nullptr) {
    const io_service_t service = registry_.getMatchingService({kMedia});
    io_object_t registration = 0;
    EXPECT_EQ(registry_.addInterestNotification(port != nullptr ? port : port_, service,
                                                kIOGeneralInterest, record, &inbox, &registration),
              KERN_SUCCESS);
    registry_.release(service);
    return registration;
  }

  // Waits (boundedly) for the port to have work, then performs it.
  void deliver() {
    ASSERT_TRUE(readable(source_, 5000));
    source_->perform();
  }

  test::TempRoot temp_;
  MachinePaths paths_ = temp_.paths();
  RegistryStore store_{paths_};
  SimRegistry registry_{paths_};
  IONotificationPortRef port_ = nullptr;
  RunLoopSource* source_ = nullptr;
};

TEST_F(NotificationTest, TerminationIsDeliveredOnceAndOtherMessagesKeepTheWatch) {
  const EntryId id = publish();
  Inbox inbox;
  const io_object_t registration = watch(inbox);
  EXPECT_FALSE(readable(source_, 0)) << "nothing happened yet";

  ASSERT_TRUE(store_.postMessage(kMedia, id, kSxSMessageBusyStateChanged));
  deliver();
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{kSxSMessageBusyStateChanged});
  EXPECT_TRUE(store_.listMessages(kMedia, id).empty()) << "a delivered message is consumed";

  // Unrelated traffic in the same folder wakes the port but delivers nothing.
  const EntryId other = publish("disk9");
  deliver();
  ASSERT_TRUE(store_.terminate(kMedia, other));
  deliver();
  EXPECT_EQ(inbox.messages.size(), 1u);

  ASSERT_TRUE(store_.terminate(kMedia, id));
  deliver();
  source_->perform();
  EXPECT_EQ(inbox.messages,
            (std::vector<natural_t>{kSxSMessageBusyStateChanged, kIOMessageServiceIsTerminated}));
  EXPECT_FALSE(readable(source_, 0)) << "perform leaves nothing pending";
  EXPECT_EQ(registry_.release(registration), KERN_SUCCESS);
  EXPECT_EQ(registry_.liveHandleCount(), 0u);
}

TEST_F(NotificationTest, MessagesSentBeforeTheRegistrationAreNotDelivered) {
  const EntryId id = publish();
  ASSERT_TRUE(store_.postMessage(kMedia, id, 0xE0000001));
  Inbox inbox;
  const io_object_t registration = watch(inbox);
  ASSERT_TRUE(store_.postMessage(kMedia, id, 0xE0000002));
  deliver();
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{0xE0000002});
  registry_.release(registration);
}

TEST_F(NotificationTest, ATerminationBeforeTheRegistrationIsStillDelivered) {
  const EntryId id = publish();
  const io_service_t service = registry_.getMatchingService({kMedia});
  ASSERT_TRUE(store_.terminate(kMedia, id));
  Inbox inbox;
  io_object_t registration = 0;
  ASSERT_EQ(registry_.addInterestNotification(port_, service, kIOGeneralInterest, record, &inbox,
                                              &registration),
            KERN_SUCCESS);
  registry_.release(service);
  deliver();
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{kIOMessageServiceIsTerminated});
  registry_.release(registration);
}

TEST_F(NotificationTest, ACardPulledAndInsertedAgainIsANewService) {
  std::string error;
  {
    std::optional<Machine> machine = Machine::open(paths_, &error);
    ASSERT_TRUE(machine) << error;
    machine->state().cardInserted = true;
    ASSERT_TRUE(machine->commit(&error)) << error;
  }
  const EntryId before = store_.firstEntry(kMedia).value_or(0);
  Inbox inbox;
  const io_object_t registration = watch(inbox);
  {
    std::optional<Machine> machine = Machine::open(paths_, &error);
    ASSERT_TRUE(machine) << error;
    machine->state().cardInserted = false;
    ASSERT_TRUE(machine->commit(&error)) << error;
    machine->state().cardInserted = true;
    ASSERT_TRUE(machine->commit(&error)) << error;
  }
  const EntryId after = store_.firstEntry(kMedia).value_or(0);
  EXPECT_GT(after, before);
  deliver();
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{kIOMessageServiceIsTerminated});
  registry_.release(registration);
}

TEST_F(NotificationTest, RegistrationsEndWhenReleasedOrTheirPortIsDestroyed) {
  const EntryId id = publish();
  Inbox released;
  Inbox orphaned;
  registry_.release(watch(released));
  IONotificationPortRef other = registry_.notificationPortCreate();
  const io_object_t onOther = watch(orphaned, other);
  registry_.notificationPortDestroy(other);
  ASSERT_TRUE(store_.terminate(kMedia, id));
  source_->perform();
  EXPECT_TRUE(released.messages.empty());
  EXPECT_TRUE(orphaned.messages.empty());
  EXPECT_EQ(registry_.release(onOther), KERN_SUCCESS);

  // Only general interest, on a live service handle.
  Inbox inbox;
  io_object_t registration = 0;
  publish();
  const io_service_t service = registry_.getMatchingService({kMedia});
  EXPECT_NE(registry_.addInterestNotification(port_, service, "IOBusyInterest", record, &inbox,
                                              &registration),
            KERN_SUCCESS);
  EXPECT_NE(registry_.addInterestNotification(port_, service + 1000, kIOGeneralInterest, record,
                                              &inbox, &registration),
            KERN_SUCCESS);
  EXPECT_EQ(registration, 0u);
  registry_.release(service);
  EXPECT_EQ(registry_.liveHandleCount(), 0u);
}

TEST_F(NotificationTest, ACallbackMayReleaseDestroyAndRegisterAgainDuringPerform) {
  // Two services terminate together; the first callback tears everything
  // down, so the second registration must not be called.
  const EntryId first = publish("disk2");
  Inbox one;
  const io_object_t oneRegistration = watch(one);
  const EntryId second = publish("disk3");
  ASSERT_TRUE(store_.terminate(kMedia, first));
  Inbox two;
  const io_object_t twoRegistration = watch(two);
  ASSERT_TRUE(store_.terminate(kMedia, second));

  IONotificationPortRef replacement = nullptr;
  io_object_t again = 0;
  Inbox later;
  auto tearDown = [&] {
    registry_.release(oneRegistration);
    registry_.release(twoRegistration);
    registry_.notificationPortDestroy(port_);
    port_ = nullptr;
    replacement = registry_.notificationPortCreate();
    publish("disk4");
    again = watch(later, replacement);
  };
  one.then = tearDown;
  two.then = tearDown;
  deliver();
  EXPECT_EQ(one.messages.size() + two.messages.size(), 1u);

  // The new port works on its own.
  ASSERT_NE(again, 0u);
  ASSERT_TRUE(store_.terminate(kMedia, *store_.firstEntry(kMedia)));
  RunLoopSource* source = registry_.notificationPortGetRunLoopSource(replacement);
  ASSERT_TRUE(readable(source, 5000));
  source->perform();
  EXPECT_EQ(later.messages, std::vector<natural_t>{kIOMessageServiceIsTerminated});
  registry_.release(again);
  registry_.notificationPortDestroy(replacement);
  EXPECT_EQ(registry_.liveHandleCount(), 0u);
}

TEST_F(NotificationTest, ARemovedServiceFolderEndsTheWatchCleanly) {
  publish();
  Inbox inbox;
  const io_object_t registration = watch(inbox);
  std::filesystem::remove_all(store_.serviceDirectory(kMedia));
  deliver();
  EXPECT_EQ(inbox.messages, std::vector<natural_t>{kIOMessageServiceIsTerminated});
  EXPECT_EQ(registry_.release(registration), KERN_SUCCESS);
}

}  // namespace
}  // namespace pomrel::sim
