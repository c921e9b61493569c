#include "platform/posix/posix_system.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pomrel::posix {

void PosixClock::sleep(unsigned seconds) {
  while (seconds > 0) seconds = ::sleep(seconds);
}

void PosixClock::usleep(std::uint32_t microseconds) {
  // ::usleep refuses a whole second or more, and does not say how much of
  // an interrupted pause is left; nanosleep does both.
  timespec remaining{static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

PosixProcessInfo::PosixProcessInfo(int argc, char** argv) {
  for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    arguments_.emplace_back(argv[i]);
  }
}

std::string PosixProcessInfo::currentDirectoryPath() const {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.data()));
      return buffer;
    }
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string PosixProcessInfo::executablePath() const {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    // A link exactly as long as the buffer may have been cut short.
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool PosixFileManager::fileExistsAtPath(const std::string& path) {
  struct stat info = {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

}  // namespace pomrel::posix
