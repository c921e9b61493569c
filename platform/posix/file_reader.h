// The one way the project reads a file: bounded, never blocking on a FIFO or
// a device, and reporting every failure as a value.
#pragma once

#include <cstddef>
#include <string>

namespace pomrel::posix {

// Upper bounds per kind of file. A file larger than its kind's bound is
// refused whole (kTooLarge), never cut short.
inline constexpr std::size_t kPreferenceFileLimit = 16 * 1024 * 1024;  // a preferences domain
inline constexpr std::size_t kRegistryFileLimit = 64 * 1024;   // a registry entry or message
inline constexpr std::size_t kMachineFileLimit = 1024 * 1024;  // machine state, accounts, tokens
inline constexpr std::size_t kResourceFileLimit = 4 * 1024 * 1024;  // a bundle resource
inline constexpr std::size_t kSystemFileLimit = 4 * 1024 * 1024;  // /proc, /sys and desktop entries

enum class ReadStatus {
  kOk,
  kMissing,     // nothing at the path (ENOENT, ENOTDIR)
  kNotRegular,  // a directory, FIFO, socket or device; or a link where none is followed
  kTooLarge,    // larger than the bound
  kUnreadable,  // any other error: permissions, I/O
};

struct FileRead {
  ReadStatus status = ReadStatus::kMissing;
  // The whole file when kOk; empty otherwise.
  std::string bytes;
  // The errno behind kMissing or kUnreadable; 0 otherwise.
  int error = 0;

  [[nodiscard]] bool ok() const { return status == ReadStatus::kOk; }
};

enum class Links { kFollow, kRefuse };

// Reads the regular file at `path`, at most `limit` bytes. Opens with
// O_RDONLY | O_CLOEXEC | O_NONBLOCK (and O_NOFOLLOW with Links::kRefuse, so
// that a symbolic link at `path` itself is kNotRegular), checks with fstat
// that it is a regular file before reading, and reads with read(2). Never
// throws, never blocks on a FIFO.
FileRead readFile(const std::string& path, std::size_t limit, Links links = Links::kFollow);

}  // namespace pomrel::posix
