// Where the host backends say what the user should know (what the system
// lacks, why administrator rights were not granted, what the privileged
// helper reports).
#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

namespace pomrel::host {

// Takes text to show as it is: whole lines ending in '\n', except what the
// privileged helper writes on its standard error, which is passed on in the
// pieces it arrives in.
using Diagnostics = std::function<void(std::string_view)>;

// Writes to standard error through C stdio: the desktop program uses no C++
// stream, whose first use sets up the locale's facets (about 400 kB resident).
inline void toStandardError(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace pomrel::host
