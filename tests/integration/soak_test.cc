// Cycles of pulling the watched card, inserting it and enabling it: one
// disable per pull, and no more descriptors or memory at the end than after
// the first cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/integration/end_to_end.h"

namespace pomrel::integration {
namespace {

// The enable command's pause, ended once the card's media service is
// published (the card is in the slot at every enable here).
class MediaWaitClock final : public Clock {
 public:
  explicit MediaWaitClock(const sim::MachinePaths& paths) : store_(paths) {}
  void sleep(unsigned seconds) override {
    for (unsigned ms = 0; ms < 1000 * seconds && !store_.firstEntry(kSxSMediaServiceName); ++ms) {
      std::this_thread::sleep_for(1ms);
    }
  }
  void usleep(std::uint32_t /*microseconds*/) override {}

 private:
  sim::RegistryStore store_;
};

using SoakTest = EndToEndTest;

TEST_F(SoakTest, EveryPullOfTheWatchedCardDisablesOnceWithoutGrowth) {
  // Qt, the allocator and the sanitizers settle in during the first cycles.
  constexpr int kWarmUp = 20;
  constexpr int cycles = std::max(kWarmUp + 1, POMREL_SOAK_CYCLES);
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto residentKiB = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmRSS:")) {
    }
    return std::atol(line.c_str() + std::min<std::size_t>(6, line.size()));
  };
  MediaWaitClock clock(paths_);
  card({"insert"});
  launch(clock);
  ASSERT_TRUE(watchArmed());
  long descriptorsAfterWarmUp = 0;
  long residentAfterWarmUp = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    card({"pull"});
    ASSERT_TRUE(awaitAlerts(static_cast<std::size_t>(cycle))) << "no disable in cycle " << cycle;
    ASSERT_FALSE(watchArmed());
    card({"insert"});
    controller().enableMedia(nullptr);
    ASSERT_TRUE(watchArmed()) << "enable did not watch the card in cycle " << cycle;
    if (cycle == kWarmUp) {
      descriptorsAfterWarmUp = descriptors();
      residentAfterWarmUp = residentKiB();
    }
  }
  processEventsFor(100ms);

  EXPECT_EQ(answerer_.prompts, 1);
  EXPECT_EQ(alertKeys(), std::vector<std::string>(cycles, "MSG_RemoveSafely")) << "one per pull";
  EXPECT_LE(descriptors(), descriptorsAfterWarmUp);
  const long growth = residentKiB() - residentAfterWarmUp;
  std::printf("%d cycles: descriptors %ld after warm-up, %ld at the end; resident +%ld KiB\n",
              cycles, descriptorsAfterWarmUp, descriptors(), growth);
  // Under AddressSanitizer freed memory sits in quarantine; LeakSanitizer
  // checks for leaks at exit instead.
  if (POMREL_SOAK_MEASURE_MEMORY) {
    EXPECT_LT(growth, 2048);
  }
}

}  // namespace
}  // namespace pomrel::integration
