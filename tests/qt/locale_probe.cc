// Prints the texts that the application would show for the user's locale
// (as the environment sets it): `locale_probe RESOURCES KEY...` writes the
// text of each key, each followed by a NUL byte.
#include <QCoreApplication>
#include <cstdio>
#include <string>

#include "platform/qt/qt_bundle.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  QCoreApplication application(argc, argv);
  pomrel::qt::QtBundle bundle(QString::fromLocal8Bit(argv[1]),
                              pomrel::qt::QtBundle::userLanguages());
  for (int i = 2; i < argc; ++i) {
    const std::string text = bundle.localizedStringForKey(argv[i]);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\0', stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
