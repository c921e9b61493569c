// The shipped translations: every language's table holds exactly the English
// keys, and the user's locale, as the environment sets it, chooses among them
// with English and then the key itself as fallbacks.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/plist_io.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

using Table = std::map<std::string, std::string>;
using Environment = std::vector<std::pair<QString, QString>>;

const QString kEnglish = QStringLiteral("en");
const QStringList kTranslations{"ja", "de", "fr"};

// The table of `language` in `resources`; nullopt when it does not parse as
// a dictionary whose values are all texts.
std::optional<Table> readTable(const QString& resources, const QString& language) {
  QFile file(resources + "/" + language + ".lproj/Localizable.strings");
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray bytes = file.readAll();
  const auto plist = sim::parsePropertyList(std::string_view(bytes.constData(), bytes.size()));
  if (!plist || plist->dictionary() == nullptr) return std::nullopt;
  Table table;
  for (const auto& [key, value] : *plist->dictionary()) {
    if (value.string() == nullptr) return std::nullopt;
    table.emplace(key, *value.string());
  }
  return table;
}

std::multiset<std::string> placeholders(const std::string& text) {
  static const std::regex kPlaceholder("%[0-9]+");
  std::multiset<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kPlaceholder);
       it != std::sregex_iterator(); ++it) {
    found.insert(it->str());
  }
  return found;
}

// Runs the locale probe on `resources` in an environment whose only locale
// settings are `locale`, and returns the text it printed for each key.
std::vector<std::string> textsUnderLocale(const QString& resources, const Environment& locale,
                                          const std::vector<std::string>& keys) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG"}) {
    environment.remove(name);
  }
  for (const auto& [name, value] : locale) environment.insert(name, value);

  QStringList arguments{resources};
  for (const std::string& key : keys) arguments << QString::fromStdString(key);
  QProcess probe;
  probe.setProcessEnvironment(environment);
  probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  probe.start(QStringLiteral(POMREL_TEST_LOCALE_PROBE), arguments);
  if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
      probe.exitCode() != 0) {
    ADD_FAILURE() << "the locale probe failed";
    return {};
  }
  std::vector<std::string> texts;
  const QByteArray output = probe.readAllStandardOutput();
  for (qsizetype start = 0; start < output.size();) {
    const qsizetype end = output.indexOf('\0', start);
    if (end < 0) break;
    texts.emplace_back(output.constData() + start, static_cast<std::size_t>(end - start));
    start = end + 1;
  }
  return texts;
}

TEST(LocalizationTest, EveryLanguageHasExactlyTheEnglishKeysWithTheirPlaceholders) {
  const auto english = readTable(kBundleResources, kEnglish);
  ASSERT_TRUE(english.has_value()) << "the English table does not parse";
  for (const QString& language : kTranslations) {
    SCOPED_TRACE(language.toStdString());
    const auto table = readTable(kBundleResources, language);
    ASSERT_TRUE(table.has_value()) << "the table is missing or does not parse";
    for (const auto& [key, text] : *english) {
      const auto found = table->find(key);
      if (found == table->end()) {
        ADD_FAILURE() << "no text for " << key;
        continue;
      }
      EXPECT_FALSE(found->second.empty()) << key;
      EXPECT_EQ(placeholders(found->second), placeholders(text)) << key;
    }
    for (const auto& [key, text] : *table) {
      EXPECT_TRUE(english->count(key)) << key << " is not an English key";
    }
    // The sentences are translated, not copies of the English ones.
    for (const char* key : {"MSG_EjectFail", "MSG_NotInstall", "MSG_RemoveSafely", "PROMPT_Message",
                            "PROMPT_Retry", "BUTTON_Cancel"}) {
      EXPECT_NE(table->at(key), english->at(key)) << key;
    }
  }
}

TEST(LocalizationTest, EveryTextOfTheInterfaceResourceIsAKeyWithAnEnglishText) {
  const auto english = readTable(kBundleResources, kEnglish);
  ASSERT_TRUE(english.has_value());
  QFile ui(kBundleResources + "/MainMenu.ui");
  ASSERT_TRUE(ui.open(QIODevice::ReadOnly));
  QXmlStreamReader reader(&ui);
  std::set<std::string> keys;
  while (!reader.atEnd()) {
    reader.readNext();
    if (reader.isStartElement() && reader.name() == QLatin1String("string") &&
        reader.attributes().value("notr") != QLatin1String("true")) {
      keys.insert(reader.readElementText().toStdString());
    }
  }
  ASSERT_FALSE(reader.hasError()) << reader.errorString().toStdString();
  EXPECT_GE(keys.size(), 8U) << "the interface resource's texts were not found";
  for (const std::string& key : keys) EXPECT_TRUE(english->count(key)) << key;
}

TEST(LocalizationTest, TheLocaleChoosesTheLanguageWithEnglishAndTheKeyAsFallbacks) {
  const auto english = readTable(kBundleResources, kEnglish);
  ASSERT_TRUE(english.has_value());
  std::vector<std::string> keys;
  for (const auto& entry : *english) keys.push_back(entry.first);
  keys.emplace_back("MSG_NoSuchKey");

  struct Case {
    Environment locale;
    QString language;
  };
  const Case cases[] = {
      {{{"LANG", "de_DE.UTF-8"}}, "de"},
      {{{"LANG", "fr_CA.UTF-8"}}, "fr"},
      {{{"LANG", "ja_JP.UTF-8"}}, "ja"},
      {{{"LANG", "en_GB.UTF-8"}}, "en"},
      {{{"LANG", "es_ES.UTF-8"}}, "en"},
      {{}, "en"},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "fr_FR.UTF-8"}}, "fr"},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "ja_JP.UTF-8"}}, "ja"},
      {{{"LANG", "es_ES.UTF-8"}, {"LANGUAGE", "es:it:de"}}, "de"},
  };
  for (const Case& c : cases) {
    QString described;
    for (const auto& [name, value] : c.locale) described += name + "=" + value + " ";
    SCOPED_TRACE(described.toStdString());
    const auto table = readTable(kBundleResources, c.language);
    ASSERT_TRUE(table.has_value());
    const std::vector<std::string> texts = textsUnderLocale(kBundleResources, c.locale, keys);
    ASSERT_EQ(texts.size(), keys.size());
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
      EXPECT_EQ(texts[i], table->at(keys[i]))
          << keys[i] << " is not in " << c.language.toStdString();
    }
    EXPECT_EQ(texts.back(), "MSG_NoSuchKey");
  }

  // A translation that lacks a text falls back to English for that text only.
  const auto german = readTable(kBundleResources, "de");
  ASSERT_TRUE(german.has_value());
  PropertyDictionary partialGerman(german->begin(), german->end());
  partialGerman.erase("MSG_NotInstall");
  QTemporaryDir partial;
  ASSERT_TRUE(partial.isValid());
  ASSERT_TRUE(QDir().mkpath(partial.filePath("de.lproj")));
  ASSERT_TRUE(QDir().mkpath(partial.filePath("en.lproj")));
  ASSERT_TRUE(sim::writePropertyListFile(
      partial.filePath("de.lproj/Localizable.strings").toStdString(), partialGerman));
  ASSERT_TRUE(QFile::copy(kBundleResources + "/en.lproj/Localizable.strings",
                          partial.filePath("en.lproj/Localizable.strings")));
  const std::vector<std::string> texts = textsUnderLocale(
      partial.path(), {{"LANG", "de_AT.UTF-8"}}, {"MSG_NotInstall", "MSG_RemoveSafely", "X"});
  EXPECT_EQ(texts, (std::vector<std::string>{english->at("MSG_NotInstall"),
                                             german->at("MSG_RemoveSafely"), "X"}));
}

}  // namespace
}  // namespace pomrel::qt::testing
