#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "tests/fakes/fakes.h"

namespace pomrel::testing {

using namespace pomrel::fakes;  // NOLINT(google-build-using-namespace)
using Strings = std::vector<std::string>;

// The driver is installed and no card is inserted. The controller is made on
// first use; once destroyed it must have left no watch, handle or session.
class CoreTest : public ::testing::Test {
 protected:
  CoreTest() { fake.fileManager.paths.insert(kSxSPluginPath); }

  void TearDown() override {
    controller_.reset();
    EXPECT_EQ(g_NotifyPort, nullptr);
    EXPECT_EQ(g_NotifyContext, nullptr);
    EXPECT_EQ(fake.registry.outstandingHandles(), 0U);
    EXPECT_EQ(fake.registry.livePorts(), 0U);
    EXPECT_TRUE(fake.runLoop.installed.empty());
    EXPECT_EQ(fake.authorization.liveSessions(), 0U);
    EXPECT_EQ(fake.registry.misuse, 0);
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

  void diskToolFails() {
    fake.processes.onRun = [](const ProcessRun&) {
      return FakeProcessRunner::exited(1, "disk2: Volume failed to eject\n");
    };
  }

  [[nodiscard]] Strings alerts() const {
    Strings messages;
    for (const Alert& alert : fake.application.alerts) messages.push_back(alert.message);
    return messages;
  }
  // Each event (by prefix) was logged, in this order.
  void expectInOrder(std::initializer_list<std::string_view> events) const {
    auto at = fake.log.begin();
    for (std::string_view event : events) {
      at = std::find_if(at, fake.log.end(), [&](const auto& e) { return e.starts_with(event); });
      ASSERT_NE(at, fake.log.end()) << "no " << event << " in order in\n"
                                    << ::testing::PrintToString(fake.log);
      ++at;
    }
  }

  FakePlatform fake;

 private:
  std::unique_ptr<AppController> controller_;
};

}  // namespace pomrel::testing
