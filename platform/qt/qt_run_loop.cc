#include "platform/qt/qt_run_loop.h"

#include <QSocketNotifier>
#include <algorithm>

namespace pomrel::qt {

QtRunLoop::QtRunLoop() = default;

QtRunLoop::~QtRunLoop() = default;

void QtRunLoop::addSource(RunLoopSource* source, RunLoopMode /*mode*/) {
  const auto found = std::find_if(installed_.begin(), installed_.end(),
                                  [source](const Installed& i) { return i.source == source; });
  if (found != installed_.end()) return;
  auto* notifier =
      new QSocketNotifier(source->descriptor(), QSocketNotifier::Read, &notifierOwner_);
  notifier->setEnabled(inDefaultMode());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                   [this, source, notifier] { deliver(source, notifier); });
  installed_.push_back({source, notifier});
}

void QtRunLoop::removeSource(RunLoopSource* source, RunLoopMode /*mode*/) {
  const auto found = std::find_if(installed_.begin(), installed_.end(),
                                  [source](const Installed& i) { return i.source == source; });
  if (found == installed_.end()) return;
  QSocketNotifier* notifier = found->notifier;
  installed_.erase(found);
  // The notifier may be the one whose activation is running right now, so it
  // is only disarmed here and freed once control is back in the event loop.
  notifier->setEnabled(false);
  QObject::disconnect(notifier, nullptr, nullptr, nullptr);
  notifier->deleteLater();
}

void QtRunLoop::deliver(RunLoopSource* source, QSocketNotifier* notifier) {
  if (!inDefaultMode()) {
    // An activation already queued when the loop left its default mode; the
    // notifier is re-armed on the way back and fires again then.
    notifier->setEnabled(false);
    return;
  }
  // `perform` may remove the source or destroy its owner: nothing of either
  // is touched after it returns.
  source->perform();
}

void QtRunLoop::enterNonDefaultMode() {
  if (nonDefaultDepth_++ == 0) setNotifiersEnabled(false);
}

void QtRunLoop::leaveNonDefaultMode() {
  if (nonDefaultDepth_ == 0) return;
  if (--nonDefaultDepth_ == 0) setNotifiersEnabled(true);
}

void QtRunLoop::setNotifiersEnabled(bool enabled) {
  for (const Installed& i : installed_) i.notifier->setEnabled(enabled);
}

}  // namespace pomrel::qt
