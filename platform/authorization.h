// Authorization services: acquiring the administrator right and running a
// tool with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pomrel {

using OSStatus = std::int32_t;
inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInteractionNotAllowed = -60007;
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60031;
// The prompt could not be shown at all, by cause (this system's own
// statuses): no program that shows it, no agent on the desktop to show it,
// the system's policy refuses to ask, the authorization service unreachable.
inline constexpr OSStatus errAuthorizationNoPrompter = -60101;
inline constexpr OSStatus errAuthorizationNoAgent = -60102;
inline constexpr OSStatus errAuthorizationRefusedByPolicy = -60103;
inline constexpr OSStatus errAuthorizationServiceUnavailable = -60104;

using AuthorizationFlags = std::uint32_t;
inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 2;
inline constexpr AuthorizationFlags kAuthorizationFlagDestroyRights = 8;

inline constexpr const char* kAuthorizationRightExecute = "system.privilege.admin";

struct AuthorizationItem {
  const char* name;
  std::size_t valueLength;
  void* value;
  std::uint32_t flags;
};

struct AuthorizationItemSet {
  std::uint32_t count;
  AuthorizationItem* items;
};
using AuthorizationRights = AuthorizationItemSet;
using AuthorizationEnvironment = AuthorizationItemSet;

// An authorization session. Made by `Authorization::create`, owned by the
// caller until `Authorization::free`.
class AuthorizationSession {
 public:
  virtual ~AuthorizationSession() = default;
};
using AuthorizationRef = AuthorizationSession*;

// A tool started with privileges.
class PrivilegedProcess {
 public:
  virtual ~PrivilegedProcess() = default;
  // Waits until the tool has exited, at most `bound`. True when it has
  // exited (and been reaped); false when it is still running at the bound,
  // in which case it is left running.
  virtual bool waitUntilExit(std::chrono::milliseconds bound) = 0;
  // The status the tool exited with, once waitUntilExit has answered true;
  // -1 before that, and when it was ended by a signal or its status is
  // unknown.
  [[nodiscard]] virtual int terminationStatus() const = 0;
  // What the tool said of its failure, in one line, once waitUntilExit has
  // answered true with a status other than 0; "" otherwise, and when it said
  // nothing.
  [[nodiscard]] virtual std::string failureReason() const = 0;
  // A descriptor that becomes readable once the tool's end may be known, for
  // a run loop source that takes it with waitUntilExit(0) instead of
  // blocking; valid for as long as the handle exists, -1 where there is
  // none. Tools of one authorization may answer in turn over one channel: a
  // wait on one handle can then take in another's end, whose descriptor need
  // not become readable for it, so after such a wait the others are looked
  // at with waitUntilExit(0) too.
  [[nodiscard]] virtual int exitDescriptor() const = 0;
};

class Authorization {
 public:
  virtual ~Authorization() = default;

  // A new session holding the rights granted for `rights` (none when null).
  // On success stores it in `*authorization`; on failure stores null.
  virtual OSStatus create(const AuthorizationRights* rights,
                          const AuthorizationEnvironment* environment, AuthorizationFlags flags,
                          AuthorizationRef* authorization) = 0;

  // Grants `rights` to the session. With kAuthorizationFlagInteractionAllowed
  // and kAuthorizationFlagExtendRights the user may be asked for an
  // administrator's name and password (blocking until answered); without
  // interaction only rights the session already holds are granted. Returns
  // errAuthorizationSuccess, errAuthorizationCanceled (the user cancelled),
  // errAuthorizationDenied (wrong credentials),
  // errAuthorizationInteractionNotAllowed (a prompt was needed) or, when the
  // prompt could not be shown, the status of its cause
  // (errAuthorizationNoPrompter ... errAuthorizationServiceUnavailable).
  virtual OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                              const AuthorizationEnvironment* environment,
                              AuthorizationFlags flags) = 0;

  // Starts the tool at absolute `pathToTool` with `arguments` (a
  // null-terminated vector, not including the program name) with
  // administrator rights, which `authorization` must hold. Returns once the
  // tool has started; on success and when `process` is not null, stores a
  // handle to wait for it.
  virtual OSStatus executeWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                         AuthorizationFlags options, char* const* arguments,
                                         std::unique_ptr<PrivilegedProcess>* process) = 0;

  // Ends the session; with kAuthorizationFlagDestroyRights its rights are
  // revoked too. `authorization` is invalid afterwards.
  virtual OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) = 0;
};

}  // namespace pomrel
