// The simulated machine's notion of "running with administrator rights": a
// random token that only the privileged runner hands to the tools it starts.
#pragma once

#include <optional>
#include <string>

namespace pomrel::sim {

// The environment variable through which a privileged tool receives the token.
inline constexpr const char* kPrivilegeTokenVariable = "POMREL_PRIVILEGE_TOKEN";

// Makes a fresh random token (hex) in root/private/var/db/privilege-token,
// mode 0600, replacing any earlier one. False on failure.
bool createPrivilegeToken(const std::string& root);

// The machine's token; nullopt when there is none or it cannot be read.
std::optional<std::string> readPrivilegeToken(const std::string& root);

// True when this process was given the machine's token in its environment.
bool startedWithPrivileges(const std::string& root);

}  // namespace pomrel::sim
