#include "platform/qt/qt_item_menu.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QMetaClassInfo>
#include <QSystemTrayIcon>
#include <QtEndian>

namespace pomrel::qt {
namespace {

constexpr const char* kInterface = "org.kde.StatusNotifierItem";

// The item's pictures on the bus: each size as 32-bit ARGB in network order.
struct ItemImage {
  int width = 0;
  int height = 0;
  QByteArray argb;
};
using ItemImages = QList<ItemImage>;
struct ItemToolTip {
  QString iconName;
  ItemImages images;
  QString title;
  QString text;
};

}  // namespace
}  // namespace pomrel::qt

Q_DECLARE_METATYPE(pomrel::qt::ItemImage)
Q_DECLARE_METATYPE(pomrel::qt::ItemToolTip)

namespace pomrel::qt {
namespace {

QDBusArgument& operator<<(QDBusArgument& out, const ItemImage& image) {
  out.beginStructure();
  out << image.width << image.height << image.argb;
  out.endStructure();
  return out;
}
// Qt's D-Bus streaming operators answer the argument they were given, which
// outlives the expression they are used in.
const QDBusArgument& operator>>(const QDBusArgument& in, ItemImage& image) {
  in.beginStructure();
  in >> image.width >> image.height >> image.argb;
  in.endStructure();
  return in;  // NOLINT(bugprone-return-const-ref-from-parameter): see above
}
QDBusArgument& operator<<(QDBusArgument& out, const ItemToolTip& tip) {
  out.beginStructure();
  out << tip.iconName << tip.images << tip.title << tip.text;
  out.endStructure();
  return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, ItemToolTip& tip) {
  in.beginStructure();
  in >> tip.iconName >> tip.images >> tip.title >> tip.text;
  in.endStructure();
  return in;  // NOLINT(bugprone-return-const-ref-from-parameter): see above
}

ItemImages imagesOf(const QIcon& icon) {
  ItemImages images;
  for (const QSize& size : icon.availableSizes()) {
    const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
    const qsizetype pixels = qsizetype{image.width()} * image.height();
    ItemImage out{image.width(), image.height(), QByteArray(pixels * 4, 0)};
    qToBigEndian<quint32>(image.constBits(), pixels, out.argb.data());
    images << out;
  }
  return images;
}

// Qt's item answers ItemIsMenu false whatever the icon does with a click, as
// it cannot know. An adaptor is the object's only handler of its interface:
// this one, added to the same object, takes the interface over from Qt's. It
// reads the item's texts from Qt's adaptor, draws the pictures from the icon
// itself (Qt's own picture types are not public), passes the methods on and
// relays the signals.
class ItemAsMenu final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
  Q_PROPERTY(QString AttentionIconName READ attentionIconName)
  Q_PROPERTY(pomrel::qt::ItemImages AttentionIconPixmap READ noImages)
  Q_PROPERTY(QString AttentionMovieName READ attentionMovieName)
  Q_PROPERTY(QString Category READ category)
  Q_PROPERTY(QString IconName READ iconName)
  Q_PROPERTY(pomrel::qt::ItemImages IconPixmap READ iconPixmap)
  Q_PROPERTY(QString Id READ id)
  Q_PROPERTY(QDBusObjectPath Menu READ menu)
  Q_PROPERTY(QString OverlayIconName READ overlayIconName)
  Q_PROPERTY(pomrel::qt::ItemImages OverlayIconPixmap READ noImages)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(QString Title READ title)
  Q_PROPERTY(pomrel::qt::ItemToolTip ToolTip READ toolTip)

 public:
  ItemAsMenu(QObject* item, QObject* qtAdaptor, const QSystemTrayIcon& tray)
      : QDBusAbstractAdaptor(item), qt_(qtAdaptor), tray_(tray) {
    for (const char* signal : {SIGNAL(NewAttentionIcon()), SIGNAL(NewIcon()),
                               SIGNAL(NewOverlayIcon()), SIGNAL(NewMenu()), SIGNAL(NewTitle()),
                               SIGNAL(NewToolTip()), SIGNAL(NewStatus(QString))}) {
      connect(qt_, signal, this, signal);
    }
  }

  [[nodiscard]] bool itemIsMenu() const { return tray_.contextMenu() != nullptr; }
  [[nodiscard]] QString attentionIconName() const { return text("AttentionIconName"); }
  [[nodiscard]] QString attentionMovieName() const { return text("AttentionMovieName"); }
  [[nodiscard]] QString category() const { return text("Category"); }
  [[nodiscard]] QString iconName() const { return text("IconName"); }
  [[nodiscard]] QString id() const { return text("Id"); }
  [[nodiscard]] QString overlayIconName() const { return text("OverlayIconName"); }
  [[nodiscard]] QString status() const { return text("Status"); }
  [[nodiscard]] QString title() const { return text("Title"); }
  [[nodiscard]] QDBusObjectPath menu() const {
    return qt_->property("Menu").value<QDBusObjectPath>();
  }
  [[nodiscard]] ItemImages iconPixmap() const { return imagesOf(tray_.icon()); }
  [[nodiscard]] static ItemImages noImages() { return {}; }
  [[nodiscard]] ItemToolTip toolTip() const { return {{}, {}, tray_.toolTip(), {}}; }

 public Q_SLOTS:  // NOLINT(readability-redundant-access-specifiers): moc's section
  void Activate(int x, int y) { pass("Activate", x, y); }
  void ContextMenu(int x, int y) { pass("ContextMenu", x, y); }
  void SecondaryActivate(int x, int y) { pass("SecondaryActivate", x, y); }
  void Scroll(int delta, const QString& orientation) {
    QMetaObject::invokeMethod(qt_, "Scroll", Q_ARG(int, delta), Q_ARG(QString, orientation));
  }

 Q_SIGNALS:
  void NewAttentionIcon();
  void NewIcon();
  void NewOverlayIcon();
  void NewMenu();
  void NewTitle();
  void NewToolTip();
  void NewStatus(const QString& status);

 private:
  [[nodiscard]] QString text(const char* property) const {
    return qt_->property(property).toString();
  }
  void pass(const char* method, int x, int y) {
    QMetaObject::invokeMethod(qt_, method, Q_ARG(int, x), Q_ARG(int, y));
  }

  QObject* qt_;
  const QSystemTrayIcon& tray_;
};

// Qt's adaptor of the item's interface among the item's children.
QObject* qtAdaptorOf(const QObject& item) {
  for (QObject* child : item.children()) {
    const QMetaObject* meta = child->metaObject();
    const int info = meta->indexOfClassInfo("D-Bus Interface");
    if (qobject_cast<QDBusAbstractAdaptor*>(child) != nullptr && info >= 0 &&
        qstrcmp(meta->classInfo(info).value(), kInterface) == 0) {
      return child;
    }
  }
  return nullptr;
}

}  // namespace

bool exportItemAsMenu(const QSystemTrayIcon& tray) {
  // Qt registers each tray icon on a connection of its own, named after the
  // item's bus name: the process id and a count of the tray icons Qt made
  // in the process (one for each icon, and one for each check whether a
  // tray is available). The icon shown is the one whose item is registered.
  constexpr int kMostIcons = 64;
  const qint64 pid = QCoreApplication::applicationPid();
  for (int count = 1; count <= kMostIcons; ++count) {
    const QDBusConnection connection(
        QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(pid).arg(count));
    QObject* item = connection.objectRegisteredAt(QStringLiteral("/StatusNotifierItem"));
    if (item == nullptr) continue;
    QObject* qtAdaptor = qtAdaptorOf(*item);
    if (qtAdaptor == nullptr) return false;
    qDBusRegisterMetaType<ItemImage>();
    qDBusRegisterMetaType<ItemImages>();
    qDBusRegisterMetaType<ItemToolTip>();
    new ItemAsMenu(item, qtAdaptor, tray);  // owned by the item
    return true;
  }
  return false;
}

}  // namespace pomrel::qt

#include "qt_item_menu.moc"
