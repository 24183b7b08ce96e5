#pragma once
// The page of step 3: the chosen certificate, the status of the two checks
// (key pair, then a TLS connection over the loopback interface) and the
// settings of the installation: the target folder and whether the
// certificate files already there are backed up first. The wizard fills the
// status texts and pictures while the import core runs the checks; Finish
// reads the settings.
//
// The frame holds one panel, PnlFrmSelectkey, that fills it; the wizard
// moves that panel into its client panel while the step is shown.

#include "ui/UiParts.h"

#include <QPixmap>
#include <QStringList>
#include <QWidget>

#include <array>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace orvo::ui {

class ModalUi;

class TFrmVerifyCertificate : public QWidget {
  Q_OBJECT
public:
  // aModal shows the folder picker; it must outlive the frame.
  explicit TFrmVerifyCertificate(ModalUi& aModal, QWidget* aParent = nullptr);
  ~TFrmVerifyCertificate() override;

  static constexpr QSize kDesignSize{766, 337};
  static inline const QString kBrowseFolderTitle =
      QStringLiteral("Select a directory that contains certificate file(s).");

  // A server installation was found on this machine.
  bool IsCoreInstallation() const { return fIsCoreInstallation; }
  void SetIsCoreInstallation(bool aIsCore) { fIsCoreInstallation = aIsCore; }
  // The server's certificate folder, ending in a path delimiter.
  const QString& OrvoCorePath() const { return fOrvoCorePath; }
  void SetOrvoCorePath(const QString& aPath) { fOrvoCorePath = aPath; }

  // Disables the folder field, its button and both check boxes (while the
  // checks run).
  void LockInput();
  // Enables the folder field and its button; clears and disables CBEncrypt.
  // CbBackup keeps its state.
  void UnlockInput();

  // Shows status picture aIndex (SpPending, SpPassed, SpFailed) in aImage
  // (ImgverifyKey or ImgconnectLocal) and paints it at once: the checks keep
  // the GUI thread busy.
  void ShowStatus(QLabel* aImage, int aIndex);
  // Sets the status line TxtCert: black text, or pure red for a failure.
  void SetStatusLine(const QString& aText, bool aFailed);

  QWidget* PnlFrmSelectkey = nullptr;
  QLabel* StaticText3 = nullptr;
  QLabel* lblCertInfo = nullptr;
  QLabel* ImgverifyKey = nullptr;
  QLabel* StaticText1 = nullptr;
  QLabel* ImgconnectLocal = nullptr;
  QLabel* StaticText2 = nullptr;
  QLabel* TxtCert = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* EdtDir = nullptr;
  QPushButton* BtnDir = nullptr;
  QCheckBox* CbBackup = nullptr;
  QCheckBox* CBEncrypt = nullptr;
  // The status pictures, 16 x 16 each, indexed by StatusPicture.
  const std::array<QPixmap, 3> ImageList1;

  // Event handlers. EdtDirChange is also run by the wizard after it has set
  // the folder and the installation fields.
  void EdtDirChange();
  void BtnDirClick();
  void PnlFrmSelectkeyResize();

protected:
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override;
  void resizeEvent(QResizeEvent* aEvent) override;

private:
  void BuildStatusLines();
  void BuildTargetSettings();

  ModalUi& fModal;
  TAnchors fAnchors{kDesignSize};
  bool fIsCoreInstallation = false;
  QString fOrvoCorePath;
};

} // namespace orvo::ui
