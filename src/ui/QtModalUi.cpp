#include "ui/QtModalUi.h"

#include "ui/FrmErrorDetailDialog.h"
#include "ui/FrmPassword.h"
#include "ui/FrmSelectCertificateFromList.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>

#include <array>
#include <utility>

namespace orvo::ui {

namespace {

constexpr std::array<std::pair<MsgButton, QMessageBox::StandardButton>, 7> kButtonMap = {{
    {MbOk, QMessageBox::Ok},
    {MbCancel, QMessageBox::Cancel},
    {MbYes, QMessageBox::Yes},
    {MbNo, QMessageBox::No},
    {MbAbort, QMessageBox::Abort},
    {MbRetry, QMessageBox::Retry},
    {MbIgnore, QMessageBox::Ignore},
}};

QMessageBox::Icon IconOf(MsgKind kind) {
  switch (kind) {
  case MsgKind::Error:
    return QMessageBox::Critical;
  case MsgKind::Warning:
    return QMessageBox::Warning;
  case MsgKind::Information:
    return QMessageBox::Information;
  case MsgKind::Confirmation:
    return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons StandardButtonsOf(MsgButtons buttons) {
  QMessageBox::StandardButtons result;
  for (const auto& [ours, theirs] : kButtonMap) {
    if ((buttons & ours) != 0) {
      result |= theirs;
    }
  }
  return result;
}

MsgButton OurButton(QMessageBox::StandardButton button) {
  for (const auto& [ours, theirs] : kButtonMap) {
    if (theirs == button) {
      return ours;
    }
  }
  return MbNone;
}

QMessageBox::StandardButton TheirButton(MsgButton button) {
  for (const auto& [ours, theirs] : kButtonMap) {
    if (ours == button) {
      return theirs;
    }
  }
  return QMessageBox::NoButton;
}

// Dialogs are shown over the window that asked for them.
QWidget* WindowOf(QWidget* widget) {
  return widget == nullptr ? nullptr : widget->window();
}

} // namespace

QString MessageBoxTitle(MsgKind kind) {
  switch (kind) {
  case MsgKind::Error:
    return QStringLiteral("Error");
  case MsgKind::Warning:
    return QStringLiteral("Warning");
  case MsgKind::Information:
    return QStringLiteral("Information");
  case MsgKind::Confirmation:
    return QStringLiteral("Confirm");
  }
  return {};
}

MsgButton ClosingAnswer(MsgButtons buttons) {
  for (MsgButton candidate : {MbCancel, MbNo, MbAbort}) {
    if ((buttons & candidate) != 0) {
      return candidate;
    }
  }
  for (const auto& entry : kButtonMap) {
    if ((buttons & entry.first) != 0) {
      return entry.first;
    }
  }
  return MbNone;
}

void ConfigureFolderDialog(QFileDialog& aDialog, const FolderDialogRequest& aRequest) {
  aDialog.setWindowTitle(aRequest.title);
  aDialog.setAcceptMode(QFileDialog::AcceptOpen);
  // Only folders can be chosen, but files are listed too; a typed name must
  // name an existing folder.
  aDialog.setFileMode(QFileDialog::Directory);
  aDialog.setOption(QFileDialog::ShowDirsOnly, false);
  aDialog.setOption(QFileDialog::ReadOnly, false); // keeps the "new folder" button
  if (!aRequest.startFolder.isEmpty() && QFileInfo(aRequest.startFolder).isDir()) {
    aDialog.setDirectory(aRequest.startFolder);
  }
}

void ConfigureFileDialog(QFileDialog& aDialog, const FileDialogRequest& aRequest) {
  aDialog.setWindowTitle(aRequest.title);
  aDialog.setAcceptMode(QFileDialog::AcceptOpen);
  aDialog.setFileMode(QFileDialog::ExistingFile); // path and file must exist
  if (!aRequest.fileNameLabel.isEmpty()) {
    aDialog.setLabelText(QFileDialog::FileName, aRequest.fileNameLabel);
  }
  aDialog.setNameFilters(aRequest.nameFilters);
  if (!aRequest.nameFilters.isEmpty()) {
    aDialog.selectNameFilter(aRequest.nameFilters.first());
  }
  if (!aRequest.startFolder.isEmpty() && QFileInfo(aRequest.startFolder).isDir()) {
    aDialog.setDirectory(aRequest.startFolder);
  }
}

QtModalUi::QtModalUi(QWidget* aMainWindow) : fMainWindow(aMainWindow) {}

QtModalUi::~QtModalUi() = default;

void QtModalUi::SetMainWindow(QWidget* aMainWindow) {
  fMainWindow = aMainWindow;
  if (fUnparentedErrorDialog != nullptr && aMainWindow != nullptr) {
    TFrmErrorDetailDialog* dialog = fUnparentedErrorDialog.release();
    dialog->setParent(aMainWindow, dialog->windowFlags());
  }
}

QWidget* QtModalUi::DialogParent() const {
  return fMainWindow != nullptr ? fMainWindow.data() : QApplication::activeWindow();
}

MsgButton QtModalUi::messageBox(MsgKind kind, const QString& text, MsgButtons buttons,
                                const QString& title) {
  if (buttons == MbNone) {
    buttons = MbOk;
  }
  QMessageBox box(IconOf(kind), title.isEmpty() ? MessageBoxTitle(kind) : title, text,
                  StandardButtonsOf(buttons), DialogParent());
  box.setTextFormat(Qt::PlainText);
  const MsgButton closing = ClosingAnswer(buttons);
  box.setEscapeButton(TheirButton(closing));
  box.exec();
  const MsgButton pressed = OurButton(box.standardButton(box.clickedButton()));
  return pressed == MbNone ? closing : pressed;
}

TFrmErrorDetailDialog& QtModalUi::ErrorDialog() {
  if (fErrorDialog == nullptr) {
    if (fMainWindow != nullptr) {
      fErrorDialog = new TFrmErrorDetailDialog(fMainWindow);
    } else {
      fUnparentedErrorDialog = std::make_unique<TFrmErrorDetailDialog>();
      fErrorDialog = fUnparentedErrorDialog.get();
    }
  }
  return *fErrorDialog;
}

void QtModalUi::showErrorDetail(const QString& header, const QString& errorText,
                                const QString& detailText) {
  TFrmErrorDetailDialog& dialog = ErrorDialog();
  dialog.SetHeader(header);
  dialog.SetErrorText(errorText);
  dialog.Setdetailtext(detailText);
  dialog.exec();
}

PassphraseAnswer QtModalUi::askPassphrase(const PassphraseRequest& request) {
  TFrmPassword dialog(DialogParent());
  dialog.setFilename(request.fileName);
  dialog.setWasWrongPW(request.wasWrongPassword);
  dialog.exec();
  PassphraseAnswer answer;
  answer.passOk = dialog.PassOk();
  if (answer.passOk) {
    answer.password = dialog.Password();
  }
  return answer;
}

CertificateChoice QtModalUi::chooseCertificate(const QStringList& lines) {
  TdFrmSelectCertificateFromList dialog(DialogParent());
  dialog.LBCerts->addItems(lines);
  dialog.exec();
  CertificateChoice choice;
  choice.selected = dialog.Selected();
  choice.selectedIndex = dialog.SelectedCertIndex();
  return choice;
}

std::optional<QString> QtModalUi::browseForFolder(const FolderDialogRequest& request) {
  QFileDialog dialog(WindowOf(request.parent) != nullptr ? WindowOf(request.parent)
                                                         : DialogParent());
  ConfigureFolderDialog(dialog, request);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return dialog.selectedFiles().constFirst();
}

std::optional<QString> QtModalUi::browseForFile(const FileDialogRequest& request) {
  QFileDialog dialog(WindowOf(request.parent) != nullptr ? WindowOf(request.parent)
                                                         : DialogParent());
  ConfigureFileDialog(dialog, request);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return dialog.selectedFiles().constFirst();
}

} // namespace orvo::ui
