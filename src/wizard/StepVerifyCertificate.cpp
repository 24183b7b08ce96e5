// Step 3: proves that certificate and key are a pair and that exactly the
// files to be installed work in a real TLS handshake over the loopback
// interface; presets the server's certificate folder as the target.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "system/OrvoRegistryAccess.h"
#include "ui/BusyCursor.h"
#include "ui/FrmVerifyCertificate.h"
#include "ui/ModalUi.h"
#include "ui/Pictures.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardText.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <exception>

namespace orvo {

namespace {

const QString kFailedPrefix = QStringLiteral("Verification of certificate NOT successful: ");

} // namespace

void ProductSteps::InitStepPages(TCertImportWizardMain& w) {
  w.fFrameVerifyCertificate = new ui::TFrmVerifyCertificate(w.Modal(), &w);
  w.fFrameVerifyCertificate->hide();
}

bool ProductSteps::StartupCheck(TCertImportWizardMain& w) {
  if (fEnv.loadOpenSSL && fEnv.loadOpenSSL()) {
    return true;
  }
  w.Modal().messageBox(ui::MsgKind::Error, QStringLiteral("Error loading OpenSSL library"),
                       ui::MbOk);
  w.RequestTermination();
  return false;
}

bool ProductSteps::ShowStepVerifyCertificate(TCertImportWizardMain& w) {
  bool result = false;
  try {
    RunVerification(w, result);
  } catch (const std::exception& e) {
    ShowVerificationFailure(w, QString::fromUtf8(e.what()));
    result = false;
  }
  w.fActiveStep = 3;
  return result;
}

void ProductSteps::RunVerification(TCertImportWizardMain& w, bool& aResult) {
  w.BtnBack->show();
  if (w.fFrameVerifyCertificate == nullptr) {
    InitStepPages(w);
  }
  auto& frame = *w.fFrameVerifyCertificate;
  frame.SetStatusLine(QStringLiteral("Verifying provided certificate and private key...."), false);
  frame.lblCertInfo->setText(ToQ(w.fProvidedCert->DisplayText()));
  frame.lblCertInfo->adjustSize();
  w.ShowStepPage(3, frame.PnlFrmSelectkey, QStringLiteral("Step 3: Verifying Certificate... "));
  frame.LockInput();

  const ui::BusyCursor busy;
  PresetServerFolder(w);
  frame.ShowStatus(frame.ImgverifyKey, ui::SpPending);
  frame.ShowStatus(frame.ImgconnectLocal, ui::SpPending);
  // Paint the page, but keep the user's clicks out while the checks run.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

  QString reason;
  const bool keyOk = VerifyKeyPair(w);
  if (!keyOk) {
    reason = QStringLiteral(
        "the public key of the certificate and the provided private key are not a pair.");
  }
  // Paint the page, but keep the user's clicks out while the checks run.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  bool sslOk = false;
  if (keyOk) {
    sslOk = VerifySSLConnection(w);
    if (!sslOk) {
      reason = QStringLiteral("the certificate does not work with a real SSL Connection.");
    }
  }
  aResult = keyOk && sslOk;
  if (aResult) {
    frame.SetStatusLine(QStringLiteral("Verification of certificate successful"), false);
    frame.UnlockInput();
    w.BtnNext->setEnabled(true);
  } else {
    ShowVerificationFailure(w, reason);
  }
}

void ProductSteps::PresetServerFolder(TCertImportWizardMain& w) {
  std::string installFolder;
  w.fIsOrvoCoreInstallation = GetCoreExePath(installFolder);
  if (!w.fIsOrvoCoreInstallation) {
    return;
  }
  auto& frame = *w.fFrameVerifyCertificate;
  w.fOrvoCoreCertPath = WithTrailingSeparator(ToQ(installFolder)) + QStringLiteral("cert/");
  frame.EdtDir->setText(w.fOrvoCoreCertPath);
  frame.SetIsCoreInstallation(true);
  frame.SetOrvoCorePath(w.fOrvoCoreCertPath);
  frame.EdtDirChange();
  frame.CbBackup->setChecked(true);
  frame.CbBackup->setEnabled(false);
}

void ProductSteps::ShowVerificationFailure(TCertImportWizardMain& w, const QString& aReason) {
  if (w.fFrameVerifyCertificate != nullptr) {
    w.fFrameVerifyCertificate->SetStatusLine(kFailedPrefix + aReason, true);
  }
  w.Modal().showErrorDetail(QStringLiteral("Verification Error"),
                            QStringLiteral("Verification of certificate NOT successful"),
                            QStringLiteral("Reason(s):") + aReason);
}

bool ProductSteps::VerifyKeyPair(TCertImportWizardMain& w) {
  const bool ok = w.fCertValidator->CheckPKMatchesCert(w.fProvidedCert, w.fProvidedKey.get());
  w.fFrameVerifyCertificate->ShowStatus(w.fFrameVerifyCertificate->ImgverifyKey,
                                        ok ? ui::SpPassed : ui::SpFailed);
  return ok;
}

bool ProductSteps::VerifySSLConnection(TCertImportWizardMain& w) {
  TStrings errors;
  (void)ExportTestCertificate(w, *w.fProvidedCert, errors);
  (void)ExportTestKey(w, *w.fProvidedKey);
  QStringList tlsErrors;
  const bool ok = w.fFrameVerifyCertificate->VerifySSLConnectionIsPossible(w.fDataPath, tlsErrors);
  w.fFrameVerifyCertificate->ShowStatus(w.fFrameVerifyCertificate->ImgconnectLocal,
                                        ok ? ui::SpPassed : ui::SpFailed);
  return ok;
}

bool ProductSteps::ExportTestCertificate(TCertImportWizardMain& w, TOrvoStoreCertificate& aCert,
                                         TStrings& aErrors) {
  return w.fStore && w.fStore->ExportCertificateAndChain(ToStd(w.fDataPath), aCert, aErrors);
}

bool ProductSteps::ExportTestKey(TCertImportWizardMain& w, TOrvoSSLPrivateKey& aKey) {
  return aKey.SaveOrvoKeyFile(ToStd(w.fDataPath + QStringLiteral("orvo.key")));
}

} // namespace orvo
