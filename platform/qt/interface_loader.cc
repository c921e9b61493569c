#include "platform/qt/interface_loader.h"

#include <QAbstractButton>
#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QMenu>
#include <QTranslator>
#include <QUiLoader>
#include <QWidget>
#include <cstring>

#include "app/app_controller.h"
#include "platform/posix/file_reader.h"

namespace pomrel::qt {
namespace {

constexpr const char* kActionProperty = "action";
constexpr const char* kTargetProperty = "target";
constexpr const char* kApplicationTarget = "application";
constexpr const char* kTerminateAction = "terminate:";

// Translates every text of the resource as a key of the bundle's localized
// strings while the resource is being built.
class BundleTranslator final : public QTranslator {
 public:
  explicit BundleTranslator(Bundle& bundle) : bundle_(bundle) {}

  QString translate(const char* /*context*/, const char* sourceText, const char* /*disambiguation*/,
                    int /*n*/) const override {
    if (sourceText == nullptr || *sourceText == '\0') return {};
    return QString::fromStdString(bundle_.localizedStringForKey(sourceText));
  }
  [[nodiscard]] bool isEmpty() const override { return false; }

 private:
  Bundle& bundle_;
};

QString selectorOf(const QObject* object) { return object->property(kActionProperty).toString(); }

bool targetsApplication(const QObject* object) {
  return object->property(kTargetProperty).toString() == QLatin1String(kApplicationTarget);
}

}  // namespace

InterfaceLoader::InterfaceLoader(Bundle& bundle, QtRunLoop* runLoop)
    : bundle_(bundle), runLoop_(runLoop) {}

InterfaceLoader::~InterfaceLoader() = default;

bool InterfaceLoader::load(const QString& path, AppController& controller) {
  if (root_ != nullptr) {
    error_ = QStringLiteral("the interface resource is already loaded");
    return false;
  }
  const posix::FileRead read =
      posix::readFile(QFile::encodeName(path).toStdString(), posix::kResourceFileLimit);
  if (!read.ok()) {
    const QString why = read.status == posix::ReadStatus::kNotRegular ? QStringLiteral("not a file")
                        : read.status == posix::ReadStatus::kTooLarge
                            ? QStringLiteral("larger than a resource may be")
                            : QString::fromLocal8Bit(std::strerror(read.error));
    error_ = QStringLiteral("cannot read %1: %2").arg(path, why);
    return false;
  }
  QBuffer file;
  file.setData(
      QByteArray::fromRawData(read.bytes.data(), static_cast<qsizetype>(read.bytes.size())));
  file.open(QIODevice::ReadOnly);

  std::unique_ptr<QWidget> root;
  {
    BundleTranslator translator(bundle_);
    QCoreApplication::installTranslator(&translator);
    // The resource uses standard widgets only, but the loader loads every
    // Designer widget plugin on the library paths when it is made (Qt Quick
    // and its network stack among them), and Qt never unloads them: a large
    // share of the start-up time and memory. Hiding the library paths while
    // it is made and used keeps it to the standard widgets.
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({});
    {
      QUiLoader loader;
      root.reset(loader.load(&file));
      if (root == nullptr) {
        error_ = QStringLiteral("cannot load %1: %2").arg(path, loader.errorString());
      }
    }
    QCoreApplication::setLibraryPaths(libraryPaths);
    QCoreApplication::removeTranslator(&translator);
    if (root == nullptr) return false;
  }

  auto* menu = root->findChild<QMenu*>(QStringLiteral("m0_StatusBar"));
  auto* window = root->findChild<QDialog*>(QStringLiteral("w0_Window"));
  auto* checkBox = root->findChild<QCheckBox*>(QStringLiteral("w0_LoginItem"));
  if (menu == nullptr || window == nullptr || checkBox == nullptr) {
    error_ = QStringLiteral(
                 "%1 lacks one of m0_StatusBar (menu), w0_Window (dialog), "
                 "w0_LoginItem (check box)")
                 .arg(path);
    return false;
  }

  root_ = std::move(root);
  menu_ = std::make_unique<QtMenu>(menu, runLoop_);
  window_ = std::make_unique<QtWindow>(window);
  loginItem_ = std::make_unique<QtCheckBox>(checkBox);

  // Actions are sent by name, as the controller's selectors; the lambdas
  // keep the name so that the controller decides what it means.
  for (QAction* action : root_->findChildren<QAction*>()) {
    const QString selector = selectorOf(action);
    if (selector.isEmpty()) continue;
    if (targetsApplication(action)) {
      if (selector == QLatin1String(kTerminateAction)) {
        QObject::connect(action, &QAction::triggered, qApp, &QCoreApplication::quit,
                         Qt::QueuedConnection);
      } else {
        action->setEnabled(false);
      }
      continue;
    }
    const std::string name = selector.toStdString();
    if (!AppController::respondsToSelector(name)) {
      action->setEnabled(false);
      continue;
    }
    QObject::connect(action, &QAction::triggered, action, [&controller, name, action] {
      controller.performSelector(name, static_cast<QObject*>(action));
    });
    if (QtMenuItem* item = menu_->itemFor(action)) item->setValidated(true);
  }
  for (QAbstractButton* button : root_->findChildren<QAbstractButton*>()) {
    const QString selector = selectorOf(button);
    if (selector.isEmpty()) continue;
    const std::string name = selector.toStdString();
    if (targetsApplication(button) || !AppController::respondsToSelector(name)) {
      button->setEnabled(false);
      continue;
    }
    QObject::connect(button, &QAbstractButton::clicked, button, [&controller, name, button] {
      controller.performSelector(name, static_cast<QObject*>(button));
    });
  }

  menu_->setValidator(&controller);
  controller.m0_StatusBar = menu_.get();
  controller.w0_Window = window_.get();
  controller.w0_LoginItem = loginItem_.get();
  return true;
}

}  // namespace pomrel::qt
