#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

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
    EXPECT_TRUE(g_NotifyPort == nullptr && g_NotifyContext == nullptr) << "a watch left armed";
    EXPECT_EQ(fake.registry.outstandingHandles() + fake.registry.livePorts() +
                  fake.runLoop.installed.size() + fake.authorization.liveSessions(),
              0U)
        << "a handle, port, source or session left behind";
    EXPECT_EQ(fake.registry.misuse + fake.authorization.misuse, 0);
  }

  AppController& app() {
    if (controller_ == nullptr) controller_ = std::make_unique<AppController>(fake.platform);
    return *controller_;
  }

  std::uint64_t insertCard(const PropertyValue& disk = "disk2") {
    return fake.registry.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, disk}});
  }
  void pullCard() { fake.registry.terminateAll(kSxSMediaServiceName); }
  bool enabled(const char* action) { return app().validateMenuItem(FakeMenuItem(action)); }
  // The disk tool's answers: the volume is busy, or it ejects the card.
  void diskToolFails() {
    fake.processes.onRun = [](const ProcessRun&) {
      return FakeProcessRunner::exited(1, "disk2: Volume failed to eject\n");
    };
  }
  void diskToolEjects() {
    fake.processes.onRun = [this](const ProcessRun&) {
      pullCard();
      return FakeProcessRunner::exited(0);
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
