#include "platform/posix/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pomrel::posix {
namespace {

FileRead failure(ReadStatus status, int error = 0) { return {status, {}, error}; }

ReadStatus statusForOpenError(int error, Links links) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ReadStatus::kMissing;
    case ELOOP:
      // With O_NOFOLLOW, the link at the path itself; otherwise a chain of
      // links too long (or circular) to resolve.
      return links == Links::kRefuse ? ReadStatus::kNotRegular : ReadStatus::kUnreadable;
    case ENXIO:  // a socket, or a device without its hardware
    case ENODEV:
      return ReadStatus::kNotRegular;
    default:
      return ReadStatus::kUnreadable;
  }
}

// Reads `fd` to its end; more than `limit` bytes is kTooLarge. `sizeHint`
// (from fstat) sizes the first read; the file may grow or shrink meanwhile,
// so the bound is enforced on what is actually read.
FileRead readToEnd(int fd, std::size_t sizeHint, std::size_t limit) {
  FileRead result{ReadStatus::kOk, std::string(sizeHint, '\0'), 0};
  std::size_t got = 0;
  for (;;) {
    if (got == result.bytes.size()) {
      if (got > limit) return failure(ReadStatus::kTooLarge);
      result.bytes.resize(got + 4096);
    }
    const ssize_t n = ::read(fd, result.bytes.data() + got, result.bytes.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return failure(ReadStatus::kUnreadable, errno);
    }
  }
  if (got > limit) return failure(ReadStatus::kTooLarge);
  result.bytes.resize(got);
  return result;
}

}  // namespace

FileRead readFile(const std::string& path, std::size_t limit, Links links) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (links == Links::kRefuse) flags |= O_NOFOLLOW;
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    return failure(statusForOpenError(error, links), error);
  }
  FileRead result;
  struct stat info = {};
  if (::fstat(fd, &info) != 0) {
    result = failure(ReadStatus::kUnreadable, errno);
  } else if (!S_ISREG(info.st_mode)) {
    result = failure(ReadStatus::kNotRegular);
  } else if (static_cast<unsigned long long>(info.st_size) > limit) {
    result = failure(ReadStatus::kTooLarge);
  } else {
    result = readToEnd(fd, static_cast<std::size_t>(info.st_size), limit);
  }
  ::close(fd);
  return result;
}

}  // namespace pomrel::posix
