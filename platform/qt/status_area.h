// Whether the desktop shows status icons, and a wait for it to.
#pragma once

#include <QDBusServiceWatcher>
#include <QObject>
#include <QPointer>
#include <functional>
#include <utility>
#include <vector>

namespace pomrel::qt {

// Whether the desktop has a status area now: on X11, an XEmbed tray or a
// status notifier host; elsewhere, a status notifier host, registered with
// the watcher on the session bus. Elsewhere Qt itself is not asked: it
// decides once, when first asked or when the first tray icon is made,
// whether a host is registered, and keeps that answer for the process, so an
// icon made before the host came would never register.
bool hasStatusArea();

// Runs callbacks once a status notifier host appears on the session bus.
// Nothing polls: the wait is a watch on the watcher's name and a match on
// its host-registered signal, both set up by the first call of whenShown().
// Needs a QCoreApplication. Main thread only.
class StatusAreaWait final : public QObject {
  Q_OBJECT

 public:
  // Runs `show` once hasStatusArea() holds, unless `owner` is destroyed
  // first.
  void whenShown(QObject& owner, std::function<void()> show);

 private Q_SLOTS:
  void maybeShown();

 private:
  QDBusServiceWatcher* watcher_ = nullptr;  // a child
  std::vector<std::pair<QPointer<QObject>, std::function<void()>>> pending_;
};

}  // namespace pomrel::qt
