#include "platform/posix/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pomrel::posix {
namespace {

FileRead failure(ReadStatus status, int error = 0) { return {status, {}, error}; }

ReadStatus statusForOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ReadStatus::kMissing;
    case ELOOP:  // O_NOFOLLOW met a link
    case ENXIO:  // a socket, or a FIFO opened without a writer on some systems
      return ReadStatus::kNotRegular;
    default:
      return ReadStatus::kUnreadable;
  }
}

}  // namespace

FileRead readFile(const std::string& path, std::size_t limit, Links links) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  if (links == Links::kRefuse) flags |= O_NOFOLLOW;
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    return failure(statusForOpenError(error), error);
  }
  FileRead result;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    result = failure(ReadStatus::kUnreadable, errno);
  } else if (!S_ISREG(info.st_mode)) {
    result = failure(ReadStatus::kNotRegular);
  } else if (static_cast<unsigned long long>(info.st_size) > limit) {
    result = failure(ReadStatus::kTooLarge);
  } else {
    result.status = ReadStatus::kOk;
    // The size is a hint: the file may grow or shrink while it is read, so
    // the bound is enforced on what is actually read.
    result.bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    for (;;) {
      if (got == result.bytes.size()) {
        if (got > limit) break;
        result.bytes.resize(got + 4096);
      }
      const ssize_t n = ::read(fd, result.bytes.data() + got, result.bytes.size() - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        result = failure(ReadStatus::kUnreadable, errno);
        break;
      }
    }
    if (result.ok()) {
      if (got > limit) {
        result = failure(ReadStatus::kTooLarge);
      } else {
        result.bytes.resize(got);
      }
    }
  }
  ::close(fd);
  return result;
}

}  // namespace pomrel::posix
