#include "simulator/admin_accounts.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/posix/file_reader.h"
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

struct MallocDeleter {
  void operator()(char* p) const { std::free(p); }  // NOLINT(cppcoreguidelines-no-malloc)
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
  posix::FileRead read =
      posix::readFile(adminAccountsPath(root), posix::kMachineFileLimit, posix::Links::kRefuse);
  if (!read.ok()) return std::nullopt;
  return std::move(read.bytes);
}

// Holds an exclusive lock on the accounts for a read-modify-write, so that two
// writers at once cannot drop each other's account. The lock is on a file of
// its own beside the accounts: the accounts file is replaced by a rename, and
// a lock on it would stay with the replaced file.
class AccountsLock {
 public:
  explicit AccountsLock(const std::string& root)
      : fd_(::open((adminAccountsPath(root) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                   0600)) {
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
      }
    }
  }
  AccountsLock(const AccountsLock&) = delete;
  AccountsLock& operator=(const AccountsLock&) = delete;
  ~AccountsLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

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

enum class LineStatus : std::uint8_t { kRead, kEnd, kTooLong, kError };

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

// The terminal settings to put back when a signal ends the program at the
// password prompt. Written only while no handler that reads them is
// installed.
int g_promptFd = -1;         // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
termios g_promptSettings{};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// The signals that end the program by default and can come from the
// terminal or the session while it waits for a password.
constexpr std::array<int, 4> kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restoreTerminalAndEnd(int signal) {
  tcsetattr(g_promptFd, TCSAFLUSH, &g_promptSettings);
  // The handler was reset to the default on entry (SA_RESETHAND) and the
  // signal is blocked until it returns, when it ends the program as it would
  // have.
  ::raise(signal);
}

// While it lives, echo is off on the terminal at `fd` (the newline still
// echoed, so the cursor moves on); the settings are put back when it ends,
// and by a signal that ends the program meanwhile.
class QuietTerminal {
 public:
  explicit QuietTerminal(int fd) {
    if (tcgetattr(fd, &g_promptSettings) != 0) {
      std::fprintf(stderr, "sxs-card admin: cannot use the terminal: %s\n", std::strerror(errno));
      return;
    }
    g_promptFd = fd;
    struct sigaction restore = {};
    restore.sa_handler = restoreTerminalAndEnd;
    restore.sa_flags = SA_RESETHAND;
    // One ending signal at a time: a second one waits, then ends the program.
    sigemptyset(&restore.sa_mask);
    for (const int signal : kEndingSignals) sigaddset(&restore.sa_mask, signal);
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
      // A signal the program was started ignoring stays ignored.
      sigaction(kEndingSignals[i], nullptr, &previous_[i]);
      if (previous_[i].sa_handler != SIG_IGN) sigaction(kEndingSignals[i], &restore, nullptr);
    }
    termios quiet = g_promptSettings;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    // TCSAFLUSH drops anything typed ahead, which was echoed.
    quiet_ = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    if (!quiet_) {
      std::fprintf(stderr, "sxs-card admin: cannot turn echo off: %s\n", std::strerror(errno));
    }
    installed_ = true;
  }
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;
  ~QuietTerminal() {
    if (!installed_) return;
    tcsetattr(g_promptFd, TCSAFLUSH, &g_promptSettings);
    for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
      sigaction(kEndingSignals[i], &previous_[i], nullptr);
    }
  }
  [[nodiscard]] bool quiet() const { return quiet_; }

 private:
  std::array<struct sigaction, kEndingSignals.size()> previous_{};
  bool installed_ = false;
  bool quiet_ = false;
};

// Asks twice on the terminal at `fd` with echo off. The terminal's settings
// are put back whatever happens.
bool readPasswordFromTerminal(int fd, const std::string& name, std::string& password) {
  const QuietTerminal terminal(fd);
  if (!terminal.quiet()) return false;
  std::string again;
  std::fprintf(stderr, "New password for %s: ", name.c_str());
  std::fflush(stderr);
  bool ok = reportLine(readSecretLine(fd, password));
  if (ok) {
    std::fputs("Retype the password: ", stderr);
    std::fflush(stderr);
    ok = reportLine(readSecretLine(fd, again));
  }
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

  const std::string path = adminAccountsPath(root);
  if (!makeDirectories(path.substr(0, path.rfind('/')))) return false;
  const AccountsLock lock(root);
  if (!lock.held()) return false;
  std::string kept;
  if (const std::optional<std::string> contents = readAccountsFile(root)) {
    std::istringstream lines(*contents);
    const std::string prefix = name + ":";
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line.compare(0, prefix.size(), prefix) == 0) continue;
      kept += line + "\n";
    }
  }
  return posix::writeFileAtomically(path, kept + entry + "\n", 0600);
}

bool checkAdminPassword(const std::string& root, const std::string& name, std::string password) {
  SecretGuard guard(password);
  if (!isValidAdminName(name) || !isHashablePassword(password)) return false;
  const std::optional<std::string> stored = storedHash(root, name);
  const bool known = stored && !stored->empty();
  // A name without an account costs the same hashing as one with it (a
  // setting made as setAdminPassword makes one), so the time taken does not
  // tell which names have accounts.
  const std::unique_ptr<char, MallocDeleter> dummy(known ? nullptr
                                                         : crypt_gensalt_ra("$y$", 0, nullptr, 0));
  const char* setting = known ? stored->c_str() : dummy.get();
  if (setting == nullptr) return false;
  CryptArea area;
  const char* hash = crypt_r(password.c_str(), setting, area.data.get());
  return known && !hashFailed(hash) && equalInConstantTime(*stored, hash);
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
