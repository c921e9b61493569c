// A temporary machine root with the test tool and /bin/sleep linked into it,
// and checks on this process's children and descriptors.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace pomrel::sim::authtest {

class TempMachine {
 public:
  TempMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pomrel-auth-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
    std::filesystem::create_directories(root_ + "/bin");
    for (const char* use : {"echo-args", "spew", "record"}) {
      std::filesystem::create_symlink(POMREL_AUTH_TEST_TOOL, root_ + "/bin/" + use);
    }
    std::filesystem::create_symlink("/bin/sleep", root_ + "/bin/sleep");
  }
  ~TempMachine() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The NUL-terminated entries of `bytes`.
inline std::vector<std::string> splitEntries(const std::string& bytes) {
  std::vector<std::string> out;
  for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos;
       start = end + 1) {
    out.push_back(bytes.substr(start, end - start));
  }
  return out;
}

// True when a child of this process has exited and not been reaped.
inline bool hasUnreapedChild() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// Blocks until some child of this process has exited, without reaping it.
inline void waitForAnExitedChild() {
  siginfo_t info{};
  waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
}

inline std::size_t openDescriptorCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

}  // namespace pomrel::sim::authtest
