// What the privileged helper checks and sets up before it serves anyone.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace pomrel::host {

// A user id written in decimal, as PKEXEC_UID and /proc's "Uid:" hold it.
std::optional<uid_t> parseUid(std::string_view text);

// Whether the helper serves its caller: it runs as root in full (real and
// effective user 0: a copy made setuid by mistake serves nobody), pkexec
// named the user it runs for (`pkexecUid`, PKEXEC_UID; never a fallback:
// without it the helper was not started by pkexec), and that user is the
// real user of the process that started it (`parentUid`).
bool servesCaller(uid_t realUid, uid_t effectiveUid, const char* pkexecUid,
                  std::optional<uid_t> parentUid);

// Closes every descriptor from `first` up, with `closeRange` (close_range(2)
// on a real system), or one by one when that fails (kernels before 5.9 do
// not have it). False when a descriptor could not be closed.
using CloseRange = int (*)(unsigned first, unsigned last, int flags);
bool closeDescriptorsFrom(int first, CloseRange closeRange);

}  // namespace pomrel::host
