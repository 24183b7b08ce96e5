// Step 1 on the window: fills the list of the system's certificates and
// hands the chosen source to the core.
#include "wizard/ProductSteps.h"

#include "ui/BusyCursor.h"
#include "ui/FrmSelectCertificate.h"
#include "wizard/SSLCertImporterMain.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <exception>

namespace orvo {

namespace {

const QString kStepTitle = QStringLiteral("Step 1: Select Certificate Source");
const QString kNoStoreCertificates =
    QStringLiteral("No useful certificates found in Windows Certificate Store");

} // namespace

bool ProductSteps::ShowStepSelectCertificate(TCertImportWizardMain& w) {
  const ui::BusyCursor busy;
  w.BtnBack->hide();
  w.BtnNext->setText(QStringLiteral("Next Step >"));
  w.BtnNext->setEnabled(true);
  core::TCertImportCore& core = CoreOf(w);
  (void)core.OpenStore();
  MirrorCore(w);
  try {
    if (w.fFrameSelectCert != nullptr) {
      const int selected = w.fFrameSelectCert->LBCerts->currentRow();
      FillCertificateList(w, core.StoreCount());
      if (selected >= 0 && selected < w.fFrameSelectCert->LBCerts->count()) {
        w.fFrameSelectCert->LBCerts->setCurrentRow(selected);
      }
    } else {
      // The frame lives for the whole run as a hidden child of the window;
      // the system's stores are read only this first time.
      w.fFrameSelectCert = new ui::TFrmSelectCertificate(w.Modal(), &w);
      w.fFrameSelectCert->hide();
      FillCertificateList(w, core.ReadStore());
    }
    w.ShowStepPage(1, w.fFrameSelectCert->PnlFrmSelectCert, kStepTitle);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void ProductSteps::FillCertificateList(TCertImportWizardMain& w, int aCount) {
  auto& frame = *w.fFrameSelectCert;
  frame.LBCerts->clear();
  if (aCount < 1) {
    frame.LBCerts->addItem(kNoStoreCertificates);
    frame.LBCerts->setEnabled(false);
    frame.RBDir->setChecked(true);
    frame.RBCertStore->setEnabled(false);
    return;
  }
  for (int i = 0; i < aCount; ++i) {
    frame.LBCerts->addItem(CoreOf(w).StoreEntryText(i));
  }
  frame.LBCerts->setEnabled(true);
  frame.RBCertStore->setEnabled(true);
  frame.RBCertStore->setChecked(true);
  frame.LBCerts->setCurrentRow(0);
}

bool ProductSteps::CheckCertificateSource(TCertImportWizardMain& w) {
  auto& frame = *w.fFrameSelectCert;
  core::CertificateSource source;
  if (frame.RBCertStore->isChecked()) {
    source.kind = core::SourceKind::StoreEntry;
    source.storeIndex = frame.LBCerts->currentRow();
  } else if (frame.RBPaste->isChecked()) {
    source.kind = core::SourceKind::PastedText;
    source.text = frame.MClipboard->toPlainText();
  } else if (frame.RBDir->isChecked()) {
    source.kind = core::SourceKind::Folder;
    source.path = frame.EdtDir->text();
  } else {
    return false; // no source chosen: nothing to check
  }
  core::TCertImportCore& core = CoreOf(w);
  const bool ok = core.CheckCertificateSource(source);
  if (!core.ScannedFolder().isEmpty()) {
    frame.EdtDir->setText(core.ScannedFolder());
  }
  MirrorCore(w);
  return ok;
}

} // namespace orvo
