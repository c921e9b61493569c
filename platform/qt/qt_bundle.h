// The application bundle's resources, found beside the executable as the
// platform lays a bundle out: Pomrel.app/Contents/{MacOS/Pomrel, Info.plist,
// Resources/}.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/property_list.h"

namespace pomrel::qt {

// An image resource: the picture at its natural size and, when the bundle
// has one, its double-resolution variant ("<name>@2x.png").
class QtImage final : public Image {
 public:
  QtImage(std::string name, QImage normal, QImage doubled);
  [[nodiscard]] std::string name() const override { return name_; }
  [[nodiscard]] const QImage& normal() const { return normal_; }
  // Null when the bundle has no @2x variant.
  [[nodiscard]] const QImage& doubled() const { return doubled_; }

 private:
  std::string name_;
  QImage normal_;
  QImage doubled_;
};

class QtBundle final : public Bundle {
 public:
  // A bundle whose resources are in `resourcesPath` (its Contents/Resources
  // folder), with texts chosen for `languages` in order of preference (such
  // as "de-CH", "de"); the last resort is the bundle's development region
  // (CFBundleDevelopmentRegion of its Info.plist, English when it names
  // none).
  QtBundle(QString resourcesPath, QStringList languages);

  // The resources folder of the running executable's bundle. Requires a
  // QCoreApplication.
  static QString mainResourcesPath();
  // The user's languages in order of preference.
  static QStringList userLanguages();

  // "<name>.png" (and "<name>@2x.png") from the resources folder; null when
  // the first is missing or unreadable.
  std::shared_ptr<Image> imageNamed(const std::string& name) override;

  // The text of `key` in Localizable.strings of the first of the languages
  // that the bundle has ("<language>.lproj"), else in the development
  // region's, else the key.
  std::string localizedStringForKey(const std::string& key) override;

  // The bundle's Info.plist (beside the resources folder) as a dictionary;
  // nullopt when missing or not a dictionary property list. Read once, on
  // first use (the program and the texts' development region both need it).
  [[nodiscard]] const std::optional<PropertyDictionary>& infoDictionary();

  // The localization folders searched for texts, in order (such as
  // "de.lproj", "en.lproj").
  [[nodiscard]] const QStringList& localizations();

  // Loads into `translator` Qt's own texts (the standard buttons, the text
  // fields' context menu) in the language of the bundle's texts, from Qt's
  // translations folder, so that the two never mix languages. False for
  // English, which Qt's texts are written in, and where Qt has no
  // translation for the language.
  bool loadQtTranslations(QTranslator& translator);

  [[nodiscard]] const QString& resourcesPath() const { return resourcesPath_; }

 private:
  using Table = std::map<std::string, std::string>;
  void loadTables();

  QString resourcesPath_;
  QStringList languages_;
  bool infoLoaded_ = false;
  std::optional<PropertyDictionary> info_;
  bool tablesLoaded_ = false;
  QStringList localizations_;
  std::vector<Table> tables_;
};

}  // namespace pomrel::qt
