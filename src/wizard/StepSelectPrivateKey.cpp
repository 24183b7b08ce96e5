// Step 2: the private key of the certificate, from a key file or pasted text.
// Whether it belongs to the certificate is proved in step 3.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "ui/FrmSelectPrivateKey.h"
#include "ui/ModalUi.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardText.h"

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
  TStrings errors;
  bool ok = false;
  std::shared_ptr<TOrvoSSLPrivateKey> key;
  w.fProvidedKey = nullptr; // a failed check leaves no key behind
  auto& frame = *w.fFrameSelectKey;
  if (frame.RBFile->isChecked()) {
    const QString fileName = frame.EdtFile->text();
    if (TrimControls(fileName).isEmpty()) {
      w.Modal().messageBox(ui::MsgKind::Information,
                           QStringLiteral("Select a file or paste a text that contains the private "
                                          "key for the selected certificate."),
                           ui::MbOk);
    } else {
      key = GetKeyFromFile(w, fileName, ok, errors);
    }
  }
  if (frame.RBPaste->isChecked()) {
    const QString text = LinesWithCrLf(frame.MClipboard->toPlainText());
    if (TrimControls(text).isEmpty()) {
      w.Modal().messageBox(ui::MsgKind::Information,
                           QStringLiteral("Paste a text or select a file that contains the private "
                                          "key for the selected certificate."),
                           ui::MbOk);
    } else {
      key = GetKeyFromPastedText(w, text, ok, errors);
    }
  }
  if (ok) {
    w.fProvidedKey = key;
    return true;
  }
  if (!errors.empty()) {
    w.Modal().showErrorDetail(QStringLiteral("Error verifying the provided private key source."),
                              QStringLiteral("No valid private key could be found."),
                              ReasonText(errors));
  }
  return false;
}

std::shared_ptr<TOrvoSSLPrivateKey> ProductSteps::GetKeyFromFile(TCertImportWizardMain& w,
                                                                 const QString& aFileName,
                                                                 bool& aOk, TStrings& aErrors) {
  aOk = w.fCertValidator->ReadPKFromFile(ToStd(aFileName));
  if (aOk) {
    return w.fCertValidator->PK();
  }
  // Content that is no key, or a key of an unsupported type, is named; the
  // general reason stays for a missing file and a cancelled passphrase.
  const std::string& problem = w.fCertValidator->LastReadProblem();
  aErrors.push_back(!problem.empty()
                        ? problem
                        : "Could not read the private key from the provided filename. The file "
                          "format is unknown or the passphrase is not valid.");
  return nullptr;
}

std::shared_ptr<TOrvoSSLPrivateKey> ProductSteps::GetKeyFromPastedText(TCertImportWizardMain& w,
                                                                       const QString& aText,
                                                                       bool& aOk,
                                                                       TStrings& aErrors) {
  aOk = w.fCertValidator->ReadPKFromString(ToStd(aText));
  if (aOk) {
    return w.fCertValidator->PK();
  }
  const std::string& problem = w.fCertValidator->LastReadProblem();
  aErrors.push_back(!problem.empty()
                        ? problem
                        : "Could not read the private key from the provided text. The file format "
                          "is unknown or the passphrase is not valid.");
  return nullptr;
}

} // namespace orvo
