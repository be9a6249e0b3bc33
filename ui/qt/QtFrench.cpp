#include "ui/qt/QtFrench.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <memory>

namespace velmora::ui::qt {

bool LoadQtFrench(QCoreApplication& app) {
  const QLocale french(QLocale::French, QLocale::France);
  QLocale::setDefault(french);
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(french, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  if (!QCoreApplication::installTranslator(translator.get())) return false;
  // Owned by the application from here, installed for its whole life.
  translator.release()->setParent(&app);
  return true;
}

}  // namespace velmora::ui::qt
