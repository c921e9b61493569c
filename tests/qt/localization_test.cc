// The bundle's texts: every shipped table holds exactly the English keys, in
// typographic apostrophes and, in French, with no-break spaces, with Qt's own
// texts in its language; the first of the user's languages that the
// bundle has is chosen, then the development region's table, then the key.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/plist_io.h"
#include "platform/qt/qt_bundle.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

// The texts of `language`'s table; none unless it is a dictionary of texts.
std::map<std::string, QString> readTable(const QString& language) {
  const QString path = kBundleResources + "/" + language + ".lproj/Localizable.strings";
  const auto plist = posix::parsePropertyList(
      posix::readFile(path.toStdString(), posix::kResourceFileLimit).bytes);
  const PropertyDictionary* entries = plist ? plist->dictionary() : nullptr;
  std::map<std::string, QString> table;
  for (const auto& [key, value] : entries != nullptr ? *entries : PropertyDictionary()) {
    if (value.string() == nullptr) return {};
    table.emplace(key, QString::fromStdString(*value.string()));
  }
  return table;
}

TEST(LocalizationTest, EveryTableHasTheEnglishKeysAndTheInterfaceUsesOnlyThem) {
  const auto english = readTable("en");
  ASSERT_FALSE(english.empty()) << "the English table is missing or does not parse";
  const QRegularExpression placeholder(QStringLiteral("%[0-9]"));
  // French puts a no-break space before ":" ";" "?" "!" "»" and after "«".
  const QRegularExpression unspacedFrench(QStringLiteral("[^\\x{a0}\\x{202f}][:;?!»]|«[^\\x{a0}]"));
  for (const QString language : {"en", "ja", "de", "fr"}) {
    SCOPED_TRACE(language.toStdString());
    const auto table = readTable(language);
    EXPECT_EQ(table.size(), english.size()) << "a key that is not an English key";
    for (const auto& [key, text] : english) {
      ASSERT_TRUE(table.count(key) && !table.at(key).isEmpty()) << "no text for " << key;
      const QString& translated = table.at(key);
      EXPECT_EQ(translated.count(placeholder), text.count(placeholder)) << key;
      EXPECT_FALSE(translated.contains('\'') ||
                   (language == "fr" && translated.contains(unspacedFrench)))
          << key << " (’, and in French no-break spaces): " << translated.toStdString();
    }
    if (language == "en") continue;
    QTranslator qt;
    EXPECT_TRUE(QtBundle(kBundleResources, {language}).loadQtTranslations(qt));
    EXPECT_FALSE(qt.translate("QPlatformTheme", "Cancel").isEmpty()) << "no Qt texts in it";
  }

  QFile ui(kBundleResources + "/MainMenu.ui");
  ASSERT_TRUE(ui.open(QIODevice::ReadOnly));
  for (QXmlStreamReader reader(&ui); !reader.atEnd();) {
    if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == u"string" &&
        reader.attributes().value("notr") != u"true") {
      const std::string key = reader.readElementText().toStdString();
      EXPECT_TRUE(english.count(key)) << key << " in the interface has no English text";
    }
  }
}

void writeStrings(const QString& folder, const QByteArray& entries,
                  const QString& name = "Localizable.strings") {
  QDir().mkpath(folder);
  QFile file(folder + "/" + name);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n");
}

TEST(QtBundleTest, TextsComeFromTheFirstLanguageTheBundleHasThenTheDevelopmentRegionThenTheKey) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString resources = dir.filePath("Resources");
  writeStrings(resources + "/en.lproj",
               "<key>A</key><string>English A</string><key>B</key><string>English B</string>"
               "<key>N</key><integer>3</integer>");
  writeStrings(resources + "/de.lproj", "<key>A</key><string>Deutsch \xc3\x84</string>");
  writeStrings(resources + "/pt_BR.lproj", "<key>A</key><string>Portugu\xc3\xaas A</string>");
  QDir().mkpath(resources + "/fr.lproj");  // a language folder without a table

  const std::pair<QStringList, std::vector<std::string>> cases[] = {
      {{"de-CH", "en"}, {"Deutsch \xc3\x84", "English B", "C", "N"}},
      {{"pt-BR"}, {"Portugu\xc3\xaas A", "English B", "C", "N"}},
      {{"ja-JP", "ja"}, {"English A", "English B", "C", "N"}},
      {{"fr-FR", "de"}, {"English A", "English B", "C", "N"}},  // the first it has decides
  };
  for (const auto& [languages, expected] : cases) {
    SCOPED_TRACE(languages.join(",").toStdString());
    QtBundle bundle(resources, languages);
    std::vector<std::string> texts;
    for (const char* key : {"A", "B", "C", "N"}) texts.push_back(bundle.localizedStringForKey(key));
    EXPECT_EQ(texts, expected);
  }
  EXPECT_EQ(QtBundle(dir.filePath("nowhere"), {"en"}).localizedStringForKey("A"), "A");

  writeStrings(dir.path(), "<key>CFBundleDevelopmentRegion</key><string>de</string>", "Info.plist");
  EXPECT_EQ(QtBundle(resources, {"ja"}).localizedStringForKey("A"), "Deutsch \xc3\x84");
}

}  // namespace
}  // namespace pomrel::qt::testing
