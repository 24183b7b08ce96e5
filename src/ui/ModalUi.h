#pragma once
// The one seam for everything modal: message boxes, the error detail dialog,
// the passphrase dialog, the certificate list dialog, the folder picker and
// the file-open dialog. The product shows real Qt dialogs (QtModalUi); tests
// give the window a scripted implementation that records every call and
// answers from a script, so that each text the user would see can be asserted.

#include "core/MessageKinds.h"

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace orvo::ui {

using MsgKind = core::MsgKind;
using MsgButton = core::MsgButton;
using MsgButtons = core::MsgButtons;
using enum core::MsgButton;

struct PassphraseRequest {
  QString fileName; // what the passphrase is for: a file name, or empty
  bool wasWrongPassword = false;
};

struct PassphraseAnswer {
  bool passOk = false; // closed with OK
  QString password;    // as typed; may be empty
};

struct CertificateChoice {
  bool selected = false; // closed with "Select >"
  int selectedIndex = -1;
};

struct FileDialogRequest {
  QString title;
  QString fileNameLabel;   // label of the file-name field
  QStringList nameFilters; // e.g. "*.cer *.crt", in the order shown
  QString startFolder;     // pre-selected only when it exists
  QWidget* parent = nullptr;
};

struct FolderDialogRequest {
  QString title;
  QString startFolder; // pre-selected only when it exists
  QWidget* parent = nullptr;
};

class ModalUi {
public:
  virtual ~ModalUi() = default;

  // A message box of the given kind; title empty means the kind's own title.
  // Returns the button pressed; closing the box returns the Cancel button if
  // the set has one, else No, else the only button.
  virtual MsgButton messageBox(MsgKind kind, const QString& text, MsgButtons buttons,
                               const QString& title = {}) = 0;

  // The one error detail dialog of the run: header, one-line error text and
  // the scrollable reasons.
  virtual void showErrorDetail(const QString& header, const QString& errorText,
                               const QString& detailText) = 0;

  virtual PassphraseAnswer askPassphrase(const PassphraseRequest& request) = 0;

  // One line per candidate, in candidate order.
  virtual CertificateChoice chooseCertificate(const QStringList& lines) = 0;

  // The full path of the chosen folder, or nothing when cancelled.
  virtual std::optional<QString> browseForFolder(const FolderDialogRequest& request) = 0;

  // The full name of the chosen file, or nothing when cancelled.
  virtual std::optional<QString> browseForFile(const FileDialogRequest& request) = 0;
};

} // namespace orvo::ui
