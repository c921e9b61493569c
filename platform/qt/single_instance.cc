#include "platform/qt/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <cerrno>

namespace pomrel::qt {
namespace {

// Bus name elements may not start with a digit; 64 bits of the digest keep
// scopes apart.
QString scopeElement(const QString& scope) {
  const QFileInfo folder(scope);
  const QString resolved = folder.exists() ? folder.canonicalFilePath() : folder.absoluteFilePath();
  const QByteArray digest = QCryptographicHash::hash(resolved.toUtf8(), QCryptographicHash::Sha256);
  return QStringLiteral("scope_") + QString::fromLatin1(digest.toHex().left(16));
}

}  // namespace

SingleInstance::SingleInstance(const QString& identifier, const QString& scope)
    : name_(scope.isEmpty() ? identifier : identifier + QLatin1Char('.') + scopeElement(scope)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(name_, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid()) {
      anotherIsRunning_ = reply.value() != QDBusConnectionInterface::ServiceRegistered;
      registered_ = !anotherIsRunning_;
      return;
    }
  }
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.isEmpty()) return;
  const QByteArray path = runtime + '/' + name_.toUtf8() + ".lock";
  // The lock is the open file's, not the file's: it ends with the process,
  // and close-on-exec keeps child processes from holding it on.
  lock_.reset(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock_.valid()) return;
  anotherIsRunning_ = ::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

SingleInstance::~SingleInstance() {
  if (registered_) QDBusConnection::sessionBus().interface()->unregisterService(name_);
}

}  // namespace pomrel::qt
