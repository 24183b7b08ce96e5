// Step 1: where the server certificate comes from (the system's stores,
// pasted text or a folder of certificate files), and its checks.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "ui/BusyCursor.h"
#include "ui/FrmSelectCertificate.h"
#include "ui/ModalUi.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardText.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <exception>

namespace orvo {

namespace {

const QString kStepTitle = QStringLiteral("Step 1: Select Certificate Source");
const QString kNoStoreCertificates =
    QStringLiteral("No useful certificates found in Windows Certificate Store");

// The plain, visible files of a folder in the file system's order; sub-folders
// are not searched.
QStringList PlainFilesOf(const QString& aFolder) {
  QStringList files;
  const QDir dir(aFolder);
  const QStringList names = dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
  for (const QString& name : names) {
    files << aFolder + name;
  }
  return files;
}

} // namespace

void ProductSteps::InitValidator(TCertImportWizardMain& w) {
  w.fCertValidator = std::make_shared<TOrvoSSLCertificateValidator>();
  w.fCertValidator->SetOnRequestPassWord(
      [this, &w](const std::string& aFileName, std::string& aPassword, bool aWasWrong) {
        return HandlePasswordRequest(w, aFileName, aPassword, aWasWrong);
      });
}

bool ProductSteps::HandlePasswordRequest(TCertImportWizardMain& w, const std::string& aFileName,
                                         std::string& aPassword, bool aWasWrongPassword) {
  const ui::PassphraseAnswer answer =
      w.Modal().askPassphrase(ui::PassphraseRequest{ToQ(aFileName), aWasWrongPassword});
  if (answer.passOk) {
    aPassword = ToStd(answer.password);
  }
  return answer.passOk;
}

bool ProductSteps::ShowStepSelectCertificate(TCertImportWizardMain& w) {
  const ui::BusyCursor busy;
  w.BtnBack->hide();
  w.BtnNext->setText(QStringLiteral("Next Step >"));
  w.BtnNext->setEnabled(true);
  if (!w.fStore) {
    try {
      w.fStore = std::make_shared<TOrvoCertStore>(ToStd(w.fDataPath));
      w.fStore->SetOnRequestPassWord(
          [this, &w](const std::string& aFileName, std::string& aPassword, bool aWasWrong) {
            return HandlePasswordRequest(w, aFileName, aPassword, aWasWrong);
          });
    } catch (const std::exception&) {
      // Without a store the list stays empty and the other sources still work.
    }
  }
  try {
    if (w.fFrameSelectCert != nullptr) {
      const int selected = w.fFrameSelectCert->LBCerts->currentRow();
      FillCertificateList(w, w.fStore ? w.fStore->Count() : 0);
      if (selected >= 0 && selected < w.fFrameSelectCert->LBCerts->count()) {
        w.fFrameSelectCert->LBCerts->setCurrentRow(selected);
      }
    } else {
      // The frame lives for the whole run as a hidden child of the window;
      // the system's stores are read only this first time.
      w.fFrameSelectCert = new ui::TFrmSelectCertificate(w.Modal(), &w);
      w.fFrameSelectCert->hide();
      FillCertificateList(w, w.fStore ? w.fStore->ReadCertificatesFromStore() : 0);
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
    frame.LBCerts->addItem(ToQ(w.fStore->GetCertByIndex(i)->DisplayText()));
  }
  frame.LBCerts->setEnabled(true);
  frame.RBCertStore->setEnabled(true);
  frame.RBCertStore->setChecked(true);
  frame.LBCerts->setCurrentRow(0);
}

bool ProductSteps::CheckCertificateSource(TCertImportWizardMain& w) {
  TStrings errors;
  TStrings warnings;
  TOrvoStoreCertificate* cert = nullptr;
  bool ok = false;
  auto& frame = *w.fFrameSelectCert;
  if (frame.RBCertStore->isChecked()) {
    cert = GetCertFromStoreList(w, ok, errors, warnings);
  } else if (frame.RBPaste->isChecked()) {
    cert = GetCertFromPastedText(w, ok, errors, warnings);
  } else if (frame.RBDir->isChecked()) {
    cert = GetCertFromDirectory(w, ok, errors, warnings);
  }
  if (ok) {
    ok = CheckKeySize(w, *cert, errors, warnings);
  }
  if (ok) {
    w.fProvidedCert = cert;
    if (!warnings.empty()) {
      QString text = QStringLiteral("There are warnings for certificate(s): ");
      for (const std::string& warning : warnings) {
        text += QStringLiteral("\r\n") + ToQ(warning);
      }
      text += QStringLiteral("\r\nDo you want to proceed?");
      if (w.Modal().messageBox(ui::MsgKind::Warning, text, ui::MbYes | ui::MbCancel) != ui::MbYes) {
        ok = false;
      }
    }
    w.fCertHasPrivateKey = cert->HasExportablePrivateKey();
    w.fProvidedKey = w.fCertHasPrivateKey ? cert->ExportPrivateKey() : nullptr;
  } else if (!errors.empty()) {
    w.Modal().showErrorDetail(QStringLiteral("Error verifying the provided certificate source"),
                              cert != nullptr
                                  ? QStringLiteral("the provided certificate(s) can not be used.")
                                  : QStringLiteral("No valid certificates could be found."),
                              ReasonText(errors));
  }
  ReleaseUnusedCandidates(w.fProvidedCert);
  return ok;
}

TOrvoStoreCertificate* ProductSteps::GetCertFromStoreList(TCertImportWizardMain& w, bool& aOk,
                                                          TStrings& aErrors, TStrings& aWarnings) {
  const int row = w.fFrameSelectCert->LBCerts->currentRow();
  TOrvoStoreCertificate* cert =
      (w.fStore && row >= 0 && row < w.fStore->Count()) ? w.fStore->GetCertByIndex(row) : nullptr;
  if (cert == nullptr) {
    // Nothing highlighted: there is no certificate to check.
    aOk = false;
    aErrors.push_back("No certificate is selected in the list.");
    return nullptr;
  }
  aOk = cert->MatchesOrvoRequirements(aErrors, aWarnings);
  return cert;
}

TOrvoStoreCertificate* ProductSteps::GetCertFromPastedText(TCertImportWizardMain& w, bool& aOk,
                                                           TStrings& aErrors, TStrings& aWarnings) {
  const QString text = LinesWithCrLf(w.fFrameSelectCert->MClipboard->toPlainText());
  aOk = false;
  if (TrimControls(text).isEmpty()) {
    aErrors.push_back("The pasted text is empty");
    return nullptr;
  }
  std::unique_ptr<TOrvoStoreCertificate> cert;
  if (!w.fStore || !w.fStore->CreateCertFromString(ToStd(text), cert) || !cert) {
    aErrors.push_back("The provided text is not a valid certificate.");
    return nullptr;
  }
  aOk = cert->MatchesOrvoRequirements(aErrors, aWarnings);
  // Kept for the run: fProvidedCert may point to it after a later failed check.
  TOrvoCertList kept;
  kept.push_back(std::move(cert));
  TOrvoStoreCertificate* pasted = kept.front().get();
  return KeepCandidates(std::move(kept), pasted);
}

TOrvoStoreCertificate* ProductSteps::GetCertFromDirectory(TCertImportWizardMain& w, bool& aOk,
                                                          TStrings& aErrors, TStrings& aWarnings) {
  aOk = false;
  if (w.fStore) {
    (void)w.fStore->InitMemoryStore();
  }
  auto& frame = *w.fFrameSelectCert;
  QString folder = frame.EdtDir->text();
  if (TrimControls(folder).isEmpty()) {
    w.Modal().messageBox(ui::MsgKind::Information, QStringLiteral("Please select a directory"),
                         ui::MbOk);
    return nullptr;
  }
  TOrvoCertList candidates;
  const QFileInfo info(folder);
  if (!info.isDir() && info.isFile()) {
    folder = WithTrailingSeparator(info.absolutePath());
    frame.EdtDir->setText(folder);
  }
  if (!QFileInfo(folder).isDir()) {
    w.Modal().messageBox(ui::MsgKind::Error,
                         QStringLiteral("The provided directory does not exist."), ui::MbOk);
    return nullptr;
  }
  bool scanned = false;
  ScanDirectoryForCertificates(w, scanned, folder, candidates, aErrors, aWarnings);
  if (!scanned) {
    return nullptr;
  }
  TOrvoStoreCertificate* chosen = nullptr;
  std::shared_ptr<TOrvoSSLPrivateKey> key;
  if (w.fCertValidator->FindMatchingPKinDir(ToStd(WithTrailingSeparator(folder)), candidates,
                                            chosen, key) &&
      chosen != nullptr) {
    chosen->AssignPrivateKey(key);
  } else if (candidates.size() == 1) {
    chosen = candidates.front().get();
  } else {
    QStringList lines;
    for (const auto& candidate : candidates) {
      lines << ToQ(candidate->DisplayText());
    }
    const ui::CertificateChoice choice = w.Modal().chooseCertificate(lines);
    if (!choice.selected || choice.selectedIndex < 0 ||
        choice.selectedIndex >= static_cast<int>(candidates.size())) {
      return nullptr;
    }
    chosen = candidates[static_cast<std::size_t>(choice.selectedIndex)].get();
  }
  aOk = true;
  return KeepCandidates(std::move(candidates), chosen);
}

TOrvoStoreCertificate* ProductSteps::KeepCandidates(TOrvoCertList aCandidates,
                                                    TOrvoStoreCertificate* aChosen) {
  fKeptCandidates.push_back(std::move(aCandidates));
  return aChosen;
}

void ProductSteps::ReleaseUnusedCandidates(const TOrvoStoreCertificate* aProvided) {
  std::erase_if(fKeptCandidates, [aProvided](const TOrvoCertList& aList) {
    return std::none_of(aList.begin(), aList.end(),
                        [aProvided](const auto& aCert) { return aCert.get() == aProvided; });
  });
}

void ProductSteps::ScanDirectoryForCertificates(TCertImportWizardMain& w, bool& aOk,
                                                const QString& aFolder, TOrvoCertList& aCandidates,
                                                TStrings& aErrors, TStrings& aWarnings) {
  const QStringList files = PlainFilesOf(WithTrailingSeparator(aFolder));
  if (files.isEmpty()) {
    aOk = false;
    aErrors.push_back("the directory does not contain any files.");
  } else if (LoadCertificateFiles(w, files, aCandidates, aErrors, aWarnings)) {
    aOk = true;
  } else {
    aErrors.push_back("the directory contains no valid certificates.");
    aOk = false;
  }
}

bool ProductSteps::LoadCertificateFiles(TCertImportWizardMain& w, const QStringList& aFiles,
                                        TOrvoCertList& aCandidates, TStrings& aErrors,
                                        TStrings& aWarnings) {
  aCandidates.clear();
  for (const QString& file : aFiles) {
    if (!IsCertificateFile(file)) {
      continue;
    }
    std::unique_ptr<TOrvoStoreCertificate> cert;
    if (!w.fStore || !w.fStore->createCertFromFile(ToStd(file), cert) || !cert) {
      // The store names what it found where it can (a PKCS#12 file without
      // a certificate, a .p12 name on other content).
      const std::string problem = w.fStore ? w.fStore->LastLoadProblem() : std::string();
      aErrors.push_back(!problem.empty() ? problem
                                         : "File '" + ToStd(file) + "' is not a certificate.");
    } else if (!IsDuplicateCertificate(*cert, aCandidates) &&
               cert->MatchesOrvoRequirements(aErrors, aWarnings)) {
      aCandidates.push_back(std::move(cert));
    }
  }
  for (auto it = aCandidates.size(); it-- > 0;) {
    if (!aCandidates[it]->ValidateCertChain(aErrors)) {
      aCandidates.erase(aCandidates.begin() + static_cast<std::ptrdiff_t>(it));
    }
  }
  return !aCandidates.empty();
}

bool ProductSteps::IsCertificateFile(const QString& aFileName) {
  return TOrvoSSLCertificateValidator::IsCertificateFile(ToStd(aFileName));
}

bool ProductSteps::IsDuplicateCertificate(const TOrvoStoreCertificate& aCert,
                                          const TOrvoCertList& aCandidates) {
  for (const auto& candidate : aCandidates) {
    if (candidate->SerialNumber() == aCert.SerialNumber()) {
      return true;
    }
  }
  return false;
}

bool ProductSteps::CheckKeySize(TCertImportWizardMain& w, const TOrvoStoreCertificate& aCert,
                                TStrings& aErrors, TStrings& aWarnings) {
  // Keys other than RSA are judged by their type; RSA keeps its size rules.
  switch (w.fCertValidator->CheckCertKeyType(aCert, aErrors, aWarnings)) {
  case TKeyTypeVerdict::Accepted:
    return true;
  case TKeyTypeVerdict::Refused:
    return false;
  case TKeyTypeVerdict::SizeRules:
    break;
  }
  int bits = 0;
  if (!w.fCertValidator->GetCertKeyNumBits(&aCert, bits)) {
    aErrors.push_back("Error reading the public key size.");
    return false;
  }
  if (bits < 1024) {
    aErrors.push_back("The key size is less than 1024 bits, causing browsers not to accept the "
                      "certificate (insecure!!).");
    return false;
  }
  if (bits < 2048) {
    aWarnings.push_back("The key size is below 2048 bits(insecure!).");
  }
  return true;
}

} // namespace orvo
