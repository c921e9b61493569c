// pomrel-driverctl: stops and starts the card reader as root, for the Pomrel
// that started it through pkexec: the readers udev marks (reader_control.h),
// or, when the build names a kernel module (POMREL_DRIVER_MODULE), that
// module. Nothing it does comes from its caller but the choice between
// "load" and "unload": the readers are udev's, the module is the one it was
// built for, its environment is fixed, it takes no argument and keeps no
// descriptor but the standard three.
//
// A build with POMREL_DRIVERCTL_STANDIN_TOOL defined (tests only; never
// installed) runs that program, fixed at compile time, with the arguments
// "load" or "unload" and the module's name in place of touching the kernel,
// whose result is its exit status.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/driverctl/driver_module.h"
#include "platform/linux/driverctl/helper_start.h"
#include "platform/linux/driverctl/kernel_module.h"
#include "platform/linux/driverctl/reader_control.h"
#include "platform/linux/driverctl/request_server.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host {
namespace {

constexpr const char* kFixedSearchPath = "/usr/sbin:/usr/bin:/sbin:/bin";

// The real user id of process `pid`, from the first field of "Uid:" in its
// status.
std::optional<uid_t> realUidOf(pid_t pid) {
  const posix::FileRead status =
      posix::readFile("/proc/" + std::to_string(pid) + "/status", posix::kSystemFileLimit);
  if (!status.ok()) return std::nullopt;
  const std::string_view text = status.bytes;
  const std::size_t line = text.find("\nUid:\t");
  if (line == std::string_view::npos) return std::nullopt;
  const std::string_view fields = text.substr(line + 6);
  return parseUid(fields.substr(0, fields.find_first_of("\t\n")));
}

int closeRange(unsigned first, unsigned last, int flags) {
  return ::close_range(first, last, flags);
}

// Standard input, output and error exist (a closed one would let a later
// open take its number) and nothing else is open.
bool onlyStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd) return false;
  }
  return closeDescriptorsFrom(STDERR_FILENO + 1, closeRange);
}

#ifdef POMREL_DRIVERCTL_STANDIN_TOOL
std::string runStandIn(Request request) {
  std::string tool = POMREL_DRIVERCTL_STANDIN_TOOL;
  std::string verb = request == Request::kLoad ? kLoadRequest : kUnloadRequest;
  std::string module = kDriverModule;
  const std::vector<char*> argv = {tool.data(), verb.data(), module.data(), nullptr};
  pid_t pid = 0;
  const int error = posix::spawnChild(
      tool, argv, environ, {posix::kNullDescriptor, posix::kNullDescriptor, posix::kNullDescriptor},
      &pid);
  if (error != 0) return "cannot run the stand-in module tool";
  int status = -1;
  posix::waitForChild(pid, posix::openPidfd(pid), std::chrono::hours(1), &status);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return "the stand-in module tool failed";
}
#endif

std::string act(Request request) {
#ifdef POMREL_DRIVERCTL_STANDIN_TOOL
  return runStandIn(request);
#else
  const bool load = request == Request::kLoad;
  if (*kDriverModule == '\0') return load ? bindReaders() : unbindReaders();
  return load ? loadKernelModule(kDriverModule) : unloadKernelModule(kDriverModule);
#endif
}

int run(int argc) {
  if (!onlyStandardDescriptors()) return kExitBroken;
  // Taken before the environment goes; nothing else of it is used.
  const char* pkexecUid = std::getenv("PKEXEC_UID");
  const std::optional<std::string> caller =
      pkexecUid != nullptr ? std::optional<std::string>(pkexecUid) : std::nullopt;
  if (::clearenv() != 0 || ::setenv("PATH", kFixedSearchPath, 1) != 0) return kExitBroken;
  ::umask(022);
  // An answer to a caller that has gone must end in an error, not a signal;
  // and a key pressed in the terminal Pomrel was started from must not stop
  // a module action half done (the helper ends when its input does).
  for (const int ignored : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP}) ::signal(ignored, SIG_IGN);

  if (argc != 1) {
    std::fputs("pomrel-driverctl: takes no arguments\n", stderr);
    return kExitRefused;
  }
  // pkexec runs us in place of itself, so our parent is the program that
  // ran pkexec, and PKEXEC_UID names the user it ran as: we serve that
  // user's Pomrel and nobody else.
  if (!servesCaller(::getuid(), ::geteuid(), caller ? caller->c_str() : nullptr,
                    realUidOf(::getppid()))) {
    std::fputs("pomrel-driverctl: serves only the user whose Pomrel started it through pkexec\n",
               stderr);
    return kExitRefused;
  }
  return serveRequests(STDIN_FILENO, STDOUT_FILENO, act, kHelperIdleBound, kRequestLineBound);
}

}  // namespace
}  // namespace pomrel::host

int main(int argc, char** /*argv*/) { return pomrel::host::run(argc); }
