#include "platform/qt/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QObject>
#include <QTimer>
#include <QVariantMap>
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

// The desktop's convention for the object of an application's bus name.
QString objectPathOf(QString busName) { return QLatin1Char('/') + busName.replace('.', '/'); }

constexpr int kShowAnswerWaitMs = 5000;

}  // namespace

// The object the holder of the claim exports.
class ShowRequests final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  ShowRequests() {
    // Answered first: the window opens from the event loop, after the reply.
    answered_.setSingleShot(true);
    answered_.setInterval(0);
    connect(&answered_, &QTimer::timeout, this, &ShowRequests::answer);
  }

  void setHandler(std::function<void()> show) {
    show_ = std::move(show);
    if (pending_ && show_) show_();
    pending_ = false;
  }

 public Q_SLOTS:  // NOLINT(readability-redundant-access-specifiers): marks the slots for moc
  // `platformData` (startup notification and the like) is not used.
  void Activate(const QVariantMap& /*platformData*/) { answered_.start(); }

 private:
  void answer() {
    if (show_) {
      show_();
    } else {
      pending_ = true;
    }
  }

  QTimer answered_;
  std::function<void()> show_;
  bool pending_ = false;
};

SingleInstance::SingleInstance(const QString& identifier, const QString& scope)
    : name_(scope.isEmpty() ? identifier : identifier + QLatin1Char('.') + scopeElement(scope)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    // The object comes first, so that the name never stands without it.
    showRequests_ = std::make_unique<ShowRequests>();
    bus.registerObject(objectPathOf(name_), showRequests_.get(), QDBusConnection::ExportAllSlots);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(name_, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    decidedOnBus_ = reply.isValid();
    registered_ = decidedOnBus_ && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    anotherIsRunning_ = decidedOnBus_ && !registered_;
    if (!registered_) {
      bus.unregisterObject(objectPathOf(name_));
      showRequests_.reset();
    }
    if (decidedOnBus_) return;
  }
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  // In a folder that others can write to or that another user owns, their
  // file (held, or one this user cannot open) would decide for this session.
  struct stat folder = {};
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
  if (!registered_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.interface()->unregisterService(name_);
  bus.unregisterObject(objectPathOf(name_));
}

bool SingleInstance::askRunningToShow() const {
  if (!anotherIsRunning_ || !decidedOnBus_) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(name_, objectPathOf(name_),
                                                     QStringLiteral("org.freedesktop.Application"),
                                                     QStringLiteral("Activate"));
  call << QVariantMap();
  return QDBusConnection::sessionBus().call(call, QDBus::Block, kShowAnswerWaitMs).type() ==
         QDBusMessage::ReplyMessage;
}

void SingleInstance::setShowHandler(std::function<void()> show) {
  if (showRequests_ != nullptr) showRequests_->setHandler(std::move(show));
}

}  // namespace pomrel::qt

#include "single_instance.moc"
