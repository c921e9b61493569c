// One Pomrel per user session and scope.
#pragma once

#include <QString>

#include "platform/posix/process_runner.h"

namespace pomrel::qt {

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

 private:
  QString name_;
  posix::UniqueFd lock_;
  bool registered_ = false;
  bool anotherIsRunning_ = false;
};

}  // namespace pomrel::qt
