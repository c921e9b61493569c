// A temporary simulated machine per test, and a way to run sxs-card and the
// stand-in tools as child processes.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/process_runner.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::sim::test {

// A fresh machine root, removed with everything in it at the end.
class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pomrel-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  }
  ~TempRoot() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  const std::string& root() const { return root_; }
  MachinePaths paths() const { return MachinePaths(root_); }

 private:
  std::string root_;
};

// The bytes of the file at `path`; "" when it cannot be read.
inline std::string contentsOf(const std::string& path) {
  return posix::readFile(path, posix::kSystemFileLimit).bytes;
}

// The lines of `text`, without their ends.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The descriptors this process has open.
inline long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs `program` (argv[0] = `program`) with `args`, `input` as standard
// input and exactly the environment `env` (plus this process's sanitizer
// settings), without a shell, and collects both outputs.
inline RunResult run(const std::string& program, const std::vector<std::string>& args,
                     std::vector<std::string> env, const std::string& input = "") {
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  // In-memory files, so no output can block the child.
  const int in = ::memfd_create("in", MFD_CLOEXEC);
  const int out = ::memfd_create("out", MFD_CLOEXEC);
  const int err = ::memfd_create("err", MFD_CLOEXEC);
  RunResult result;
  pid_t pid = -1;
  int status = 0;
  if (::pwrite(in, input.data(), input.size(), 0) == static_cast<ssize_t>(input.size()) &&
      posix::spawnChild(program, argv, envp.data(), {in, out, err}, &pid) == 0 &&
      ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  }
  ::close(in);
  for (auto [fd, sink] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
    *sink = contentsOf("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
  }
  return result;
}

}  // namespace pomrel::sim::test
