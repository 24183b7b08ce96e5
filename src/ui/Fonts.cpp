#include "ui/Fonts.h"

#include <QFontDatabase>

namespace orvo::ui {

namespace {

QString FaceName() {
  static const QString face = QFontDatabase::hasFamily(QStringLiteral("Tahoma"))
                                  ? QStringLiteral("Tahoma")
                                  : QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
  return face;
}

} // namespace

QFont TahomaFont(int pixelHeight, bool bold) {
  QFont font(FaceName());
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelHeight);
  font.setBold(bold);
  return font;
}

} // namespace orvo::ui
