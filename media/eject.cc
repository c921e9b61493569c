// Volume eject: the disk utility is run on the card's disk until the card
// media service has gone. When it fails, the user is told why in their own
// language, from the report lines of eject_report.h, never in the tool's
// own words.
#include "media/eject.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_controller.h"
#include "media/eject_report.h"
#include "media/sxs_driver.h"

namespace pomrel {

namespace {

// Longest program name shown; a tool's report is not trusted to be short.
constexpr std::size_t kHolderNameLimit = 64;

// The alert for each cause a tool can give; any other cause is kFailedMessage.
constexpr std::pair<const char*, const char*> kCauseMessages[] = {
    {kCauseNotAuthorized, "MSG_EjectNotAuthorized"}, {kCauseNoDiskService, "MSG_EjectNoService"},
    {kCauseNoAnswer, "MSG_EjectNoAnswer"},           {kCauseNotCard, "MSG_EjectNotCard"},
    {kCauseSystemDisk, "MSG_EjectSystemDisk"},
};
constexpr const char* kFailedMessage = "MSG_EjectError";

// What the tool wrote to its standard error, read as text: it ends at the
// first NUL byte.
std::string_view errorText(const std::string& standardError) {
  const std::string_view bytes(standardError);
  return bytes.substr(0, bytes.find('\0'));
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const std::size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

// `pattern` with "%1", "%2"... replaced by `values`, in one pass, so that a
// value holding "%2" stays as it is.
std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string text;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool placeholder = pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
                             static_cast<std::size_t>(pattern[i + 1] - '1') < values.size();
    if (placeholder) {
      text += *(values.begin() + (pattern[++i] - '1'));
    } else {
      text += pattern[i];
    }
  }
  return text;
}

}  // namespace

EjectReport readEjectReport(std::string_view text) {
  EjectReport report;
  for (std::string_view line : split(text, '\n')) {
    const std::vector<std::string_view> fields = split(line, '\t');
    if (fields[0] == kCauseTag && fields.size() >= 2 && !report.cause) {
      report.cause = std::string(fields[1]);
    } else if (fields[0] == kHolderTag && fields.size() == 3 && !fields[1].empty() &&
               !fields[2].empty() && std::all_of(fields[1].begin(), fields[1].end(), [](char c) {
                 return c >= '0' && c <= '9';
               })) {
      std::string name(fields[2].substr(0, kHolderNameLimit));
      std::replace_if(
          name.begin(), name.end(),
          [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; }, '?');
      report.holders.push_back({std::string(fields[1]), std::move(name)});
    }
  }
  return report;
}

const char* causeMessageKey(const std::string& cause) {
  for (const auto& [known, key] : kCauseMessages) {
    if (cause == known) return key;
  }
  return kFailedMessage;
}

std::string describeHolders(Bundle& bundle, const std::vector<EjectHolder>& holders) {
  if (holders.empty()) return {};
  std::string text = bundle.localizedStringForKey("EJECT_HeldBy");
  const std::size_t shown = std::min(holders.size(), kHoldersShown);
  for (std::size_t i = 0; i < shown; ++i) {
    text += "\n" +
            fill(bundle.localizedStringForKey("EJECT_Holder"), {holders[i].name, holders[i].pid});
  }
  if (holders.size() > shown) {
    text += "\n" + fill(bundle.localizedStringForKey("EJECT_MoreHolders"),
                        {std::to_string(holders.size() - shown)});
  }
  return text;
}

bool AppController::ejectDisk() {
  const char* message = "MSG_EjectFail";
  std::string detail;
  for (int attempts = 0;; ++attempts) {
    char name[kBSDNameBufferSize];
    if (!getSxSDisk(name)) return true;
    // The card is still there after the last allowed run: give up the way a
    // reported failure does rather than run the tool for ever.
    if (attempts == kEjectAttemptLimit) break;

    const ProcessResult result =
        platform_.processes.run(kDiskUtilPath, {"eject", std::string(name)}, ejectToolTimeout_);
    if (!result.launched || result.timedOut) break;
    const std::string_view text = errorText(result.standardError);
    const EjectReport report = readEjectReport(text);
    // A cause is final: running the tool again would meet the same refusal.
    if (report.cause) {
      message = causeMessageKey(*report.cause);
      break;
    }
    if (text.find(kEjectFailPhrase) != std::string_view::npos) {
      detail = describeHolders(platform_.bundle, report.holders);
      break;
    }
  }
  showAlert(message, detail);
  return false;
}

}  // namespace pomrel
