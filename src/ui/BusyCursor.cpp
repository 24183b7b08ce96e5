#include "ui/BusyCursor.h"

#include <QCursor>
#include <QGuiApplication>

namespace orvo::ui {

BusyCursor::BusyCursor() {
  QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

BusyCursor::~BusyCursor() {
  QGuiApplication::restoreOverrideCursor();
}

} // namespace orvo::ui
