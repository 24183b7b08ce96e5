#pragma once
// The page of step 2: the private key of the certificate chosen in step 1,
// from a key file or from pasted key text. The page names the certificate
// and keeps the source choice in step with what the user touches; reading
// the key is the wizard's work.
//
// The frame holds one panel, PnlFrmSelectkey, that fills it; the wizard
// moves that panel into its client panel while the step is shown.

#include "ui/UiParts.h"

#include <QWidget>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace orvo::ui {

class ModalUi;

class TFrmSelectPrivateKey : public QWidget {
  Q_OBJECT
public:
  // aModal shows the file-open dialog; it must outlive the frame.
  explicit TFrmSelectPrivateKey(ModalUi& aModal, QWidget* aParent = nullptr);

  static constexpr QSize kDesignSize{766, 337};

  QWidget* PnlFrmSelectkey = nullptr;
  QRadioButton* RBFile = nullptr;
  QLineEdit* EdtFile = nullptr;
  QPushButton* BtnFile = nullptr;
  QRadioButton* RBPaste = nullptr;
  QPlainTextEdit* MClipboard = nullptr;
  QLabel* TxtCert = nullptr;
  QLabel* StaticText1 = nullptr;
  QLabel* StaticText2 = nullptr;
  QLabel* StaticText3 = nullptr;
  QLabel* StaticText4 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Selectall1 = nullptr;

  // Event handlers.
  void EdtFileEnter();
  void BtnFileClick();
  void MClipboardEnter();
  void MClipboardChange();
  void Selectall1Click();
  void PnlFrmSelectkeyResize();

protected:
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override;
  void resizeEvent(QResizeEvent* aEvent) override;

private:
  void BuildControls();
  void ConnectHandlers();

  ModalUi& fModal;
  TAnchors fAnchors{kDesignSize};
  QString fFileDialogFolder; // folder of the last file chosen, for the next dialog
};

} // namespace orvo::ui
