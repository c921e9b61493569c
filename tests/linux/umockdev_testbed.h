// A umockdev testbed for each test, standing in for sysfs and the udev
// database; the test is skipped outside umockdev's preload library.
#pragma once

#include <umockdev.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace pomrel::host {

class UmockdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr) {
      GTEST_SKIP() << "needs umockdev's preload library: run through ctest or umockdev-wrapper";
    }
    testbed_ = umockdev_testbed_new();
    g_autofree gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
  }
  void TearDown() override {
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }

  // Adds devices as umockdev records them, each one's lines separated by ';'.
  void addDevices(const std::vector<std::string>& devices) {
    std::string description;
    for (const std::string& device : devices) description += device + "\n\n";
    std::replace(description.begin(), description.end(), ';', '\n');
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, description.c_str(), nullptr));
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;  // the testbed's sysfs is its "/sys"
};

}  // namespace pomrel::host
