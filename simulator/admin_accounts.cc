#include "simulator/admin_accounts.h"

#include <crypt.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/posix/plist_io.h"

namespace pomrel::sim {

namespace {

// libcrypt accepts passphrases up to CRYPT_MAX_PASSPHRASE_SIZE - 1 bytes.
constexpr std::size_t kLongestPassword = CRYPT_MAX_PASSPHRASE_SIZE - 1;

// Wipes the password argument of the public calls on every way out.
class SecretGuard {
 public:
  explicit SecretGuard(std::string& secret) : secret_(secret) {}
  SecretGuard(const SecretGuard&) = delete;
  SecretGuard& operator=(const SecretGuard&) = delete;
  ~SecretGuard() { wipeSecret(secret_); }

 private:
  std::string& secret_;
};

// crypt_r's work area, zeroed before first use as libcrypt asks, and wiped
// when done: its input and output fields may hold the password or the hash.
struct CryptArea {
  CryptArea() : data(std::make_unique<crypt_data>()) {}
  CryptArea(const CryptArea&) = delete;
  CryptArea& operator=(const CryptArea&) = delete;
  ~CryptArea() { explicit_bzero(data.get(), sizeof(crypt_data)); }
  std::unique_ptr<crypt_data> data;
};

// A password libcrypt can hash as given: an embedded NUL would silently cut
// it short.
bool isHashablePassword(const std::string& password) {
  return !password.empty() && password.size() <= kLongestPassword &&
         password.find('\0') == std::string::npos;
}

bool hashFailed(const char* hash) { return hash == nullptr || hash[0] == '*' || hash[0] == '\0'; }

// The time taken does not depend on where the strings first differ, so a
// timing probe learns nothing about the stored hash.
bool equalInConstantTime(const std::string& a, const char* b) {
  const std::size_t length = std::strlen(b);
  if (a.size() != length) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < length; ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

bool makeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

std::optional<std::string> readAccountsFile(const std::string& root) {
  std::ifstream in(adminAccountsPath(root), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// The stored hash of `name`, if it has an account.
std::optional<std::string> storedHash(const std::string& root, const std::string& name) {
  const std::optional<std::string> contents = readAccountsFile(root);
  if (!contents) return std::nullopt;
  std::istringstream lines(*contents);
  const std::string prefix = name + ":";
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
  }
  return std::nullopt;
}

enum class LineStatus { kRead, kEnd, kTooLong, kError };

// Reads one line from `fd` a byte at a time into `line` (the newline
// dropped), so that no stdio buffer keeps a copy and nothing past the line
// is consumed. `line` has room reserved up front and never grows past it,
// so no reallocation leaves a stray copy behind.
LineStatus readSecretLine(int fd, std::string& line) {
  line.reserve(kLongestPassword + 1);
  bool any = false;
  for (;;) {
    char c = 0;
    const ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return LineStatus::kError;
    if (got == 0) return any ? LineStatus::kRead : LineStatus::kEnd;
    any = true;
    if (c == '\n') break;
    if (line.size() > kLongestPassword) {
      // Keep consuming the line so the rest does not land in a shell.
      continue;
    }
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line.size() > kLongestPassword ? LineStatus::kTooLong : LineStatus::kRead;
}

bool reportLine(LineStatus status) {
  switch (status) {
    case LineStatus::kRead:
      return true;
    case LineStatus::kEnd:
      std::fputs("sxs-card admin: no password given\n", stderr);
      return false;
    case LineStatus::kTooLong:
      std::fprintf(stderr, "sxs-card admin: the password is longer than %zu bytes\n",
                   kLongestPassword);
      return false;
    case LineStatus::kError:
      std::fprintf(stderr, "sxs-card admin: cannot read the password: %s\n", std::strerror(errno));
      return false;
  }
  return false;
}

// Asks twice on the terminal at `fd` with echo off; the newline is still
// echoed so the cursor moves on. The terminal's settings are put back
// whatever happens.
bool readPasswordFromTerminal(int fd, const std::string& name, std::string& password) {
  termios saved{};
  if (tcgetattr(fd, &saved) != 0) {
    std::fprintf(stderr, "sxs-card admin: cannot use the terminal: %s\n", std::strerror(errno));
    return false;
  }
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  // TCSAFLUSH drops anything typed ahead, which was echoed.
  if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) {
    std::fprintf(stderr, "sxs-card admin: cannot turn echo off: %s\n", std::strerror(errno));
    return false;
  }
  std::string again;
  std::fprintf(stderr, "New password for %s: ", name.c_str());
  std::fflush(stderr);
  bool ok = reportLine(readSecretLine(fd, password));
  if (ok) {
    std::fputs("Retype the password: ", stderr);
    std::fflush(stderr);
    ok = reportLine(readSecretLine(fd, again));
  }
  tcsetattr(fd, TCSAFLUSH, &saved);
  if (ok && password != again) {
    std::fputs("sxs-card admin: the passwords do not match; nothing changed\n", stderr);
    ok = false;
  }
  wipeSecret(again);
  return ok;
}

}  // namespace

void wipeSecret(std::string& secret) {
  // Growing to the capacity never reallocates, and makes the spare bytes
  // (where a longer earlier value may linger) part of what is wiped.
  secret.resize(secret.capacity());
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

std::string adminAccountsPath(const std::string& root) { return root + "/private/etc/admins"; }

bool isValidAdminName(const std::string& name) {
  return !name.empty() && name.find_first_of(":\n\r") == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool setAdminPassword(const std::string& root, const std::string& name, std::string password) {
  SecretGuard guard(password);
  if (!isValidAdminName(name) || !isHashablePassword(password)) return false;

  char* setting = crypt_gensalt_ra("$y$", 0, nullptr, 0);
  if (setting == nullptr) return false;
  CryptArea area;
  const char* hash = crypt_r(password.c_str(), setting, area.data.get());
  std::free(setting);
  if (hashFailed(hash)) return false;
  const std::string entry = name + ":" + hash;

  std::string kept;
  if (const std::optional<std::string> contents = readAccountsFile(root)) {
    std::istringstream lines(*contents);
    const std::string prefix = name + ":";
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line.compare(0, prefix.size(), prefix) == 0) continue;
      kept += line + "\n";
    }
  }
  const std::string path = adminAccountsPath(root);
  if (!makeDirectories(path.substr(0, path.rfind('/')))) return false;
  return posix::writeFileAtomically(path, kept + entry + "\n", 0600);
}

bool checkAdminPassword(const std::string& root, const std::string& name, std::string password) {
  SecretGuard guard(password);
  if (!isValidAdminName(name) || !isHashablePassword(password)) return false;
  const std::optional<std::string> stored = storedHash(root, name);
  if (!stored || stored->empty()) return false;
  CryptArea area;
  const char* hash = crypt_r(password.c_str(), stored->c_str(), area.data.get());
  return !hashFailed(hash) && equalInConstantTime(*stored, hash);
}

bool hasAdminAccount(const std::string& root, const std::string& name) {
  return isValidAdminName(name) && storedHash(root, name).has_value();
}

int runAdminCommand(const std::string& root, const std::vector<std::string>& args) {
  if (args.size() != 1 || !isValidAdminName(args[0])) {
    std::fputs(
        "usage: sxs-card admin NAME\n"
        "  Sets the password of administrator NAME (no ':' or line break in it). The\n"
        "  password is read from the terminal without echo, or as one line from\n"
        "  standard input when that is not a terminal.\n",
        stderr);
    return 2;
  }
  const std::string& name = args[0];
  std::string password;
  SecretGuard guard(password);
  if (isatty(STDIN_FILENO)) {
    if (!readPasswordFromTerminal(STDIN_FILENO, name, password)) return 1;
  } else if (!reportLine(readSecretLine(STDIN_FILENO, password))) {
    return 1;
  }
  if (password.empty()) {
    std::fputs("sxs-card admin: an empty password is refused; nothing changed\n", stderr);
    return 1;
  }
  if (password.find('\0') != std::string::npos) {
    std::fputs("sxs-card admin: the password may not contain a NUL byte; nothing changed\n",
               stderr);
    return 1;
  }
  // setAdminPassword wipes its own copy; the guard wipes this one.
  if (!setAdminPassword(root, name, password)) {
    std::fprintf(stderr, "sxs-card admin: cannot write %s\n", adminAccountsPath(root).c_str());
    return 1;
  }
  std::fprintf(stderr, "sxs-card admin: password set for %s\n", name.c_str());
  return 0;
}

}  // namespace pomrel::sim
