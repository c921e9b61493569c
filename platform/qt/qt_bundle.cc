#include "platform/qt/qt_bundle.h"

#include <png.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLibraryInfo>
#include <QLocale>

#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"

namespace pomrel::qt {
namespace {

constexpr const char* kStringsFile = "Localizable.strings";
constexpr const char* kDevelopmentRegionKey = "CFBundleDevelopmentRegion";
// For a bundle whose Info.plist names no development region.
constexpr const char* kDefaultDevelopmentLanguage = "en";

std::optional<PropertyValue> readPropertyList(const QString& path) {
  const posix::PropertyListFile file = posix::readPropertyListFile(
      QFile::encodeName(path).toStdString(), posix::kResourceFileLimit, posix::Links::kFollow);
  if (file.status != posix::FileStatus::kOk) return std::nullopt;
  return file.value;
}

// The forms under which a bundle may name the folder of `language`
// ("pt-BR": "pt-BR", "pt_BR", then "pt").
QStringList folderCandidates(const QString& language) {
  QStringList names{language};
  QString underscored = language;
  underscored.replace(QLatin1Char('-'), QLatin1Char('_'));
  names << underscored;
  const qsizetype cut = underscored.indexOf(QLatin1Char('_'));
  if (cut > 0) names << language.left(cut);
  names.removeDuplicates();
  return names;
}

// A PNG file decoded by libpng into straight (not premultiplied) RGBA, the
// pixels Qt's built-in reader gives. Not through QImageReader: whatever format
// it is told, it first reads the metadata of every image format plugin
// (opening each one's file) to learn which formats they claim, about 0.3 ms
// of CPU before the icon can show. The pixel buffer is bounded as
// QImageReader bounds it.
QImage readPng(const QString& path) {
  const posix::FileRead file =
      posix::readFile(QFile::encodeName(path).toStdString(), posix::kResourceFileLimit);
  if (!file.ok()) return {};
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&png, file.bytes.data(), file.bytes.size()) == 0) return {};
  png.format = PNG_FORMAT_RGBA;
  constexpr qint64 kMiB = qint64{1024} * 1024;
  const qint64 limit = QImageReader::allocationLimit() * kMiB;
  QImage image;
  constexpr qint64 kBytesPerPixel = 4;
  if (limit == 0 || qint64{png.width} * png.height * kBytesPerPixel <= limit) {
    image =
        QImage(static_cast<int>(png.width), static_cast<int>(png.height), QImage::Format_RGBA8888);
  }
  if (image.isNull()) {
    png_image_free(&png);
    return {};
  }
  // Frees what libpng allocated, whether it succeeds or not.
  if (png_image_finish_read(&png, nullptr, image.bits(),
                            static_cast<png_int_32>(image.bytesPerLine()), nullptr) == 0) {
    return {};
  }
  return image;
}

}  // namespace

QtImage::QtImage(std::string name, QImage normal, QImage doubled)
    : name_(std::move(name)), normal_(std::move(normal)), doubled_(std::move(doubled)) {}

QtBundle::QtBundle(QString resourcesPath, QStringList languages)
    : resourcesPath_(std::move(resourcesPath)), languages_(std::move(languages)) {}

QString QtBundle::mainResourcesPath() {
  return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources"));
}

QStringList QtBundle::userLanguages() { return QLocale::system().uiLanguages(); }

std::shared_ptr<Image> QtBundle::imageNamed(const std::string& name) {
  const QString base = resourcesPath_ + QLatin1Char('/') + QString::fromStdString(name);
  QImage normal = readPng(base + QStringLiteral(".png"));
  if (normal.isNull()) return nullptr;
  QImage doubled = readPng(base + QStringLiteral("@2x.png"));
  return std::make_shared<QtImage>(name, std::move(normal), std::move(doubled));
}

const QStringList& QtBundle::localizations() {
  loadTables();
  return localizations_;
}

void QtBundle::loadTables() {
  if (tablesLoaded_) return;
  tablesLoaded_ = true;

  QStringList folders;
  for (const QString& language : languages_) {
    for (const QString& candidate : folderCandidates(language)) {
      const QString folder = candidate + QStringLiteral(".lproj");
      if (QFileInfo::exists(resourcesPath_ + QLatin1Char('/') + folder)) {
        folders << folder;
        break;
      }
    }
    if (!folders.isEmpty()) break;
  }
  QString development = QString::fromLatin1(kDefaultDevelopmentLanguage);
  if (const std::optional<PropertyDictionary>& info = infoDictionary()) {
    const auto found = info->find(kDevelopmentRegionKey);
    if (found != info->end() && found->second.string() != nullptr &&
        !found->second.string()->empty()) {
      development = QString::fromStdString(*found->second.string());
    }
  }
  folders << development + QStringLiteral(".lproj");
  folders.removeDuplicates();

  for (const QString& folder : folders) {
    const auto plist = readPropertyList(resourcesPath_ + QLatin1Char('/') + folder +
                                        QLatin1Char('/') + QString::fromLatin1(kStringsFile));
    if (!plist || plist->dictionary() == nullptr) continue;
    Table table;
    for (const auto& [key, value] : *plist->dictionary()) {
      if (const std::string* text = value.string()) table.emplace(key, *text);
    }
    localizations_ << folder;
    tables_.push_back(std::move(table));
  }
}

std::string QtBundle::localizedStringForKey(const std::string& key) {
  loadTables();
  for (const Table& table : tables_) {
    const auto found = table.find(key);
    if (found != table.end()) return found->second;
  }
  return key;
}

bool QtBundle::loadQtTranslations(QTranslator& translator) {
  if (localizations().isEmpty()) return false;
  QString language = localizations().first();
  language.chop(QStringLiteral(".lproj").size());
  if (language == QLatin1String("en") || language.startsWith(QLatin1String("en_")) ||
      language.startsWith(QLatin1String("en-"))) {
    return false;
  }
  // "qtbase_pt_BR" falls back to "qtbase_pt" within load().
  language.replace(QLatin1Char('-'), QLatin1Char('_'));
  return translator.load(QStringLiteral("qtbase_") + language,
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

const std::optional<PropertyDictionary>& QtBundle::infoDictionary() {
  if (!infoLoaded_) {
    infoLoaded_ = true;
    const auto plist = readPropertyList(resourcesPath_ + QStringLiteral("/../Info.plist"));
    if (plist && plist->dictionary() != nullptr) info_ = *plist->dictionary();
  }
  return info_;
}

}  // namespace pomrel::qt
