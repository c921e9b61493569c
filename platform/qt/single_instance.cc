#include "platform/qt/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

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
  // In a folder that others can write to or that another user owns, their
  // file (held, or one this user cannot open) would decide for this session.
  struct stat folder {};
  if (runtime.isEmpty() || ::stat(runtime.constData(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
      folder.st_uid != ::geteuid() || (folder.st_mode & 077) != 0) {
    std::fprintf(stderr,
                 "Pomrel: no session bus, and XDG_RUNTIME_DIR (%s) is not a folder private to "
                 "this user: whether Pomrel already runs cannot be checked.\n",
                 runtime.constData());
    return;
  }
  const QByteArray path = runtime + '/' + name_.toUtf8() + ".lock";
  // The lock is the open file's, not the file's: it ends with the process,
  // and close-on-exec keeps child processes from holding it on. A lock that
  // cannot be taken counts as held: it must never let a second one run.
  lock_.reset(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (lock_.valid() && ::flock(lock_.get(), LOCK_EX | LOCK_NB) == 0) return;
  const int error = errno;
  anotherIsRunning_ = true;
  if (error != EWOULDBLOCK) {
    std::fprintf(stderr,
                 "Pomrel: the lock %s cannot be taken, so another Pomrel may be running: %s.\n",
                 path.constData(), std::strerror(error));
  }
}

SingleInstance::~SingleInstance() {
  if (registered_) QDBusConnection::sessionBus().interface()->unregisterService(name_);
}

}  // namespace pomrel::qt
