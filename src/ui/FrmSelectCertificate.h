#pragma once
// The page of step 1: where the server certificate comes from. Three sources
// are offered: a certificate of the system's certificate stores picked from
// a list, a folder of certificate files, or pasted certificate text; a
// fourth, a single file, is laid out but hidden and disabled. The page only
// keeps the source choice in step with what the user touches; filling the
// list and acting on the choice is the wizard's work.
//
// The frame holds one panel, PnlFrmSelectCert, that fills it. The wizard
// moves that panel into its client panel to show the step and gives it back
// afterwards; the frame itself is never placed on a window.

#include "ui/UiParts.h"

#include <QWidget>

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace orvo::ui {

class ModalUi;

class TFrmSelectCertificate : public QWidget {
  Q_OBJECT
public:
  // aModal shows the folder picker and the file-open dialog; it must outlive
  // the frame.
  explicit TFrmSelectCertificate(ModalUi& aModal, QWidget* aParent = nullptr);

  static constexpr QSize kDesignSize{766, 337};
  static inline const QString kBrowseFolderTitle =
      QStringLiteral("Select a directory that contains certificate file(s).");

  // Controls, named as on the design. Owned by the panel.
  QWidget* PnlFrmSelectCert = nullptr;
  QListWidget* LBCerts = nullptr;
  QRadioButton* RBCertStore = nullptr;
  QRadioButton* RBPaste = nullptr;
  QPlainTextEdit* MClipboard = nullptr;
  QLabel* StaticText1 = nullptr;
  QLabel* StaticText2 = nullptr;
  QLabel* StaticText3 = nullptr;
  QLabel* StaticText4 = nullptr;
  QRadioButton* RBDir = nullptr;
  QLineEdit* EdtDir = nullptr;
  QPushButton* BtnDir = nullptr;
  QRadioButton* RBFile = nullptr;
  QLineEdit* EdtFile = nullptr;
  QPushButton* BtnFile = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Selectall1 = nullptr;

  // Event handlers; public so that the wizard and tests can run them.
  void LBCertsClick();
  void LBCertsEnter();
  void EdtDirEnter();
  void BtnDirClick();
  void EdtFileEnter();
  void BtnFileClick();
  void MClipboardEnter();
  void MClipboardChange();
  void Selectall1Click();
  void PnlFrmSelectCertResize();

protected:
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override;
  void resizeEvent(QResizeEvent* aEvent) override;

private:
  void BuildStoreSource();
  void BuildPasteSource();
  void BuildFolderSource();
  void BuildFileSource();
  void SetTabOrder();
  void ConnectHandlers();

  ModalUi& fModal;
  TAnchors fAnchors{kDesignSize};
  QString fFileDialogFolder; // folder of the last file chosen, for the next dialog
};

} // namespace orvo::ui
