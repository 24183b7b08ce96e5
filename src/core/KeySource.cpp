// Step 2: the private key of the certificate, from a key file or pasted text.
// Whether it belongs to the certificate is proved in step 3.
#include "core/CertImportCore.h"

#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "core/CoreText.h"

namespace orvo::core {

bool TCertImportCore::CheckPrivateKeySource(const KeySource& aSource) {
  TStrings errors;
  bool ok = false;
  std::shared_ptr<TOrvoSSLPrivateKey> key;
  fProvidedKey = nullptr; // a failed check leaves no key behind
  if (aSource.kind == KeySourceKind::File) {
    const QString fileName = aSource.value;
    if (TrimControls(fileName).isEmpty()) {
      fInteraction.Tell({MsgKind::Information,
                         QStringLiteral("Select a file or paste a text that contains the private "
                                        "key for the selected certificate.")});
    } else {
      key = GetKeyFromFile(fileName, ok, errors);
    }
  }
  if (aSource.kind == KeySourceKind::Text) {
    const QString text = LinesWithCrLf(aSource.value);
    if (TrimControls(text).isEmpty()) {
      fInteraction.Tell({MsgKind::Information,
                         QStringLiteral("Paste a text or select a file that contains the private "
                                        "key for the selected certificate.")});
    } else {
      key = GetKeyFromPastedText(text, ok, errors);
    }
  }
  if (ok) {
    fProvidedKey = key;
    return true;
  }
  if (!errors.empty()) {
    fInteraction.ShowErrorDetail(
        {QStringLiteral("Error verifying the provided private key source."),
         QStringLiteral("No valid private key could be found."), ReasonText(errors), errors});
  }
  return false;
}

std::shared_ptr<TOrvoSSLPrivateKey> TCertImportCore::GetKeyFromFile(const QString& aFileName,
                                                                    bool& aOk, TStrings& aErrors) {
  aOk = fCertValidator->ReadPKFromFile(ToStd(aFileName));
  if (aOk) {
    return fCertValidator->PK();
  }
  // Content that is no key, or a key of an unsupported type, is named; the
  // general reason stays for a missing file and a cancelled passphrase.
  const std::string& problem = fCertValidator->LastReadProblem();
  aErrors.push_back(!problem.empty()
                        ? problem
                        : "Could not read the private key from the provided filename. The file "
                          "format is unknown or the passphrase is not valid.");
  return nullptr;
}

std::shared_ptr<TOrvoSSLPrivateKey>
TCertImportCore::GetKeyFromPastedText(const QString& aText, bool& aOk, TStrings& aErrors) {
  aOk = fCertValidator->ReadPKFromString(ToStd(aText));
  if (aOk) {
    return fCertValidator->PK();
  }
  const std::string& problem = fCertValidator->LastReadProblem();
  aErrors.push_back(!problem.empty()
                        ? problem
                        : "Could not read the private key from the provided text. The file format "
                          "is unknown or the passphrase is not valid.");
  return nullptr;
}

} // namespace orvo::core
