// A controller on fakes, with checks that every test leaves nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "tests/fakes/fakes.h"

namespace pomrel::testing {

using namespace pomrel::fakes;  // NOLINT(google-build-using-namespace)

// The driver is installed and no card is inserted. The controller is made on
// first use; when the test ends it is destroyed and must have cleared the
// watch and released every handle and authorization it held.
class CoreTest : public ::testing::Test {
 protected:
  CoreTest() { fake.fileManager.paths.insert(kSxSPluginPath); }

  void TearDown() override {
    destroyController();
    EXPECT_EQ(g_NotifyPort, nullptr);
    EXPECT_EQ(g_NotifyContext, nullptr);
    EXPECT_EQ(fake.registry.outstandingHandles(), 0U);
    EXPECT_EQ(fake.registry.livePorts(), 0U);
    EXPECT_EQ(fake.registry.misuse, 0);
    EXPECT_EQ(fake.runLoop.installedCount(), 0U);
    EXPECT_EQ(fake.authorization.liveSessions(), 0U);
    EXPECT_EQ(fake.authorization.misuse, 0);
  }

  AppController& app() {
    if (controller_ == nullptr) controller_ = std::make_unique<AppController>(fake.platform);
    return *controller_;
  }
  void destroyController() { controller_.reset(); }

  std::uint64_t insertCard(const std::string& disk = "disk2") {
    return fake.registry.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, disk}});
  }
  void pullCard() { fake.registry.terminateAll(kSxSMediaServiceName); }
  [[nodiscard]] bool cardPresent() const { return fake.registry.hasService(kSxSMediaServiceName); }

  // Every disk tool run ejects the card: its media service goes away.
  void diskToolEjects() {
    fake.processes.onRun = [this](const ProcessRun&) {
      pullCard();
      return FakeProcessRunner::exited(0);
    };
  }
  // Every disk tool run reports that the volume is busy.
  void diskToolFails() {
    fake.processes.onRun = [](const ProcessRun&) {
      return FakeProcessRunner::exited(1, "disk2: Volume failed to eject\n");
    };
  }

  [[nodiscard]] std::vector<std::string> alertMessages() const {
    std::vector<std::string> messages;
    for (const Alert& alert : fake.application.alerts) messages.push_back(alert.message);
    return messages;
  }

  // Each event (by prefix) happened, in this order.
  void expectInOrder(std::initializer_list<std::string_view> events) const {
    std::size_t from = 0;
    for (std::string_view event : events) {
      const std::ptrdiff_t at = fake.log.indexOf(event, from);
      ASSERT_GE(at, 0) << "no \"" << event << "\" after event " << from << " of:\n"
                       << ::testing::PrintToString(fake.log.events());
      from = static_cast<std::size_t>(at) + 1;
    }
  }

  FakePlatform fake;

 private:
  std::unique_ptr<AppController> controller_;
};

inline const std::string kUnloadRun = std::string("exec:") + kKextUnloadPath + " " + kSxSPluginPath;
inline const std::string kLoadRun = std::string("exec:") + kKextLoadPath + " " + kSxSPluginPath;
inline const std::string kUnloadDone = std::string("exit:") + kKextUnloadPath;

}  // namespace pomrel::testing
