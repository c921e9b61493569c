// The host backend's card lookup and reaction, over udev as umockdev fakes it
// (the program starts itself again under umockdev's preload library when it
// is not under it):
// - the card lookup and one menu validation of both media items, with 1 and
//   1,000 unrelated block disks beside the card: their cost must not grow
//   with the unrelated disks;
// - from the udev "remove" of the watched card reaching the watch's monitor
//   to the start of the disable command (its first step, bringing the
//   application forward), over many pulls, with a poll() run loop and the
//   program's QtRunLoop. umockdev hands an event to the monitors' sockets
//   before it returns; the clock starts just before it is asked to.
// The rest of the platform is the test fakes', so each disable completes at
// once.
//
// Usage: host_bench [--pulls N] [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <umockdev.h>
#include <unistd.h>

#include <QCoreApplication>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app_controller.h"
#include "bench/reaction_support.h"
#include "media/sxs_driver.h"
#include "platform/linux/registry.h"
#include "platform/qt/qt_run_loop.h"
#include "tests/fakes/fakes.h"

namespace pomrel {
namespace {

using bench::PollRunLoop;
using bench::StopwatchApplication;
using Clock = bench::SteadyClock;

constexpr const char* kCard = "/sys/devices/sdz";
constexpr int kWarmUpPulls = 10;

// A testbed with the card and `unrelated` other whole disks, and a controller
// whose registry is the udev one over it.
class Host {
 public:
  Host(int unrelated, RunLoop& runLoop) : testbed_(umockdev_testbed_new()) {
    for (int i = 0; i < unrelated; ++i) {
      const std::string name = "sd" + std::to_string(i);
      g_free(umockdev_testbed_add_device(testbed_, "block", name.c_str(), nullptr, "size", "2048",
                                         nullptr, "DEVTYPE", "disk", "USEC_INITIALIZED", "50",
                                         nullptr));
    }
    g_free(umockdev_testbed_add_device(testbed_, "block", "sdz", nullptr, "size", "2048", nullptr,
                                       "DEVTYPE", "disk", "USEC_INITIALIZED", "100",
                                       "POMREL_SERVICE", kSxSMediaServiceName, nullptr));
    fakes_.fileManager.paths.insert(kSxSPluginPath);
    registry_ = std::make_unique<host::LinuxRegistry>();
    platform_ = std::make_unique<Platform>(
        Platform{application, fakes_.bundle, fakes_.statusBar, *registry_, runLoop,
                 fakes_.processes, fakes_.authorization, fakes_.fileManager, fakes_.processInfo,
                 fakes_.userDefaults, fakes_.clock});
    controller_ = std::make_unique<AppController>(*platform_);
  }
  ~Host() {
    controller_.reset();
    registry_.reset();
    g_object_unref(testbed_);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  AppController& controller() { return *controller_; }
  void event(const char* action) { umockdev_testbed_uevent(testbed_, kCard, action); }
  [[nodiscard]] std::size_t disables() const { return fakes_.authorization.runs.size(); }

  StopwatchApplication application;

 private:
  UMockdevTestbed* testbed_;
  fakes::FakePlatform fakes_;
  std::unique_ptr<host::LinuxRegistry> registry_;
  std::unique_ptr<Platform> platform_;
  std::unique_ptr<AppController> controller_;
};

void BM_HostGetSxSDisk(benchmark::State& state) {
  fakes::FakeRunLoop runLoop;
  Host host(static_cast<int>(state.range(0)), runLoop);
  std::array<char, kBSDNameBufferSize> name{};
  while (state.KeepRunning()) {
    if (!host.controller().getSxSDisk(name.data())) state.SkipWithError("the card was not found");
    benchmark::DoNotOptimize(name);
  }
}
BENCHMARK(BM_HostGetSxSDisk)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_HostValidateBothMediaItems(benchmark::State& state) {
  fakes::FakeRunLoop runLoop;
  Host host(static_cast<int>(state.range(0)), runLoop);
  fakes::FakeMenuItem disable("disableMedia:");
  fakes::FakeMenuItem enable("enableMedia:");
  while (state.KeepRunning()) {
    const bool disableEnabled = host.controller().validateMenuItem(disable);
    const bool enableEnabled = host.controller().validateMenuItem(enable);
    if (!disableEnabled || enableEnabled) state.SkipWithError("wrong enabled states");
  }
}
BENCHMARK(BM_HostValidateBothMediaItems)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Arms the watch on the card, sends its removal from another thread and lets
// `runUntilStarted` drive the loop until the disable command has started;
// then brings the card back. Returns the microseconds per pull.
std::vector<double> measure(RunLoop& runLoop,
                            const std::function<void(StopwatchApplication&)>& runUntilStarted,
                            int pulls) {
  Host host(1, runLoop);
  std::vector<double> micros;
  for (int pull = 0; pull < kWarmUpPulls + pulls; ++pull) {
    host.application.started.reset();
    if (!host.controller().registerServiceNotification()) {
      std::fprintf(stderr, "host_bench: cannot arm the watch\n");
      std::exit(1);
    }
    Clock::time_point removed;
    std::thread remover([&] {
      // Long enough for the main thread to be asleep in its loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      removed = Clock::now();
      host.event("remove");
    });
    runUntilStarted(host.application);
    remover.join();
    host.event("add");
    // Set by then: runUntilStarted returns once the command has started.
    if (pull >= kWarmUpPulls && host.application.started.has_value()) {
      const auto taken = *host.application.started - removed;
      micros.push_back(std::chrono::duration<double, std::micro>(taken).count());
    }
  }
  if (host.application.removeSafelyAlerts != kWarmUpPulls + pulls ||
      static_cast<int>(host.disables()) != kWarmUpPulls + pulls) {
    std::fprintf(stderr, "host_bench: the disable commands did not all run through\n");
    std::exit(1);
  }
  return micros;
}

void measureReaction(int pulls) {
  std::printf("From the udev remove of the watched card to the start of disableMedia:\n");
  PollRunLoop pollLoop;
  const auto pollFigures = measure(
      pollLoop,
      [&](StopwatchApplication& app) {
        while (!app.started) pollLoop.runOnce();
      },
      pulls);
  bench::print("poll() run loop:", bench::summarize(pollFigures), pulls);

  qt::QtRunLoop qtLoop;
  const auto qtFigures = measure(
      qtLoop,
      [](StopwatchApplication& app) {
        while (!app.started) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      },
      pulls);
  bench::print("QtRunLoop (QCoreApplication):", bench::summarize(qtFigures), pulls);
}

}  // namespace
}  // namespace pomrel

int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr) {
    std::string libraries = "libumockdev-preload.so.0";
    if (preload != nullptr && preload[0] != '\0') libraries += std::string(":") + preload;
    ::setenv("LD_PRELOAD", libraries.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::perror("host_bench: cannot start again under umockdev");
    return 1;
  }
  int pulls = 200;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pulls") == 0 && i + 1 < argc) {
      pulls = std::max(1, std::atoi(argv[++i]));
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  QCoreApplication qtApplication(count, arguments.data());
  benchmark::Initialize(&count, arguments.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  pomrel::measureReaction(pulls);
  return 0;
}
