// The bundle: resources found in the built application bundle, texts by
// language with fallbacks, images with their @2x variants.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/qt/qt_bundle.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

void writeStrings(const QString& folder, const QByteArray& entries) {
  QDir().mkpath(folder);
  QFile file(folder + "/Localizable.strings");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<plist version=\"1.0\"><dict>" +
      entries + "</dict></plist>\n");
}

TEST(QtBundleTest, TheBuiltBundleHasTheTextsOfEveryAlertAndItsIdentifier) {
  QtBundle bundle(kBundleResources, {"en-US"});
  for (const char* key :
       {"MSG_Title", "MSG_EjectFail", "MSG_NotInstall", "MSG_RemoveSafely", "MENU_Disable",
        "MENU_Enable", "MENU_Preferences", "MENU_Quit", "WINDOW_Title", "WINDOW_LoginItem",
        "PROMPT_Title", "PROMPT_Message", "PROMPT_Name", "PROMPT_Password", "PROMPT_Retry"}) {
    const std::string text = bundle.localizedStringForKey(key);
    EXPECT_NE(text, key) << key << " has no English text";
    EXPECT_FALSE(text.empty()) << key;
  }
  EXPECT_EQ(bundle.localizedStringForKey("MSG_Title"), "Pomrel");
  EXPECT_EQ(bundle.localizedStringForKey("MSG_NoSuchKey"), "MSG_NoSuchKey");
  EXPECT_EQ(bundle.localizedStringForKey(""), "");

  const auto info = bundle.infoDictionary();
  ASSERT_TRUE(info.has_value());
  ASSERT_TRUE(info->count("CFBundleIdentifier"));
  const std::string* identifier = info->at("CFBundleIdentifier").string();
  ASSERT_NE(identifier, nullptr);
  EXPECT_FALSE(identifier->empty());
  EXPECT_EQ(*info->at("CFBundleExecutable").string(), "Pomrel");
  ASSERT_NE(info->at("LSUIElement").boolean(), nullptr);
  EXPECT_TRUE(*info->at("LSUIElement").boolean());
}

TEST(QtBundleTest, TextsComeFromTheFirstAvailableLanguageThenEnglishThenTheKey) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  writeStrings(dir.filePath("en.lproj"),
               "<key>A</key><string>English A</string>"
               "<key>B</key><string>English B</string>"
               "<key>N</key><integer>3</integer>");
  writeStrings(dir.filePath("de.lproj"), "<key>A</key><string>Deutsch \xc3\x84</string>");
  writeStrings(dir.filePath("pt_BR.lproj"), "<key>A</key><string>Portugu\xc3\xaas A</string>");
  QDir().mkpath(dir.filePath("fr.lproj"));  // a language folder without a table

  {
    QtBundle german(dir.path(), {"de-CH", "en"});
    EXPECT_EQ(german.localizedStringForKey("A"), "Deutsch \xc3\x84");
    EXPECT_EQ(german.localizedStringForKey("B"), "English B");
    EXPECT_EQ(german.localizedStringForKey("C"), "C");
    EXPECT_EQ(german.localizedStringForKey("N"), "N") << "a value that is not text is no text";
    EXPECT_EQ(german.localizations(), (QStringList{"de.lproj", "en.lproj"}));
  }
  {
    QtBundle brazilian(dir.path(), {"pt-BR"});
    EXPECT_EQ(brazilian.localizedStringForKey("A"), "Portugu\xc3\xaas A");
  }
  {
    QtBundle unknown(dir.path(), {"ja-JP", "ja"});
    EXPECT_EQ(unknown.localizedStringForKey("A"), "English A");
  }
  {
    QtBundle french(dir.path(), {"fr-FR", "de"});
    EXPECT_EQ(french.localizedStringForKey("A"), "English A")
        << "the first language the bundle has decides, even without a table";
  }
}

TEST(QtBundleTest, UnreadableOrMissingTablesGiveTheKey) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QDir().mkpath(dir.filePath("en.lproj"));
  QFile broken(dir.filePath("en.lproj/Localizable.strings"));
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("\"A\" = \"not a property list\"");
  broken.close();

  QtBundle bundle(dir.path(), {"en"});
  EXPECT_EQ(bundle.localizedStringForKey("A"), "A");
  QtBundle empty(dir.filePath("nowhere"), {"en"});
  EXPECT_EQ(empty.localizedStringForKey("MSG_Title"), "MSG_Title");
  EXPECT_FALSE(empty.infoDictionary().has_value());
}

TEST(QtBundleTest, TheStatusImageHasItsDoubleResolutionVariant) {
  QtBundle bundle(kBundleResources, {"en"});
  const auto image = std::dynamic_pointer_cast<QtImage>(bundle.imageNamed("Pomrel16mono"));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->name(), "Pomrel16mono");
  EXPECT_EQ(image->normal().size(), QSize(16, 16));
  EXPECT_EQ(image->doubled().size(), QSize(32, 32));
  EXPECT_TRUE(image->normal().hasAlphaChannel());
  EXPECT_EQ(bundle.imageNamed("NoSuchImage"), nullptr);

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(image->normal().save(dir.filePath("Plain.png")));
  QtBundle plain(dir.path(), {"en"});
  const auto single = std::dynamic_pointer_cast<QtImage>(plain.imageNamed("Plain"));
  ASSERT_NE(single, nullptr);
  EXPECT_TRUE(single->doubled().isNull());
}

}  // namespace
}  // namespace pomrel::qt::testing
