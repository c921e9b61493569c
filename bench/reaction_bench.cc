// Reaction to a pulled card: the time from the removal of the card media
// service's registry file to the start of the disable command (its first
// step, bringing the application forward), over many pulls.
//
// The watch is the program's own: a real controller arms it on the
// simulated registry (SimRegistry, inotify), and the main thread sleeps in
// the run loop until the removal wakes it. Another thread removes the file,
// so the figure includes the wake-up of the blocked loop, as when sxs-card or
// the driver removes it. Two run loops are measured: one that waits with
// poll() on the installed sources' descriptors and performs the readable
// ones, and the program's QtRunLoop under QCoreApplication. The rest of the
// platform (tools, authorization, alerts) is the test fakes', so that each
// disable completes at once.
//
// Usage: reaction_bench [PULLS]   (default 200)
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_controller.h"
#include "bench/reaction_support.h"
#include "media/sxs_driver.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_registry.h"
#include "simulator/machine.h"
#include "simulator/registry_store.h"
#include "tests/fakes/fakes.h"

namespace pomrel {
namespace {

using bench::PollRunLoop;
using bench::StopwatchApplication;
using Clock = bench::SteadyClock;

constexpr int kWarmUpPulls = 10;

// Arms the watch on a freshly published media service, removes its file from
// another thread and lets `runUntilStarted` drive the loop until the disable
// command has started; returns the microseconds in between, for each pull.
std::vector<double> measure(const sim::MachinePaths& paths, RunLoop& runLoop,
                            const std::function<void(StopwatchApplication&)>& runUntilStarted,
                            int pulls) {
  fakes::FakePlatform fakes;
  fakes.fileManager.paths.insert(kSxSPluginPath);
  StopwatchApplication application;
  sim::SimRegistry registry(paths);
  sim::RegistryStore store(paths);
  Platform platform{application,       fakes.bundle,       fakes.statusBar,     registry,
                    runLoop,           fakes.processes,    fakes.authorization, fakes.fileManager,
                    fakes.processInfo, fakes.userDefaults, fakes.clock};
  AppController controller(platform);

  std::vector<double> micros;
  for (int pull = 0; pull < kWarmUpPulls + pulls; ++pull) {
    const std::optional<sim::EntryId> media =
        store.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, "disk2"}});
    application.started.reset();
    if (!media || !controller.registerServiceNotification()) {
      std::fprintf(stderr, "reaction_bench: cannot arm the watch on %s\n", paths.root().c_str());
      std::exit(1);
    }
    const std::string file = store.entryPath(kSxSMediaServiceName, *media);
    Clock::time_point removed;
    std::thread remover([&] {
      // Long enough for the main thread to be asleep in its loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      removed = Clock::now();
      ::unlink(file.c_str());
    });
    runUntilStarted(application);
    remover.join();
    // Set by then: runUntilStarted returns once the command has started.
    if (pull >= kWarmUpPulls && application.started.has_value()) {
      const auto taken = *application.started - removed;
      micros.push_back(std::chrono::duration<double, std::micro>(taken).count());
    }
  }
  if (application.removeSafelyAlerts != kWarmUpPulls + pulls ||
      static_cast<int>(fakes.authorization.runs.size()) != kWarmUpPulls + pulls) {
    std::fprintf(stderr, "reaction_bench: the disable commands did not all run through\n");
    std::exit(1);
  }
  return micros;
}

}  // namespace
}  // namespace pomrel

int main(int argc, char** argv) {
  using namespace pomrel;
  const int pulls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  QCoreApplication qtApplication(argc, argv);

  std::string root = (std::filesystem::temp_directory_path() / "pomrel-reaction-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) return 1;
  const sim::MachinePaths paths(root);
  // The machine state holds the entry ID counter.
  if (auto machine = sim::Machine::openForInit(paths, nullptr)) machine->save(nullptr);

  std::printf(
      "From the removal of the card media service's registry file to the start of "
      "disableMedia:\n");
  PollRunLoop pollLoop;
  const auto pollFigures = measure(
      paths, pollLoop,
      [&](StopwatchApplication& app) {
        while (!app.started) pollLoop.runOnce();
      },
      pulls);
  bench::print("poll() run loop:", bench::summarize(pollFigures), pulls);

  qt::QtRunLoop qtLoop;
  const auto qtFigures = measure(
      paths, qtLoop,
      [](StopwatchApplication& app) {
        while (!app.started) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      },
      pulls);
  bench::print("QtRunLoop (QCoreApplication):", bench::summarize(qtFigures), pulls);

  std::filesystem::remove_all(root);
  return 0;
}
