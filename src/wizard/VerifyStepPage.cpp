// Step 3 and Finish on the window: shows the page, lets the core run the
// checks (it paints their progress through WizardInteraction) and hands the
// page's target settings to the core's Finish.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertificate.h"
#include "core/CoreText.h"
#include "ui/FrmVerifyCertificate.h"
#include "wizard/SSLCertImporterMain.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <exception>

namespace orvo {

void ProductSteps::InitStepPages(TCertImportWizardMain& w) {
  w.fFrameVerifyCertificate = new ui::TFrmVerifyCertificate(w.Modal(), &w);
  w.fFrameVerifyCertificate->hide();
}

bool ProductSteps::ShowStepVerifyCertificate(TCertImportWizardMain& w) {
  bool result = false;
  try {
    RunVerification(w, result);
  } catch (const std::exception& e) {
    CoreOf(w).ShowVerificationFailure(QString::fromUtf8(e.what()));
    result = false;
  }
  MirrorCore(w);
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
  aResult = CoreOf(w).VerifyCertificate();
}

bool ProductSteps::InstallCertificateFiles(TCertImportWizardMain& w) {
  auto& frame = *w.fFrameVerifyCertificate;
  core::InstallSettings settings;
  settings.folder = frame.EdtDir->text();
  settings.backup = frame.CbBackup->isChecked();
  settings.encryptKey = frame.CBEncrypt->isChecked();
  return CoreOf(w).InstallCertificateFiles(settings);
}

} // namespace orvo
