#include "tests/linux/host_fixture.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/posix/file_reader.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host::test {
namespace {

using namespace std::chrono_literals;

// The service name the test rule gives the card.
constexpr const char* kCardService = "SxS Media";
constexpr const char* kUdisksd = "/usr/libexec/udisks2/udisksd";

// Adds or removes loop device `number`; removing one that is gone succeeds.
bool loopControl(unsigned long request, int number) {
  const posix::UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  return control.valid() && (::ioctl(control.get(), request, number) >= 0 ||
                             (request == LOOP_CTL_REMOVE && errno == ENODEV));
}

// Whether a udevd answers on its control socket.
bool udevRuns() {
  // udevadm waits for udevd's answer; a bare connection would sit in udevd's
  // backlog while it starts and crowd out the requests that follow.
  return runTool({"/bin/udevadm", "control", "--ping", "--timeout=2"}).exitStatus == 0;
}

std::string failed(const std::string& what, const ToolRun& run) {
  return what + " failed (" + std::to_string(run.exitStatus) + "): " + run.err;
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string hostTestsUnavailable() {
  if (::geteuid() != 0) return "the host tests need root (loop devices, udevd, udisksd)";
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) return "no loop devices (/dev/loop-control)";
  for (const char* program : {"/lib/systemd/systemd-udevd", "/bin/udevadm", "/usr/bin/dbus-daemon",
                              "/usr/bin/udisksctl", "/sbin/sfdisk", "/usr/bin/partx",
                              "/sbin/mkfs.ext4", "/sbin/losetup", "/usr/bin/setpriv", kUdisksd}) {
    if (::access(program, X_OK) != 0) return std::string("no ") + program + " here";
  }
  return "";
}

ToolRun runTool(std::vector<std::string> argv, const std::string& input) {
  const std::string program = argv.at(0);
  argv.erase(argv.begin());
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable)
    environment.emplace_back(*variable);
  return sim::test::run(program, argv, environment, input);
}

Child::Child(std::vector<std::string> argv, const std::string& log, const std::string& input) {
  // setpriv makes it die with this process, should a test end before stopping it.
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig=TERM", "--"});
  std::vector<char*> args(argv.size() + 1);  // null-terminated
  for (std::size_t i = 0; i < argv.size(); ++i) args[i] = argv[i].data();
  const posix::UniqueFd in(
      ::open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY | O_CLOEXEC));
  const posix::UniqueFd out(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!in.valid() || !out.valid() ||
      posix::spawnChild(argv[0], args, environ, {in.get(), out.get(), out.get()}, &pid_) != 0)
    pid_ = -1;
}

Child::~Child() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  if (!posix::waitForChild(pid_, posix::openPidfd(pid_), 5s, &status)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

HostMachine::~HostMachine() {
  for (auto [number, card] : std::map(cards_)) {
    if (mounted(card.mountPoint)) ::umount2(card.mountPoint.c_str(), MNT_DETACH);
    pull(card);
  }
  udisksd_.reset();
  bus_.reset();
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (previousBusAddress_) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousBusAddress_->c_str(), 1);
  if (!rule_.empty()) {
    ::unlink(rule_.c_str());
    runTool({"/bin/udevadm", "control", "--reload"});
  }
  if (udevd_) runTool({"/bin/udevadm", "settle", "--timeout=10"});
  udevd_.reset();
}

std::string HostMachine::logs() const { return sim::test::contentsOf(folder_ + "/daemons.log"); }

std::string HostMachine::start(Card& card) {
  std::string failure = startUdev();
  if (failure.empty()) failure = startUdisks();
  return failure.empty() ? attach(card) : failure;
}

std::string HostMachine::startUdev() {
  if (folder_.empty()) return "no temporary folder";
  if (!udevRuns()) {
    udevd_.emplace(std::vector<std::string>{"/lib/systemd/systemd-udevd"},
                   folder_ + "/daemons.log");
    if (!waitUntil(udevRuns, 10s)) return "systemd-udevd did not start\n" + logs();
  }
  // The card is the loop device whose backing file is this test's image.
  ::mkdir("/run/udev/rules.d", 0755);
  rule_ = "/run/udev/rules.d/99-pomrel-test-" + std::to_string(::getpid()) + ".rules";
  std::ofstream(rule_) << "SUBSYSTEM==\"block\", KERNEL==\"loop*\", ATTRS{loop/backing_file}==\""
                       << folder_ << "/card.img\", ENV{POMREL_SERVICE}=\"" << kCardService
                       << "\"\n";
  const ToolRun reload = runTool({"/bin/udevadm", "control", "--reload"});
  return reload.exitStatus == 0 ? "" : failed("udevadm control --reload", reload);
}

std::string HostMachine::startUdisks() {
  // A system bus that lets everyone own and call anything, in the folder.
  const std::string socket = folder_ + "/bus.sock";
  std::ofstream(folder_ + "/bus.conf")
      << "<busconfig><type>system</type><listen>unix:path=" << socket
      << "</listen><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
  bus_.emplace(
      std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + folder_ + "/bus.conf",
                               "--nofork", "--nopidfile"},
      folder_ + "/daemons.log");
  if (!waitUntil([&] { return ::access(socket.c_str(), F_OK) == 0; }, 10s)) {
    return "the private system bus did not start\n" + logs();
  }
  if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previousBusAddress_ = previous;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
  udisksd_.emplace(std::vector<std::string>{kUdisksd}, folder_ + "/daemons.log");
  const auto answers = [] { return runTool({"/usr/bin/udisksctl", "status"}).exitStatus == 0; };
  return waitUntil(answers, 15s) ? "" : "udisksd did not come up\n" + logs();
}

std::string HostMachine::attach(Card& card) {
  const std::string image = folder_ + "/card.img";
  std::ofstream(image).close();
  if (::truncate(image.c_str(), 64 << 20) != 0) return "cannot make " + image;
  if (const ToolRun run = runTool({"/sbin/sfdisk", "-q", image}, "label: dos\n,32M,83\n,,83\n");
      run.exitStatus != 0) {
    return failed("sfdisk", run);
  }
  // A loop device of its own, so that removing it takes nobody else's.
  for (int number = 200; number < 1000 && card.number < 0; ++number) {
    if (loopControl(LOOP_CTL_ADD, number)) card.number = number;
  }
  if (card.number < 0) return "no loop device number free";
  card.name = "loop" + std::to_string(card.number);
  card.device = "/dev/" + card.name;
  cards_[card.number] = card;
  if (!waitUntil([&] { return ::access(card.device.c_str(), F_OK) == 0; }, 5s)) {
    return card.device + " did not appear";
  }
  for (const std::vector<std::string>& step :
       {std::vector<std::string>{"/sbin/losetup", card.device, image},
        // This kernel reads no partition tables by itself.
        std::vector<std::string>{"/usr/bin/partx", "-a", card.device},
        std::vector<std::string>{"/sbin/mkfs.ext4", "-q", "-L", "CARD", card.device + "p1"},
        // udev notices a new filesystem through an inotify watch that a
        // udevd stopped before may have left unusable: ask it to look.
        std::vector<std::string>{"/bin/udevadm", "trigger", "--action=change", "--settle",
                                 card.device + "p1"}}) {
    if (const ToolRun run = runTool(step); run.exitStatus != 0) return failed(step.at(0), run);
  }
  return "";
}

std::string HostMachine::mount(Card& card) {
  ToolRun run;
  const auto mountedNow = [&] {
    run =
        runTool({"/usr/bin/udisksctl", "mount", "--no-user-interaction", "-b", card.device + "p1"});
    // "Mounted /dev/loop200p1 at /media/root/CARD"
    const std::size_t at = run.out.rfind(" at ");
    if (run.exitStatus != 0 || at == std::string::npos) return false;
    card.mountPoint = run.out.substr(at + 4, run.out.find('\n', at) - at - 4);
    return true;
  };
  // udisksd sees the new partition a moment after udev does.
  if (!waitUntil(mountedNow, 10s)) return failed("udisksctl mount", run);
  cards_[card.number] = card;
  return "";
}

std::string HostMachine::pull(Card& card) {
  // A card that an eject detached already still needs its number removed,
  // or every run leaves a loop device and udev's record of it behind.
  if (const ToolRun run = runTool({"/sbin/losetup", "-d", card.device});
      run.exitStatus != 0 && attached(card)) {
    return failed("losetup -d", run);
  }
  // The detach completes in the kernel a moment after losetup returns.
  if (!waitUntil([&] { return loopControl(LOOP_CTL_REMOVE, card.number); }, 5s)) {
    return "LOOP_CTL_REMOVE " + card.device + ": " + std::strerror(errno);
  }
  cards_.erase(card.number);
  return "";
}

bool HostMachine::attached(const Card& card) {
  return posix::readFile("/sys/block/" + card.name + "/loop/backing_file", 4096).ok();
}

bool HostMachine::mounted(const std::string& path) {
  const posix::FileRead table = posix::readFile("/proc/self/mountinfo", posix::kSystemFileLimit);
  return !path.empty() && table.bytes.find(" " + path + " ") != std::string::npos;
}

}  // namespace pomrel::host::test
