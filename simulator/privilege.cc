#include "simulator/privilege.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"

namespace pomrel::sim {

namespace {

std::string tokenPath(const std::string& root) { return root + "/private/var/db/privilege-token"; }

bool makeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

bool createPrivilegeToken(const std::string& root) {
  std::array<unsigned char, 32> random{};
  std::size_t filled = 0;
  while (filled < random.size()) {
    ssize_t got = getrandom(random.data() + filled, random.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : random) {
    token.push_back(kHex[byte >> 4]);
    token.push_back(kHex[byte & 0xF]);
  }
  const std::string path = tokenPath(root);
  if (!makeDirectories(path.substr(0, path.rfind('/')))) return false;
  return posix::writeFileAtomically(path, token + "\n", 0600);
}

std::optional<std::string> readPrivilegeToken(const std::string& root) {
  posix::FileRead read =
      posix::readFile(tokenPath(root), posix::kMachineFileLimit, posix::Links::kRefuse);
  if (!read.ok()) return std::nullopt;
  std::string& token = read.bytes;
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) {
    token.pop_back();
  }
  if (token.empty()) return std::nullopt;
  return token;
}

bool startedWithPrivileges(const std::string& root) {
  const char* given = std::getenv(kPrivilegeTokenVariable);
  if (given == nullptr || given[0] == '\0') return false;
  const std::optional<std::string> expected = readPrivilegeToken(root);
  if (!expected || expected->size() != std::strlen(given)) return false;
  // Compared without an early exit so the time taken does not tell how much
  // of a guessed token was right.
  unsigned char difference = 0;
  for (std::size_t i = 0; i < expected->size(); ++i) {
    difference |= static_cast<unsigned char>((*expected)[i] ^ given[i]);
  }
  return difference == 0;
}

}  // namespace pomrel::sim
