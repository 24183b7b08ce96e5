#pragma once
// The page of step 3: the chosen certificate, the status of the two checks
// (key pair, then a TLS connection over the loopback interface) and the
// settings of the installation: the target folder and whether the
// certificate files already there are backed up first. The wizard fills the
// status texts and pictures and runs the checks; Finish reads the settings.
//
// The page also hosts the loopback TLS test (VerifySSLConnectionIsPossible).
// The frame holds one panel, PnlFrmSelectkey, that fills it; the wizard
// moves that panel into its client panel while the step is shown.

#include "ui/UiParts.h"

#include <QPixmap>
#include <QStringList>
#include <QWidget>

#include <array>
#include <filesystem>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace orvo {
class TLoopbackTlsTest;
}

namespace orvo::ui {

class ModalUi;

class TFrmVerifyCertificate : public QWidget {
  Q_OBJECT
public:
  // aModal shows the folder picker; it must outlive the frame.
  // aProgramFolder: where the TLS test looks for cert/dh.pem; empty means the
  // running executable's folder.
  explicit TFrmVerifyCertificate(ModalUi& aModal, QWidget* aParent = nullptr,
                                 const std::filesystem::path& aProgramFolder = {});
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

  // Runs the loopback TLS test with the scratch files orvo.crt, root.pem and
  // orvo.key of aDataPath (a folder ending in '/') and deletes them
  // afterwards; true when a TLS server started with them on 127.0.0.1:51203
  // and a TLS client connected. Each failure appends one reason (a reason
  // from OpenSSL may hold a second line after CR LF). Blocks the GUI thread
  // for the handshake; never throws.
  [[nodiscard]] bool VerifySSLConnectionIsPossible(const QString& aDataPath,
                                                   QStringList& aFailReasons);

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
  std::unique_ptr<TLoopbackTlsTest> fTlsTest;
  TAnchors fAnchors{kDesignSize};
  bool fIsCoreInstallation = false;
  QString fOrvoCorePath;
};

} // namespace orvo::ui
