// Shared by the fuzz targets: a scratch machine root per process, file
// helpers, and a property-list comparison fit for round-trip checks.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix/file_reader.h"
#include "platform/property_list.h"

namespace pomrel::fuzz {

// Reports a broken invariant; libFuzzer then saves the input that did it.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

// A fresh folder for this process's simulated machine, removed at exit. It
// lives in memory (/dev/shm) when it can, since every input writes files and
// the backends flush them to disk; TMPDIR overrides.
inline const std::string& scratchRoot() {
  // Never destroyed, so that the removal at exit can still read it.
  static const std::string& root = *new std::string([] {
    const char* base = std::getenv("TMPDIR");
    std::string parent = base != nullptr && base[0] != '\0' ? base : "";
    struct stat info {};
    if (parent.empty()) {
      parent = ::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm" : "/tmp";
    }
    std::string pattern = parent + "/pomrel-fuzz-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchRoot(), ignored);
    });
    return pattern;
  }());
  return root;
}

inline void makeFolders(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  check(!error, "cannot make a folder");
}

// Removes every entry of `folder` (not the folder itself).
inline void emptyFolder(const std::string& folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::filesystem::remove_all(entry.path(), error);
  }
}

inline void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "cannot create an input file");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    check(n > 0, "cannot write an input file");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

inline std::vector<std::uint8_t> readFile(const std::string& path) {
  const posix::FileRead read =
      posix::readFile(path, posix::kPreferenceFileLimit, posix::Links::kRefuse);
  return {read.bytes.begin(), read.bytes.end()};
}

// The names in `folder`, "." and ".." left out.
inline std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Bit for bit: a stored real or date reads back as the same 8 bytes (a NaN
// as that NaN, -0 as -0), while PropertyValue's == compares them as numbers.
inline bool sameReal(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Deep equality with reals and dates compared by sameReal.
inline bool sameValue(const PropertyValue& a, const PropertyValue& b);

inline bool sameDictionary(const PropertyDictionary& a, const PropertyDictionary& b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || !sameValue(x->second, y->second)) return false;
  }
  return true;
}

inline bool sameValue(const PropertyValue& a, const PropertyValue& b) {
  if (a.storage.index() != b.storage.index()) return false;
  if (const double* x = a.real()) return sameReal(*x, *b.real());
  if (const PropertyDate* x = a.date()) {
    return sameReal(x->secondsSinceReferenceDate, b.date()->secondsSinceReferenceDate);
  }
  if (const PropertyArray* x = a.array()) {
    const PropertyArray& y = *b.array();
    if (x->size() != y.size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i) {
      if (!sameValue((*x)[i], y[i])) return false;
    }
    return true;
  }
  if (const PropertyDictionary* x = a.dictionary()) return sameDictionary(*x, *b.dictionary());
  return a == b;
}

}  // namespace pomrel::fuzz
