// A temporary machine root with the test tool and a few system tools linked
// into it, and checks on this process's children and descriptors.
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
    for (const char* use : {"echo-args", "spew", "list-fds", "record"}) {
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

// Splits NUL-terminated entries.
inline std::vector<std::string> splitEntries(const std::string& bytes) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  for (auto end = bytes.find('\0'); end != std::string::npos; end = bytes.find('\0', start)) {
    out.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// True when a child of this process has exited and not been reaped.
inline bool hasUnreapedChild() {
  siginfo_t info{};
  if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid != 0;
}

// Blocks until some child of this process has exited, without reaping it.
inline void waitForAnExitedChild() {
  siginfo_t info{};
  waitid(P_ALL, 0, &info, WEXITED | WNOWAIT);
}

inline std::size_t openDescriptorCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace pomrel::sim::authtest
