#pragma once
// The product's modal seam: real Qt dialogs, shown modally over the main
// window. Message boxes are QMessageBoxes; the error detail dialog is one
// instance reused for the whole run; the passphrase and list dialogs are made
// per request; the pickers are QFileDialogs.

#include "ui/ModalUi.h"

#include <QPointer>

#include <memory>

class QFileDialog;
class QWidget;

namespace orvo::ui {

class TFrmErrorDetailDialog;

class QtModalUi : public ModalUi {
public:
  // aMainWindow: the window the dialogs are centred over and owned by; it may
  // be given later with SetMainWindow (the window is usually created with
  // this object).
  explicit QtModalUi(QWidget* aMainWindow = nullptr);
  ~QtModalUi() override;
  QtModalUi(const QtModalUi&) = delete;
  QtModalUi& operator=(const QtModalUi&) = delete;

  void SetMainWindow(QWidget* aMainWindow);

  MsgButton messageBox(MsgKind kind, const QString& text, MsgButtons buttons,
                       const QString& title = {}) override;
  void showErrorDetail(const QString& header, const QString& errorText,
                       const QString& detailText) override;
  PassphraseAnswer askPassphrase(const PassphraseRequest& request) override;
  CertificateChoice chooseCertificate(const QStringList& lines) override;
  std::optional<QString> browseForFolder(const FolderDialogRequest& request) override;
  std::optional<QString> browseForFile(const FileDialogRequest& request) override;

  // The one error detail dialog of the run, created on first use.
  TFrmErrorDetailDialog& ErrorDialog();

private:
  QWidget* DialogParent() const;

  QPointer<QWidget> fMainWindow;
  // The error dialog belongs to the main window once there is one; before
  // that this object holds it.
  QPointer<TFrmErrorDetailDialog> fErrorDialog;
  std::unique_ptr<TFrmErrorDetailDialog> fUnparentedErrorDialog;
};

// The title of a message box of the given kind.
QString MessageBoxTitle(MsgKind kind);
// The answer of a message box closed without pressing a button: Cancel if
// the set has one, else No, else the only button; Abort for Abort, Retry,
// Ignore.
MsgButton ClosingAnswer(MsgButtons buttons);

// The settings of the pickers, apart so that they can be checked without
// showing a dialog.
void ConfigureFolderDialog(QFileDialog& aDialog, const FolderDialogRequest& aRequest);
void ConfigureFileDialog(QFileDialog& aDialog, const FileDialogRequest& aRequest);

} // namespace orvo::ui
