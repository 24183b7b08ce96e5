#include "wizard/UnhandledError.h"

#include "ui/ModalUi.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <exception>

namespace orvo {

QString ApplicationErrorText(const QString& aMessage) {
  if (!aMessage.isEmpty() && aMessage.back().unicode() > 46) {
    return aMessage + QLatin1Char('.');
  }
  return aMessage;
}

QString ApplicationTitle() {
  const QString path = QCoreApplication::applicationFilePath();
  return path.isEmpty() ? QStringLiteral("orvo-cert-importer") : QFileInfo(path).fileName();
}

void RunGuarded(ui::ModalUi& aModal, const std::function<void()>& aHandler) {
  QString message;
  try {
    aHandler();
    return;
  } catch (const std::exception& e) {
    message = QString::fromUtf8(e.what());
  } catch (...) {
    message = QStringLiteral("Unknown error");
  }
  try {
    aModal.messageBox(ui::MsgKind::Error, ApplicationErrorText(message), ui::MbOk,
                      ApplicationTitle());
  } catch (...) {
    // Nothing more can be reported; the message loop must go on.
  }
}

} // namespace orvo
