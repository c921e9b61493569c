// The simulated machine's administrator accounts: root/private/etc/admins,
// readable by its owner only, one "name:hash" line per account, where the
// hash is a salted yescrypt hash from libcrypt. No password is ever stored,
// logged or kept in memory past the call that was given it.
#pragma once

#include <string>
#include <vector>

namespace pomrel::sim {

// root/private/etc/admins.
std::string adminAccountsPath(const std::string& root);

// A usable account name: not empty, and without ':' or a line break.
bool isValidAdminName(const std::string& name);

// Sets (or replaces) the password of account `name`, creating the file with
// mode 0600 if needed and replacing it atomically, under an exclusive lock on
// the file "admins.lock" beside it, so that writers at once never drop each
// other's accounts. False for an invalid name, an empty password, or a
// failure to hash, lock or write. `password` is wiped before returning.
bool setAdminPassword(const std::string& root, const std::string& name, std::string password);

// True when account `name` exists and `password` is its password. A name
// without an account costs the same hashing, so the time taken does not tell
// whether it has one. `password` is wiped before returning.
bool checkAdminPassword(const std::string& root, const std::string& name, std::string password);

bool hasAdminAccount(const std::string& root, const std::string& name);

// `sxs-card admin NAME`: `args` are the words after "admin" ({NAME}). Reads
// the new password from the terminal without echo, twice, when standard
// input is a terminal; otherwise reads one line from standard input. The
// terminal's settings are put back on every way out, SIGINT, SIGTERM, SIGHUP
// and SIGQUIT at the prompt included (the program then ends by that signal).
// Messages go to standard error. Returns 0 when set, 1 on an error (an empty
// password, a mismatch, a failed write), 2 on bad usage.
int runAdminCommand(const std::string& root, const std::vector<std::string>& args);

// Overwrites every byte `secret` holds (its spare capacity included) and
// empties it.
void wipeSecret(std::string& secret);

}  // namespace pomrel::sim
