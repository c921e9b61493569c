// Many cycles of pulling the watched card, inserting it again and enabling
// it: each pull runs the disable command exactly once, and the program holds
// no more descriptors or memory at the end than after the first cycles.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/integration/end_to_end.h"

namespace pomrel::integration {
namespace {

// Off in the sanitizer build: freed memory sits in the sanitizer's
// quarantine, so the resident size says nothing about leaks there;
// LeakSanitizer checks for them at exit instead.
constexpr bool kMeasureMemory = POMREL_SOAK_MEASURE_MEMORY != 0;

// The cycles before the baseline is taken: Qt, the allocator and the
// sanitizers settle in during the first commands and alerts.
constexpr int kWarmUpCycles = 20;
constexpr long kAllowedGrowthKiB = 2048;

// The build's count (POMREL_SOAK_CYCLES), unless the environment variable of
// the same name gives another.
int cycleCount() {
  const char* value = std::getenv("POMREL_SOAK_CYCLES");
  const int count = value != nullptr ? std::atoi(value) : POMREL_SOAK_CYCLES;
  return count > kWarmUpCycles ? count : kWarmUpCycles + 1;
}

int openDescriptors() {
  int count = 0;
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    while (::readdir(folder) != nullptr) ++count;
    ::closedir(folder);
  }
  return count;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

using SoakTest = EndToEndTest;

TEST_F(SoakTest, EveryPullOfTheWatchedCardDisablesOnceWithoutGrowth) {
  const int cycles = cycleCount();
  card({"insert"});
  launch();
  ASSERT_TRUE(watchArmed());

  int descriptorsAfterWarmUp = 0;
  long residentAfterWarmUp = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    card({"pull"});
    ASSERT_TRUE(awaitAlerts(static_cast<std::size_t>(cycle))) << "no disable in cycle " << cycle;
    ASSERT_FALSE(watchArmed());
    card({"insert"});
    controller().enableMedia(nullptr);
    ASSERT_TRUE(watchArmed()) << "enable did not watch the card in cycle " << cycle;
    if (cycle == kWarmUpCycles) {
      descriptorsAfterWarmUp = openDescriptors();
      residentAfterWarmUp = residentKiB();
    }
  }
  processEventsFor(100ms);

  EXPECT_EQ(application_.starts, 2 * cycles) << "one disable per pull and one enable per cycle";
  EXPECT_EQ(answerer_.prompts, 1);
  const std::vector<std::string> keys = alertKeys();
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "MSG_RemoveSafely"), cycles);
  EXPECT_EQ(keys.size(), static_cast<std::size_t>(cycles));
  const int descriptorsAtEnd = openDescriptors();
  EXPECT_LE(descriptorsAtEnd, descriptorsAfterWarmUp);
  std::printf("%d cycles: %d open descriptors after warm-up, %d at the end\n", cycles,
              descriptorsAfterWarmUp, descriptorsAtEnd);
  if (kMeasureMemory) {
    const long growth = residentKiB() - residentAfterWarmUp;
    std::printf("resident size: %ld KiB after warm-up, grown by %ld KiB at the end\n",
                residentAfterWarmUp, growth);
    EXPECT_LT(growth, kAllowedGrowthKiB);
  }
}

}  // namespace
}  // namespace pomrel::integration
