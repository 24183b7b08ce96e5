// Step 1: where the server certificate comes from (the system's stores,
// pasted text, a certificate file or a folder of certificate files), and its
// checks.
#include "core/CertImportCore.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "core/CoreText.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <exception>

namespace orvo::core {

namespace {

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

bool TCertImportCore::HandlePasswordRequest(const std::string& aFileName, std::string& aPassword,
                                            bool aWasWrongPassword) {
  const PassphraseReply answer = fInteraction.AskPassphrase(aFileName, aWasWrongPassword);
  if (answer.given) {
    aPassword = answer.password;
  }
  return answer.given;
}

bool TCertImportCore::OpenStore() {
  if (!fStore) {
    try {
      fStore = std::make_shared<TOrvoCertStore>(ToStd(fDataPath));
      fStore->SetOnRequestPassWord(
          [this](const std::string& aFileName, std::string& aPassword, bool aWasWrong) {
            return HandlePasswordRequest(aFileName, aPassword, aWasWrong);
          });
      // Revocation answers are awaited with the page painted.
      fStore->SetOnWait([this] { fInteraction.KeepPainted(); });
    } catch (const std::exception&) {
      // Without a store the list stays empty and the other sources still work.
    }
  }
  return fStore != nullptr;
}

int TCertImportCore::ReadStore() {
  return fStore ? fStore->ReadCertificatesFromStore() : 0;
}

int TCertImportCore::StoreCount() const {
  return fStore ? fStore->Count() : 0;
}

QString TCertImportCore::StoreEntryText(int aIndex) const {
  return ToQ(fStore->GetCertByIndex(aIndex)->DisplayText());
}

bool TCertImportCore::CheckCertificateSource(const CertificateSource& aSource) {
  TStrings errors;
  TStrings warnings;
  TOrvoStoreCertificate* cert = nullptr;
  bool ok = false;
  fScannedFolder.clear();
  switch (aSource.kind) {
  case SourceKind::StoreEntry:
    cert = GetCertFromStoreList(aSource.storeIndex, ok, errors, warnings);
    break;
  case SourceKind::PastedText:
    cert = GetCertFromPastedText(aSource.text, ok, errors, warnings);
    break;
  case SourceKind::File:
  case SourceKind::Pkcs12:
    cert = GetCertFromFile(aSource.path, aSource.kind == SourceKind::Pkcs12, ok, errors, warnings);
    break;
  case SourceKind::Folder:
    cert = GetCertFromDirectory(aSource.path, ok, errors, warnings);
    break;
  }
  if (ok) {
    ok = CheckKeySize(*cert, errors, warnings);
  }
  fWarnings = warnings;
  if (ok) {
    fProvidedCert = cert;
    if (!warnings.empty()) {
      QString text = QStringLiteral("There are warnings for certificate(s): ");
      for (const std::string& warning : warnings) {
        text += QStringLiteral("\r\n") + ToQ(warning);
      }
      text += QStringLiteral("\r\nDo you want to proceed?");
      if (fInteraction.Ask({Topic::CertificateWarnings, MsgKind::Warning, text, MbYes | MbCancel,
                            warnings}) != MbYes) {
        ok = false;
      }
    }
    fCertHasPrivateKey = cert->HasExportablePrivateKey();
    fProvidedKey = fCertHasPrivateKey ? cert->ExportPrivateKey() : nullptr;
  } else if (!errors.empty()) {
    fInteraction.ShowErrorDetail(
        {QStringLiteral("Error verifying the provided certificate source"),
         cert != nullptr ? QStringLiteral("the provided certificate(s) can not be used.")
                         : QStringLiteral("No valid certificates could be found."),
         ReasonText(errors), errors});
  }
  ReleaseUnusedCandidates(fProvidedCert);
  return ok;
}

TOrvoStoreCertificate* TCertImportCore::GetCertFromStoreList(int aRow, bool& aOk, TStrings& aErrors,
                                                             TStrings& aWarnings) {
  const int row = aRow;
  TOrvoStoreCertificate* cert =
      (fStore && row >= 0 && row < fStore->Count()) ? fStore->GetCertByIndex(row) : nullptr;
  if (cert == nullptr) {
    // Nothing highlighted: there is no certificate to check.
    aOk = false;
    aErrors.push_back("No certificate is selected in the list.");
    return nullptr;
  }
  aOk = cert->MatchesOrvoRequirements(aErrors, aWarnings);
  return cert;
}

TOrvoStoreCertificate* TCertImportCore::GetCertFromPastedText(const QString& aText, bool& aOk,
                                                              TStrings& aErrors,
                                                              TStrings& aWarnings) {
  const QString text = LinesWithCrLf(aText);
  aOk = false;
  if (TrimControls(text).isEmpty()) {
    aErrors.push_back("The pasted text is empty");
    return nullptr;
  }
  std::unique_ptr<TOrvoStoreCertificate> cert;
  if (!fStore || !fStore->CreateCertFromString(ToStd(text), cert) || !cert) {
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

TOrvoStoreCertificate* TCertImportCore::GetCertFromDirectory(const QString& aFolder, bool& aOk,
                                                             TStrings& aErrors,
                                                             TStrings& aWarnings) {
  aOk = false;
  if (fStore) {
    (void)fStore->InitMemoryStore();
  }
  QString folder = aFolder;
  if (TrimControls(folder).isEmpty()) {
    fInteraction.Tell({MsgKind::Information, QStringLiteral("Please select a directory")});
    return nullptr;
  }
  TOrvoCertList candidates;
  const QFileInfo info(folder);
  if (!info.isDir() && info.isFile()) {
    folder = WithTrailingSeparator(info.absolutePath());
    fScannedFolder = folder;
  }
  if (!QFileInfo(folder).isDir()) {
    fInteraction.Tell(
        {MsgKind::Error, QStringLiteral("The provided directory does not exist."), MbOk});
    return nullptr;
  }
  bool scanned = false;
  ScanDirectoryForCertificates(scanned, folder, candidates, aErrors, aWarnings);
  if (!scanned) {
    return nullptr;
  }
  TOrvoStoreCertificate* chosen = ChooseCandidate(folder, candidates);
  if (chosen == nullptr) {
    return nullptr;
  }
  aOk = true;
  return KeepCandidates(std::move(candidates), chosen);
}

// One certificate file named by the person: its name need not end as a
// certificate file's does. Its key is looked for beside it.
TOrvoStoreCertificate* TCertImportCore::GetCertFromFile(const QString& aFile, bool aPkcs12,
                                                        bool& aOk, TStrings& aErrors,
                                                        TStrings& aWarnings) {
  aOk = false;
  if (fStore) {
    (void)fStore->InitMemoryStore();
  }
  const QFileInfo info(aFile);
  if (!info.isFile()) {
    aErrors.push_back("File '" + ToStd(aFile) + "' does not exist.");
    return nullptr;
  }
  TOrvoCertList candidates;
  if (!LoadCertificateFiles({aFile}, candidates, aErrors, aWarnings, true, aPkcs12)) {
    return nullptr;
  }
  TOrvoStoreCertificate* chosen =
      ChooseCandidate(WithTrailingSeparator(info.absolutePath()), candidates);
  if (chosen == nullptr) {
    return nullptr;
  }
  aOk = true;
  return KeepCandidates(std::move(candidates), chosen);
}

// The candidate whose key lies in the folder, else the only one, else the one
// the person chooses; nothing when none is chosen.
TOrvoStoreCertificate* TCertImportCore::ChooseCandidate(const QString& aFolder,
                                                        TOrvoCertList& candidates) {
  TOrvoStoreCertificate* chosen = nullptr;
  std::shared_ptr<TOrvoSSLPrivateKey> key;
  if (fCertValidator->FindMatchingPKinDir(ToStd(WithTrailingSeparator(aFolder)), candidates, chosen,
                                          key) &&
      chosen != nullptr) {
    chosen->AssignPrivateKey(key);
  } else if (candidates.size() == 1) {
    chosen = candidates.front().get();
  } else {
    QStringList lines;
    for (const auto& candidate : candidates) {
      lines << ToQ(candidate->DisplayText());
    }
    const std::optional<int> choice = fInteraction.ChooseCertificate(lines);
    if (!choice || *choice < 0 || *choice >= static_cast<int>(candidates.size())) {
      return nullptr;
    }
    chosen = candidates[static_cast<std::size_t>(*choice)].get();
  }
  return chosen;
}

TOrvoStoreCertificate* TCertImportCore::KeepCandidates(TOrvoCertList aCandidates,
                                                       TOrvoStoreCertificate* aChosen) {
  fKeptCandidates.push_back(std::move(aCandidates));
  return aChosen;
}

void TCertImportCore::ReleaseUnusedCandidates(const TOrvoStoreCertificate* aProvided) {
  std::erase_if(fKeptCandidates, [aProvided](const TOrvoCertList& aList) {
    return std::none_of(aList.begin(), aList.end(),
                        [aProvided](const auto& aCert) { return aCert.get() == aProvided; });
  });
}

void TCertImportCore::ScanDirectoryForCertificates(bool& aOk, const QString& aFolder,
                                                   TOrvoCertList& aCandidates, TStrings& aErrors,
                                                   TStrings& aWarnings) {
  const QStringList files = PlainFilesOf(WithTrailingSeparator(aFolder));
  if (files.isEmpty()) {
    aOk = false;
    aErrors.push_back("the directory does not contain any files.");
  } else if (LoadCertificateFiles(files, aCandidates, aErrors, aWarnings)) {
    aOk = true;
  } else {
    aErrors.push_back("the directory contains no valid certificates.");
    aOk = false;
  }
}

bool TCertImportCore::LoadCertificateFiles(const QStringList& aFiles, TOrvoCertList& aCandidates,
                                           TStrings& aErrors, TStrings& aWarnings, bool aAnyName,
                                           bool aPkcs12) {
  aCandidates.clear();
  // Every file is read first, so that the revocation question is asked for
  // all certificates at once (one time-out for all, the window painted
  // meanwhile); the findings then follow in file order.
  struct Loaded {
    std::unique_ptr<TOrvoStoreCertificate> cert;
    std::string problem;
  };
  std::vector<Loaded> loaded;
  for (const QString& file : aFiles) {
    if (!aAnyName && !IsCertificateFile(file)) {
      continue;
    }
    Loaded entry;
    const bool ok = fStore && (aPkcs12 ? fStore->createCertFromPkcs12File(ToStd(file), entry.cert)
                                       : fStore->createCertFromFile(ToStd(file), entry.cert));
    if (!ok || !entry.cert) {
      // The store names what it found where it can (a PKCS#12 file without
      // a certificate, a .p12 name on other content).
      const std::string problem = fStore ? fStore->LastLoadProblem() : std::string();
      entry.cert.reset();
      entry.problem =
          !problem.empty() ? problem : "File '" + ToStd(file) + "' is not a certificate.";
    }
    loaded.push_back(std::move(entry));
  }
  if (fStore) {
    std::vector<const TOrvoStoreCertificate*> certs;
    for (const Loaded& entry : loaded) {
      if (entry.cert) {
        certs.push_back(entry.cert.get());
      }
    }
    TOrvoStoreCertificate::CheckRevocation(certs, fStore->OnWait());
  }
  for (Loaded& entry : loaded) {
    if (!entry.cert) {
      aErrors.push_back(entry.problem);
    } else if (!IsDuplicateCertificate(*entry.cert, aCandidates) &&
               entry.cert->MatchesOrvoRequirements(aErrors, aWarnings)) {
      aCandidates.push_back(std::move(entry.cert));
    }
  }
  for (auto it = aCandidates.size(); it-- > 0;) {
    if (!aCandidates[it]->ValidateCertChain(aErrors)) {
      aCandidates.erase(aCandidates.begin() + static_cast<std::ptrdiff_t>(it));
    }
  }
  return !aCandidates.empty();
}

bool TCertImportCore::IsCertificateFile(const QString& aFileName) {
  return TOrvoSSLCertificateValidator::IsCertificateFile(ToStd(aFileName));
}

bool TCertImportCore::IsDuplicateCertificate(const TOrvoStoreCertificate& aCert,
                                             const TOrvoCertList& aCandidates) {
  for (const auto& candidate : aCandidates) {
    if (candidate->SerialNumber() == aCert.SerialNumber()) {
      return true;
    }
  }
  return false;
}

bool TCertImportCore::CheckKeySize(const TOrvoStoreCertificate& aCert, TStrings& aErrors,
                                   TStrings& aWarnings) {
  // Keys other than RSA are judged by their type; RSA keeps its size rules.
  switch (fCertValidator->CheckCertKeyType(aCert, aErrors, aWarnings)) {
  case TKeyTypeVerdict::Accepted:
    return true;
  case TKeyTypeVerdict::Refused:
    return false;
  case TKeyTypeVerdict::SizeRules:
    break;
  }
  int bits = 0;
  if (!fCertValidator->GetCertKeyNumBits(&aCert, bits)) {
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

} // namespace orvo::core
