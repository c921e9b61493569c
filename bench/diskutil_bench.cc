// pomrel-diskutil's start: from posix_spawn to its first call on the bus
// (udisks2's GetManagedObjects), as a monitor on a private bus sees the call
// go by. No udisks2 answers there, so the call fails at once and the helper
// ends. The figure includes the bus daemon's forwarding to the monitor.
//
// Usage: diskutil_bench [RUNS]   (default 50)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/reaction_support.h"

namespace {

using Clock = pomrel::bench::SteadyClock;

constexpr int kWarmUpRuns = 5;

// Starts `argv` with its outputs going nowhere: what the daemon and the
// failing helper say is not the figure.
pid_t spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int r = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return r == 0 ? pid : -1;
}

// A connection that receives copies of the method calls to udisks2's object
// manager.
sd_bus* monitor(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  const bool ok = sd_bus_set_monitor(bus, 1) >= 0 &&
                  sd_bus_set_address(bus, address.c_str()) >= 0 &&
                  sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
                  sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus.Monitoring", "BecomeMonitor", &error,
                                     nullptr, "asu", 1,
                                     "type='method_call',interface='org.freedesktop.DBus."
                                     "ObjectManager'",
                                     0u) >= 0;
  if (!ok) std::fprintf(stderr, "diskutil_bench: no monitor: %s\n", error.message);
  sd_bus_error_free(&error);
  if (!ok) sd_bus_unref(bus);
  return ok ? bus : nullptr;
}

// Waits for the call to GetManagedObjects; false after 10 s without it.
bool awaitFirstCall(sd_bus* bus) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    sd_bus_message* message = nullptr;
    const int r = sd_bus_process(bus, &message);
    if (r < 0) return false;
    const bool seen =
        message != nullptr && sd_bus_message_is_method_call(message, nullptr, "GetManagedObjects");
    sd_bus_message_unref(message);
    if (seen) return true;
    if (r == 0) sd_bus_wait(bus, 100'000);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  std::string folder = (std::filesystem::temp_directory_path() / "pomrel-bus-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) return 1;
  const std::string address = "unix:path=" + folder + "/bus";
  const pid_t daemon =
      spawn({"dbus-daemon", "--session", "--address=" + address, "--nofork", "--nopidfile"});
  for (int i = 0; i < 500 && !std::filesystem::exists(folder + "/bus"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  sd_bus* bus = daemon > 0 ? monitor(address) : nullptr;
  int status = bus != nullptr ? 0 : 1;

  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  std::vector<double> micros;
  for (int run = 0; status == 0 && run < kWarmUpRuns + runs; ++run) {
    const Clock::time_point started = Clock::now();
    const pid_t helper = spawn({POMREL_DISKUTIL, "eject", "loop99"});
    const bool called = helper > 0 && awaitFirstCall(bus);
    const Clock::time_point seen = Clock::now();
    if (helper > 0) ::waitpid(helper, nullptr, 0);
    if (!called) {
      std::fprintf(stderr, "diskutil_bench: pomrel-diskutil made no call on the bus\n");
      status = 1;
    } else if (run >= kWarmUpRuns) {
      micros.push_back(std::chrono::duration<double, std::micro>(seen - started).count());
    }
  }
  if (status == 0) {
    std::printf("From the start of pomrel-diskutil to its first call on the bus:\n");
    pomrel::bench::print("pomrel-diskutil:", pomrel::bench::summarize(micros), runs);
  }
  if (bus != nullptr) sd_bus_flush_close_unref(bus);
  if (daemon > 0) {
    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
  }
  std::filesystem::remove_all(folder);
  return status;
}
