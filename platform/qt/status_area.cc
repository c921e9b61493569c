#include "platform/qt/status_area.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QSystemTrayIcon>

namespace pomrel::qt {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

}  // namespace

bool hasStatusArea() {
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    return QSystemTrayIcon::isSystemTrayAvailable();
  }
  // A watcher takes its name before its host registers (waybar does both,
  // in that order): only the host shows icons.
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QDBusConnectionInterface* names = bus.interface();
  if (names == nullptr || !names->isServiceRegistered(kWatcher).value()) return false;
  // A bare Get: a QDBusInterface would introspect the watcher first.
  QDBusMessage get = QDBusMessage::createMethodCall(
      kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("Get"));
  get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusReply<QDBusVariant> reply = bus.call(get);
  return reply.isValid() && reply.value().variant().toBool();
}

void StatusAreaWait::whenShown(QObject& owner, std::function<void()> show) {
  pending_.emplace_back(&owner, std::move(show));
  if (watcher_ != nullptr) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  watcher_ =
      new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForRegistration, this);
  connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, &StatusAreaWait::maybeShown);
  bus.connect(kWatcher, kWatcherPath, kWatcher, QStringLiteral("StatusNotifierHostRegistered"),
              this, SLOT(maybeShown()));
}

void StatusAreaWait::maybeShown() {
  if (pending_.empty() || !hasStatusArea()) return;
  for (auto& [owner, show] : std::exchange(pending_, {})) {
    if (owner != nullptr) show();
  }
}

}  // namespace pomrel::qt
