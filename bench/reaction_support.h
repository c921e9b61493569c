// What the reaction benchmarks share: an application that notes when the
// disable command starts, a poll() run loop, and the figures' summary.
#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/run_loop.h"

namespace pomrel::bench {

using SteadyClock = std::chrono::steady_clock;

// Notes the moment of the first activation after each arming of the watch,
// and counts the alerts that tell the user the card can be removed.
class StopwatchApplication final : public Application {
 public:
  void activateIgnoringOtherApps(bool /*ignoreOtherApps*/) override {
    if (!started) started = SteadyClock::now();
  }
  void runAlertPanel(const std::string& /*title*/, const std::string& message) override {
    if (message == "MSG_RemoveSafely") ++removeSafelyAlerts;
  }

  std::optional<SteadyClock::time_point> started;
  int removeSafelyAlerts = 0;
};

// A run loop that waits with poll() on the descriptors of its sources and
// performs those that are readable.
class PollRunLoop final : public RunLoop {
 public:
  void addSource(RunLoopSource* source, RunLoopMode /*mode*/) override {
    if (std::find(sources_.begin(), sources_.end(), source) == sources_.end()) {
      sources_.push_back(source);
    }
  }
  void removeSource(RunLoopSource* source, RunLoopMode /*mode*/) override {
    std::erase(sources_, source);
  }

  // Waits until a source is readable and performs every readable one.
  void runOnce() {
    const std::vector<RunLoopSource*> waiting = sources_;
    std::vector<pollfd> fds;
    for (RunLoopSource* source : waiting) fds.push_back({source->descriptor(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) <= 0) return;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      // A perform may have removed (and destroyed) a later source.
      const bool installed =
          std::find(sources_.begin(), sources_.end(), waiting[i]) != sources_.end();
      if (installed && (fds[i].revents & POLLIN) != 0) waiting[i]->perform();
    }
  }

 private:
  std::vector<RunLoopSource*> sources_;
};

struct Figures {
  double median = 0;
  double p99 = 0;
  double min = 0;
  double max = 0;
};

inline Figures summarize(std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  const std::size_t n = micros.size();
  const auto rank = [&](double q) {
    return micros[std::min(n - 1, static_cast<std::size_t>(q * static_cast<double>(n)))];
  };
  return {n % 2 == 1 ? micros[n / 2] : (micros[n / 2 - 1] + micros[n / 2]) / 2, rank(0.99),
          micros.front(), micros.back()};
}

inline void print(const char* loop, const Figures& f, int pulls) {
  std::printf("%-28s median %7.1f us   p99 %7.1f us   min %7.1f us   max %7.1f us   (%d runs)\n",
              loop, f.median, f.p99, f.min, f.max, pulls);
}

}  // namespace pomrel::bench
