// Step 2 on the window: names the chosen certificate and hands the key
// source to the core.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertificate.h"
#include "core/CoreText.h"
#include "ui/FrmSelectPrivateKey.h"
#include "wizard/SSLCertImporterMain.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <exception>

namespace orvo {

bool ProductSteps::ShowStepSelectPrivateKey(TCertImportWizardMain& w) {
  w.BtnBack->show();
  w.BtnNext->setText(QStringLiteral("Next Step >"));
  w.BtnNext->setEnabled(true);
  try {
    if (w.fFrameSelectKey == nullptr) {
      w.fFrameSelectKey = new ui::TFrmSelectPrivateKey(w.Modal(), &w);
      w.fFrameSelectKey->hide();
    }
    w.fFrameSelectKey->TxtCert->setText(
        w.fProvidedCert != nullptr ? ToQ(w.fProvidedCert->DisplayText()) : QString());
    w.fFrameSelectKey->TxtCert->adjustSize();
    w.ShowStepPage(2, w.fFrameSelectKey->PnlFrmSelectkey,
                   QStringLiteral("Step 2: Provide the Private Key for the Certificate"));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool ProductSteps::CheckPrivateKeySource(TCertImportWizardMain& w) {
  auto& frame = *w.fFrameSelectKey;
  core::KeySource source;
  source.kind = core::KeySourceKind::None;
  if (frame.RBFile->isChecked()) {
    source = {core::KeySourceKind::File, frame.EdtFile->text()};
  } else if (frame.RBPaste->isChecked()) {
    source = {core::KeySourceKind::Text, frame.MClipboard->toPlainText()};
  }
  const bool ok = CoreOf(w).CheckPrivateKeySource(source);
  MirrorCore(w);
  return ok;
}

} // namespace orvo
