// Starts a tray program and measures, from outside it, what a person notices:
// the time from its start until its status icon is viewable on the X display,
// its resident memory once started, and the wakeups it makes while idle
// (voluntary context switches of all its threads: a toolkit's helper threads
// wake up as much as its main thread does). Prints one line of figures.
//
//   tray_probe --class NAME [--idle SECONDS] [--settle MS] -- PROGRAM [ARGS...]
//
// NAME is matched, case-insensitively, against either part of WM_CLASS.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/file_reader.h"

namespace {

bool classMatches(Display* display, Window window, const char* name) {
  XClassHint hint{};
  if (XGetClassHint(display, window, &hint) == 0) return false;
  const bool match = (hint.res_name != nullptr && strcasecmp(hint.res_name, name) == 0) ||
                     (hint.res_class != nullptr && strcasecmp(hint.res_class, name) == 0);
  XFree(hint.res_name);
  XFree(hint.res_class);
  return match;
}

// Whether a viewable window of the class exists anywhere below `window`.
bool findViewable(Display* display, Window window, const char* name) {  // NOLINT(misc-no-recursion)
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(display, window, &attributes) != 0 &&
      attributes.map_state == IsViewable && classMatches(display, window, name)) {
    return true;
  }
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return false;
  bool found = false;
  for (unsigned int i = 0; i < count && !found; ++i)
    found = findViewable(display, children[i], name);
  if (children != nullptr) XFree(children);
  return found;
}

std::istringstream statusOf(const std::string& path) {
  return std::istringstream(pomrel::posix::readFile(path, pomrel::posix::kSystemFileLimit).bytes);
}

long statusField(pid_t pid, const std::string& field) {
  std::istringstream in = statusOf("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

// Voluntary context switches per thread (by thread ID) of a process.
std::map<long, long> voluntarySwitches(pid_t pid) {
  std::map<long, long> counts;
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::istringstream in = statusOf(task.path() / "status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        counts[std::strtol(task.path().filename().c_str(), nullptr, 10)] =
            std::strtol(line.c_str() + std::strlen("voluntary_ctxt_switches:"), nullptr, 10);
      }
    }
  }
  return counts;
}

// The voluntary context switches that all threads of a process make over
// `seconds`. The kernel keeps the count per thread and drops it when the
// thread exits, so the threads are sampled every 100 ms (the samples are
// read from outside and do not wake the process): a thread counts from its
// first sample in the window (or from zero if it started within it) to its
// last.
long wakeupsOver(pid_t pid, int seconds) {
  const std::map<long, long> before = voluntarySwitches(pid);
  std::map<long, long> last = before;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& [thread, count] : voluntarySwitches(pid)) last[thread] = count;
  }
  long total = 0;
  for (const auto& [thread, count] : last) {
    const auto first = before.find(thread);
    total += count - (first == before.end() ? 0 : first->second);
  }
  return total;
}

int ignoreErrors(Display* /*display*/, XErrorEvent* /*event*/) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  const char* name = nullptr;
  int idleSeconds = 0;
  int settleMs = 1000;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--class" && i + 1 < argc)
      name = argv[++i];
    else if (arg == "--idle" && i + 1 < argc)
      idleSeconds = std::atoi(argv[++i]);
    else if (arg == "--settle" && i + 1 < argc)
      settleMs = std::atoi(argv[++i]);
    else if (arg == "--") {
      ++i;
      break;
    } else
      break;
  }
  if (name == nullptr || i >= argc) {
    std::fprintf(stderr,
                 "usage: tray_probe --class NAME [--idle S] [--settle MS] -- PROGRAM [ARGS...]\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "tray_probe: cannot open the X display\n");
    return 1;
  }
  XSetErrorHandler(ignoreErrors);  // windows may vanish while the tree is walked

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[i], nullptr, nullptr, &argv[i], environ) != 0) {
    std::fprintf(stderr, "tray_probe: cannot start %s\n", argv[i]);
    return 1;
  }
  const auto deadline = start + std::chrono::seconds(20);
  bool shown = false;
  while (!shown && std::chrono::steady_clock::now() < deadline) {
    shown = findViewable(display, DefaultRootWindow(display), name);
    if (!shown) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const double startMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  XCloseDisplay(display);

  std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
  const long rssKb = statusField(pid, "VmRSS");
  long wakeups = -1;
  if (idleSeconds > 0) {
    wakeups = wakeupsOver(pid, idleSeconds);
  }
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!shown) {
    std::fprintf(stderr, "tray_probe: no viewable window of class %s within 20 s\n", name);
    return 1;
  }
  std::printf("start_ms=%.1f rss_kb=%ld idle_wakeups=%ld\n", startMs, rssKb, wakeups);
  return 0;
}
