// The eject's scan of the disk utility's standard error.
//
// Input: one control byte, then the standard error that every run of the
// disk utility writes. Control byte: the low four bits are the run after
// which the card's media goes away (0: it stays for good, so the bound on
// runs is reached); bits 4-5 say how each run ends: 1 the tool cannot be
// started, 2 it is killed at the timeout, otherwise it exits (status 0 or 1).
//
// Invariant, checked against a model of the loop: the eject fails, with
// exactly one "MSG_EjectFail" alert, if and only if a run could not start or
// timed out, the text up to the first NUL contains "Volume failed to eject",
// or the card was still there after kEjectAttemptLimit runs; otherwise it
// succeeds without an alert. Each run is the disk utility's eject of the
// card's disk, and nothing else is run or shown.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/app_controller.h"
#include "fuzz/fuzz_support.h"
#include "media/sxs_driver.h"
#include "tests/fakes/fakes.h"

namespace pomrel::fuzz {
namespace {

constexpr std::string_view kPhrase = "Volume failed to eject";

struct Outcome {
  bool ejected = false;
  std::size_t runs = 0;
};

// The eject as its contract describes it, for the same script.
Outcome model(unsigned leavesAfter, unsigned ending, std::string_view standardError) {
  const std::string_view text = standardError.substr(0, standardError.find('\0'));
  const bool reportsFailure =
      ::memmem(text.data(), text.size(), kPhrase.data(), kPhrase.size()) != nullptr;
  Outcome outcome;
  for (;;) {
    const bool present = leavesAfter == 0 || outcome.runs < leavesAfter;
    if (!present) {
      outcome.ejected = true;
      return outcome;
    }
    if (outcome.runs == static_cast<std::size_t>(kEjectAttemptLimit)) return outcome;
    ++outcome.runs;
    if (ending == 1 || ending == 2 || reportsFailure) return outcome;
  }
}

void runOne(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const unsigned leavesAfter = data[0] & 0x0Fu;
  const unsigned ending = (data[0] >> 4) & 0x03u;
  const std::string standardError(reinterpret_cast<const char*>(data + 1), size - 1);

  fakes::FakePlatform fake;
  fake.registry.publish(kSxSMediaServiceName, {{kSxSBSDNameKey, "disk2"}});
  fake.processes.onRun = [&](const fakes::ProcessRun&) {
    if (leavesAfter != 0 && fake.processes.runs.size() == leavesAfter) {
      fake.registry.terminateAll(kSxSMediaServiceName);
    }
    switch (ending) {
      case 1:
        return fakes::FakeProcessRunner::notLaunched();
      case 2:
        return fakes::FakeProcessRunner::timedOut(standardError);
      default:
        return fakes::FakeProcessRunner::exited(static_cast<int>(ending & 1u), standardError);
    }
  };

  const Outcome expected = model(leavesAfter, ending, standardError);
  {
    AppController controller(fake.platform);
    const bool ejected = controller.ejectDisk();
    check(ejected == expected.ejected, "ejectDisk answered against the model");
  }
  check(fake.processes.runs.size() == expected.runs,
        "the disk utility ran a different number of times");
  for (const fakes::ProcessRun& run : fake.processes.runs) {
    check(run.launchPath == kDiskUtilPath, "a tool other than the disk utility ran");
    check(run.arguments == std::vector<std::string>{"eject", "disk2"}, "the eject's arguments");
  }
  const auto& alerts = fake.application.alerts;
  if (expected.ejected) {
    check(alerts.empty(), "an alert after a successful eject");
  } else {
    check(alerts.size() == 1, "not exactly one alert after a failed eject");
    check(alerts[0].title == "MSG_Title" && alerts[0].message == "MSG_EjectFail",
          "the failed eject's alert has other texts");
  }
  check(fake.registry.outstandingHandles() == 0 && fake.registry.misuse == 0,
        "the eject misused the registry");
}

}  // namespace
}  // namespace pomrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pomrel::fuzz::runOne(data, size);
  return 0;
}
