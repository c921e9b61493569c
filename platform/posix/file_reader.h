// The one way the project reads a file: bounded, never blocking on a FIFO or
// a device, and reporting every failure as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pomrel::posix {

// Upper bounds per kind of file. A file larger than its kind's bound is
// refused whole (kTooLarge), never cut short.
inline constexpr std::size_t kPreferenceFileLimit = 16 * 1024 * 1024;  // a preferences domain
inline constexpr std::size_t kRegistryFileLimit = 64 * 1024;   // a registry entry or message
inline constexpr std::size_t kMachineFileLimit = 1024 * 1024;  // machine state, accounts, tokens
inline constexpr std::size_t kResourceFileLimit = 4 * 1024 * 1024;  // a bundle resource
inline constexpr std::size_t kSystemFileLimit = 4 * 1024 * 1024;  // /proc, /sys and desktop entries
inline constexpr std::size_t kProgramFileLimit = 256 * 1024 * 1024;  // an executable copied whole

enum class ReadStatus : std::uint8_t {
  kOk,
  kMissing,     // nothing at the path (ENOENT, ENOTDIR)
  kNotRegular,  // a directory, FIFO, socket or device; or a link where none is followed
  kTooLarge,    // larger than the bound
  kUnreadable,  // any other error: permissions, I/O, too many levels of links
};

struct FileRead {
  ReadStatus status = ReadStatus::kMissing;
  // The whole file when kOk; empty otherwise.
  std::string bytes;
  // The errno behind kMissing, kUnreadable, or a refused link; 0 otherwise.
  int error = 0;

  [[nodiscard]] bool ok() const { return status == ReadStatus::kOk; }
};

// Whether a symbolic link at the path itself is followed. Links in the
// folders leading to it are always followed.
//
// kRefuse is for files only this program and its tools create, always as
// regular files renamed into place: registry entries and messages, the
// simulated machine's state, its accounts and its privilege token. A link
// there is not theirs.
// kFollow is for files a person or an installer arranges: preference domains
// (a user may keep them elsewhere and link them in), bundle resources,
// /proc and /sys entries (/proc/self/exe is a link by nature).
enum class Links : std::uint8_t { kFollow, kRefuse };

// Reads the regular file at `path`, at most `limit` bytes. Opens with
// O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY (and O_NOFOLLOW with
// Links::kRefuse), checks with fstat that it is a regular file before
// reading, and reads with read(2) until the end, so that a file whose size
// the system does not know beforehand (/proc) is read whole too. Never
// throws, never blocks on a FIFO, never takes a terminal as the controlling
// one.
FileRead readFile(const std::string& path, std::size_t limit, Links links = Links::kFollow);

}  // namespace pomrel::posix
