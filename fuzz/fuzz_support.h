// Shared by the fuzz targets: invariant checks, a scratch folder per process,
// and a property-list comparison fit for round-trip checks.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/property_list.h"

namespace pomrel::fuzz {

// Reports a broken invariant; libFuzzer then saves the input that did it.
inline void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// A fresh folder for this process's files, removed at exit; under TMPDIR, or
// in memory (/dev/shm) when there is one, since every input writes files.
inline const std::string& scratchRoot() {
  // Never destroyed, so that the removal at exit can still read it.
  static const std::string& root = *new std::string([] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = base != nullptr && base[0] != '\0'          ? base
                          : std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                      : "/tmp";
    pattern += "/pomrel-fuzz-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
    std::atexit([] { std::filesystem::remove_all(scratchRoot()); });
    return pattern;
  }());
  return root;
}

// Deep equality with reals and dates compared bit for bit (a NaN as that NaN,
// -0 as -0), where PropertyValue's == compares them as numbers.
inline bool sameValue(const PropertyValue& a, const PropertyValue& b);

inline bool sameDictionary(const PropertyDictionary& a, const PropertyDictionary& b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || !sameValue(x->second, y->second)) return false;
  }
  return true;
}

inline bool sameValue(const PropertyValue& a, const PropertyValue& b) {
  const auto bits = [](double d) { return std::bit_cast<std::uint64_t>(d); };
  if (a.storage.index() != b.storage.index()) return false;
  if (const double* x = a.real()) return bits(*x) == bits(*b.real());
  if (const PropertyDate* x = a.date()) {
    return bits(x->secondsSinceReferenceDate) == bits(b.date()->secondsSinceReferenceDate);
  }
  if (const PropertyArray* x = a.array()) {
    return std::equal(x->begin(), x->end(), b.array()->begin(), b.array()->end(), sameValue);
  }
  if (const PropertyDictionary* x = a.dictionary()) return sameDictionary(*x, *b.dictionary());
  return a == b;
}

}  // namespace pomrel::fuzz
