// The card lookup and one menu validation of both media items, against the
// simulated registry with few and with many unrelated services published.
// Their cost must not grow with the unrelated services: a lookup reads only
// the folder of the name it asks for.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "app/app_controller.h"
#include "media/sxs_driver.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_registry.h"
#include "simulator/machine.h"
#include "simulator/registry_store.h"
#include "tests/fakes/fakes.h"

namespace pomrel {
namespace {

// A machine root holding the card's media service and `unrelated` services
// of other names, with a controller whose registry is the simulated one.
class Machine {
 public:
  explicit Machine(int unrelated) {
    std::string root = (std::filesystem::temp_directory_path() / "pomrel-bench-XXXXXX").string();
    root_ = mkdtemp(root.data());
    paths_ = std::make_unique<sim::MachinePaths>(root_);
    // A machine state must exist: it holds the entry ID counter.
    if (auto state = sim::Machine::openForInit(*paths_, nullptr)) state->save(nullptr);
    sim::RegistryStore store(*paths_);
    for (int i = 0; i < unrelated; ++i) {
      store.publish("Unrelated Service " + std::to_string(i),
                    {{"Index", PropertyValue(PropertyInteger::fromSigned(i))}});
    }
    store.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, "disk2"}});
    registry_ = std::make_unique<sim::SimRegistry>(*paths_);
    platform_ = std::make_unique<Platform>(
        Platform{fakes_.application, fakes_.bundle, fakes_.statusBar, *registry_, fakes_.runLoop,
                 fakes_.processes, fakes_.authorization, fakes_.fileManager, fakes_.processInfo,
                 fakes_.userDefaults, fakes_.clock});
    controller_ = std::make_unique<AppController>(*platform_);
  }
  ~Machine() {
    controller_.reset();
    registry_.reset();
    std::filesystem::remove_all(root_);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  AppController& controller() { return *controller_; }

 private:
  std::string root_;
  std::unique_ptr<sim::MachinePaths> paths_;
  fakes::FakePlatform fakes_;
  std::unique_ptr<sim::SimRegistry> registry_;
  std::unique_ptr<Platform> platform_;
  std::unique_ptr<AppController> controller_;
};

void BM_GetSxSDisk(benchmark::State& state) {
  Machine machine(static_cast<int>(state.range(0)));
  std::array<char, kBSDNameBufferSize> name{};
  for (auto _ : state) {
    const bool found = machine.controller().getSxSDisk(name.data());
    if (!found) state.SkipWithError("the card was not found");
    benchmark::DoNotOptimize(name);
  }
}
BENCHMARK(BM_GetSxSDisk)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_ValidateBothMediaItems(benchmark::State& state) {
  Machine machine(static_cast<int>(state.range(0)));
  fakes::FakeMenuItem disable("disableMedia:");
  fakes::FakeMenuItem enable("enableMedia:");
  for (auto _ : state) {
    const bool disableEnabled = machine.controller().validateMenuItem(disable);
    const bool enableEnabled = machine.controller().validateMenuItem(enable);
    if (!disableEnabled || enableEnabled) state.SkipWithError("wrong enabled states");
  }
}
BENCHMARK(BM_ValidateBothMediaItems)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace pomrel

BENCHMARK_MAIN();
