#include "platform/linux/driverctl/helper_start.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

namespace pomrel::host {

std::optional<uid_t> parseUid(std::string_view text) {
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() ||
      value >= static_cast<unsigned long>(static_cast<uid_t>(-1))) {
    return std::nullopt;
  }
  return static_cast<uid_t>(value);
}

namespace {

// close(2) frees the number even when it reports EINTR.
bool closed(int fd) { return ::close(fd) == 0 || errno == EBADF || errno == EINTR; }

}  // namespace

bool servesCaller(uid_t realUid, uid_t effectiveUid, const char* pkexecUid,
                  std::optional<uid_t> parentUid) {
  if (realUid != 0 || effectiveUid != 0 || pkexecUid == nullptr) return false;
  const std::optional<uid_t> caller = parseUid(pkexecUid);
  return caller && parentUid && *caller == *parentUid;
}

bool closeDescriptorsFrom(int first, CloseRange closeRange) {
  // Any failure falls back: a kernel before 5.9 answers ENOSYS, a seccomp
  // filter that does not know the call may answer EPERM.
  if (closeRange(static_cast<unsigned>(first), ~0U, 0) == 0) return true;
  // The open ones, as /proc lists them; the listing's own descriptor is
  // skipped and closed with it.
  std::vector<int> open;
  if (DIR* folder = ::opendir("/proc/self/fd"); folder != nullptr) {
    while (const dirent* entry = ::readdir(folder)) {
      char* end = nullptr;
      const long fd = std::strtol(entry->d_name, &end, 10);
      if (*end == '\0' && end != entry->d_name && fd >= first && fd != ::dirfd(folder)) {
        open.push_back(static_cast<int>(fd));
      }
    }
    ::closedir(folder);
  } else {
    // No /proc: every number the limit allows.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    const rlim_t last = limit.rlim_cur == RLIM_INFINITY ? 1 << 20 : limit.rlim_cur;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd) {
      if (!closed(static_cast<int>(fd))) return false;
    }
    return true;
  }
  for (const int fd : open) {
    if (!closed(fd)) return false;
  }
  return true;
}

}  // namespace pomrel::host
