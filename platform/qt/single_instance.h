// One Pomrel per user session and scope.
#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "platform/posix/process_runner.h"

namespace pomrel::qt {

class ShowRequests;

// Claims the right to be the one running instance of an application for a
// scope within the user's session, for as long as the object lives.
//
// The claim is the desktop's convention: the well-known name
// "<identifier>.<scope's name>" on the session bus where one is reachable,
// otherwise an exclusive lock on a file of that name in $XDG_RUNTIME_DIR,
// used only when that folder is owned by this user and closed to others.
// Both go when the process ends, however it ends, so an instance that
// crashed never keeps a new one from running. A lock file that cannot be
// opened or locked counts as another instance's. Where neither is available
// nothing can be checked, the claim counts as won, and standard error says
// so.
//
// On the session bus the holder also answers a later start: it exports the
// object "/<the name, '.' as '/'>" with the Activate method of the desktop's
// "org.freedesktop.Application" interface, which asks it to show itself.
//
// Needs a QCoreApplication. Main thread only.
class SingleInstance {
 public:
  // `identifier`: the application's reverse-DNS identifier. `scope`: the
  // path of the folder one instance is for (the simulated machine's), which
  // is resolved, so that two spellings of one folder are one scope; empty
  // for the whole session.
  SingleInstance(const QString& identifier, const QString& scope);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Whether another process held the claim, so this one must not run.
  [[nodiscard]] bool anotherIsRunning() const { return anotherIsRunning_; }

  // The bus name or lock file name the claim is made under.
  [[nodiscard]] const QString& name() const { return name_; }

  // When another process holds the claim on the session bus, asks it to show
  // itself and waits for its answer, a few seconds at most. True when it
  // answered; false otherwise, and always where a lock file decided, as a
  // lock carries no request.
  bool askRunningToShow() const;

  // While this object holds the claim on the session bus, `show` runs on
  // the main thread, from the event loop, once for each request of another
  // start to show itself. Requests that came before it was set run it once,
  // when it is set.
  void setShowHandler(std::function<void()> show);

 private:
  QString name_;
  posix::UniqueFd lock_;
  bool registered_ = false;
  bool anotherIsRunning_ = false;
  // Whether the session bus decided the claim.
  bool decidedOnBus_ = false;
  std::unique_ptr<ShowRequests> showRequests_;
};

}  // namespace pomrel::qt
