// Step 3: proves that certificate and key are a pair and that exactly the
// files to be installed work in a real TLS handshake over the loopback
// interface; presets the server's certificate folder as the target.
#include "core/CertImportCore.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "core/CoreText.h"
#include "system/OrvoRegistryAccess.h"
#include "tls/LoopbackTlsTest.h"

#include <exception>

namespace orvo::core {

namespace {

const QString kFailedPrefix = QStringLiteral("Verification of certificate NOT successful: ");

} // namespace

bool TCertImportCore::StartupCheck() {
  if (fEnv.loadOpenSSL && fEnv.loadOpenSSL()) {
    return true;
  }
  fInteraction.Tell({MsgKind::Error, QStringLiteral("Error loading OpenSSL library")});
  return false;
}

bool TCertImportCore::VerifyCertificate() {
  bool result = false;
  try {
    RunVerification(result);
  } catch (const std::exception& e) {
    ShowVerificationFailure(QString::fromUtf8(e.what()));
    result = false;
  }
  return result;
}

void TCertImportCore::RunVerification(bool& aResult) {
  const BusyScope busy(fInteraction);
  PresetServerFolder();
  fInteraction.ShowCheck(CheckStage::KeyPair, CheckState::Pending);
  fInteraction.ShowCheck(CheckStage::TlsConnection, CheckState::Pending);
  // Paint the page, but keep the user's clicks out while the checks run.
  fInteraction.KeepPainted();

  QString reason;
  fTlsReasons.clear();
  const bool keyOk = VerifyKeyPair();
  if (!keyOk) {
    reason = QStringLiteral(
        "the public key of the certificate and the provided private key are not a pair.");
  }
  // Paint the page, but keep the user's clicks out while the checks run.
  fInteraction.KeepPainted();
  bool sslOk = false;
  if (keyOk) {
    sslOk = VerifySSLConnection();
    if (!sslOk) {
      reason = QStringLiteral("the certificate does not work with a real SSL Connection.");
    }
  }
  aResult = keyOk && sslOk;
  if (aResult) {
    fInteraction.ShowVerdict(true, QStringLiteral("Verification of certificate successful"));
  } else {
    // The fixed reason line, then why the files or the handshake failed.
    ShowVerificationFailure(reason, fTlsReasons);
  }
}

void TCertImportCore::PresetServerFolder() {
  std::string installFolder;
  fIsOrvoCoreInstallation = GetCoreExePath(installFolder);
  if (!fIsOrvoCoreInstallation) {
    return;
  }
  fOrvoCoreCertPath = WithTrailingSeparator(ToQ(installFolder)) + QStringLiteral("cert/");
  fInteraction.TargetPreset(fOrvoCoreCertPath);
}

void TCertImportCore::ShowVerificationFailure(const QString& aReason, const TStrings& aDetails) {
  fInteraction.ShowVerdict(false, kFailedPrefix + aReason);
  QString detail = QStringLiteral("Reason(s):") + aReason;
  TStrings reasons{ToStd(aReason)};
  for (const std::string& line : aDetails) {
    detail += QStringLiteral("\r\n") + ToQ(line);
    reasons.push_back(line);
  }
  fInteraction.ShowErrorDetail({QStringLiteral("Verification Error"),
                                QStringLiteral("Verification of certificate NOT successful"),
                                detail, reasons});
}

bool TCertImportCore::VerifyKeyPair() {
  const bool ok = fCertValidator->CheckPKMatchesCert(fProvidedCert, fProvidedKey.get());
  fInteraction.ShowCheck(CheckStage::KeyPair, ok ? CheckState::Passed : CheckState::Failed);
  return ok;
}

bool TCertImportCore::VerifySSLConnection() {
  TStrings errors;
  (void)ExportTestCertificate(*fProvidedCert, errors);
  if (!ExportTestKey(*fProvidedKey)) {
    errors.push_back("Coud n't write file to location '" + ToStd(fDataPath) + "orvo.key'");
  }
  TStrings tlsErrors;
  bool ok = false;
  try {
    ok = fTlsTest->VerifySSLConnectionIsPossible(ToStd(fDataPath), tlsErrors);
  } catch (const std::exception& e) {
    // The test reports its failures as reasons; anything else (memory) is
    // one more reason.
    tlsErrors.emplace_back(e.what());
    ok = false;
  }
  fTlsReasons.clear();
  if (!ok) {
    fTlsReasons = errors;
    fTlsReasons.insert(fTlsReasons.end(), tlsErrors.begin(), tlsErrors.end());
  }
  fInteraction.ShowCheck(CheckStage::TlsConnection, ok ? CheckState::Passed : CheckState::Failed);
  return ok;
}

bool TCertImportCore::ExportTestCertificate(TOrvoStoreCertificate& aCert, TStrings& aErrors) {
  return fStore && fStore->ExportCertificateAndChain(ToStd(fDataPath), aCert, aErrors);
}

bool TCertImportCore::ExportTestKey(TOrvoSSLPrivateKey& aKey) {
  return aKey.SaveOrvoKeyFile(ToStd(fDataPath + QStringLiteral("orvo.key")));
}

} // namespace orvo::core
