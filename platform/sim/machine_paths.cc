#include "platform/sim/machine_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace pomrel::sim {

namespace {

// The account database is asked first because USER may be missing or stale
// (for example under sudo or in a service); the variable is the fallback.
std::string loginName() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0') {
    return found->pw_name;
  }
  const char* user = std::getenv("USER");
  return user != nullptr && user[0] != '\0' ? user : "user";
}

}  // namespace

MachinePaths::MachinePaths(std::string root) : root_(std::move(root)) {
  // The tools run with another working folder than the one who named the
  // root, so a relative root is pinned to the current folder now.
  if (root_.empty() || root_.front() != '/') {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr && errno == ERANGE)
      cwd.resize(cwd.size() * 2);
    if (cwd[0] == '/') root_ = std::string(cwd.data()) + (root_.empty() ? "" : "/" + root_);
  }
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::optional<MachinePaths> MachinePaths::fromEnvironment() {
  const char* root = std::getenv("POMREL_MACHINE");
  if (root == nullptr || root[0] == '\0') return std::nullopt;
  return MachinePaths(root);
}

std::string MachinePaths::resolve(const std::string& absolutePath) const {
  if (!absolutePath.empty() && absolutePath.front() == '/') return root_ + absolutePath;
  return root_ + "/" + absolutePath;
}

std::string MachinePaths::registryDirectory() const { return root_ + "/registry"; }

std::string MachinePaths::userHome() const { return root_ + "/Users/" + loginName(); }

std::string MachinePaths::statePath() const { return root_ + "/machine.plist"; }

}  // namespace pomrel::sim
