// The eject's reading of a disk tool's report (eject_report.h) and the words
// the user is shown for it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"

namespace pomrel {

// Programs named after "MSG_EjectFail"; the rest are counted.
inline constexpr std::size_t kHoldersShown = 5;

struct EjectHolder {
  std::string pid;   // decimal digits
  std::string name;  // at most 64 bytes; control characters shown as '?'
};

struct EjectReport {
  std::vector<EjectHolder> holders;  // in the order written
  std::optional<std::string> cause;  // the first cause written
};

// The report lines in `text`; malformed ones are skipped.
EjectReport readEjectReport(std::string_view text);

// The message key of the alert for `cause` ("MSG_EjectError" for a cause
// not known).
const char* causeMessageKey(const std::string& cause);

// "" for no holders; otherwise "EJECT_HeldBy", then one line per holder from
// "EJECT_Holder" (%1 its name, %2 its pid) for the first kHoldersShown, then
// "EJECT_MoreHolders" (%1 how many more) when there are more.
std::string describeHolders(Bundle& bundle, const std::vector<EjectHolder>& holders);

}  // namespace pomrel
