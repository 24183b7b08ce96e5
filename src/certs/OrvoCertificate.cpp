#include "certs/OrvoCertificate.h"

#include "certs/CertFileUtils.h"
#include "certs/OrvoSSLPrivateKey.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace orvo {

namespace {

void Append(std::vector<std::string>* aList, std::string aLine) {
  if (aList != nullptr) {
    aList->push_back(std::move(aLine));
  }
}

// Removes `aFileName` when it exists; a failure to remove is left to the
// following write, which then fails to create the file.
void DeleteIfExists(const std::string& aFileName) {
  std::error_code ec;
  std::filesystem::remove(aFileName, ec);
}

// Writes `aText` to `aFileName`. Throws when the file cannot be created or
// fully written; a partly written file is removed so that it is never taken
// for a good one.
void WriteTextFile(const std::string& aFileName, const std::string& aText) {
  std::ofstream out(aFileName, std::ios::binary | std::ios::trunc);
  if (!out) {
    throw EFileError("Cannot create file \"" + aFileName + "\". " + std::strerror(errno));
  }
  out.write(aText.data(), static_cast<std::streamsize>(aText.size()));
  out.close();
  if (!out) {
    DeleteIfExists(aFileName);
    throw EFileError("Cannot write file \"" + aFileName + "\".");
  }
}

} // namespace

TOrvoStoreCertificate::TOrvoStoreCertificate(std::unique_ptr<ck::CkCert> certHandle)
    : fCert(std::move(certHandle)) {
  if (!fCert) {
    throw std::invalid_argument("the certificate handle is not assigned");
  }
  ReadCertificateFields();
}

TOrvoStoreCertificate::~TOrvoStoreCertificate() = default;

void TOrvoStoreCertificate::ReadCertificateFields() {
  fHasPrivateKey = fCert->HasPrivateKey();
  fPrivateKeyExportable = fCert->getPrivateKeyExportable();
  fRfc822Name = fCert->_rfc822Name();
  fIsExpired = fCert->getExpired();
  fIsRootCertificate = fCert->getIsRoot();
  fIsSelfSigned = fCert->getSelfSigned();
  fCspName = fCert->_cspName();
  fIsForServerAuth = fCert->getForServerAuthentication();
  fPublicDN = fCert->_subjectDN();
  fCN = fCert->_subjectCN();
  fDN = fCert->_subjectDN();
  fCA = fCert->_subjectC();
  fIssuer = fCert->_issuerO();
  fHasTrustedRoot = fCert->getTrustedRoot();
  fisRevoked = fCert->getRevoked();
  fSerialNumber = fCert->_serialNumber();
  fExpireDate = fCert->_validToStr();
}

std::string TOrvoStoreCertificate::DisplayText() const {
  return ComposeDisplayText(fCN, fIssuer, fIsForServerAuth);
}

std::string TOrvoStoreCertificate::ComposeDisplayText(const std::string& aCN,
                                                      const std::string& aIssuer,
                                                      bool aForServerAuth) {
  // The self-signed mark follows the empty issuer organisation only, not the
  // self-signed fact: that is how the lists have always labelled certificates.
  std::string text = "Certificate for " + aCN;
  text += aIssuer.empty() ? "(self-signed)" : " signed by " + aIssuer;
  if (aForServerAuth) {
    text += " - usable for server authentication";
  }
  return text;
}

void TOrvoStoreCertificate::AppendHeading(std::vector<std::string>& aList) const {
  aList.push_back("--> " + DisplayText());
}

bool TOrvoStoreCertificate::MatchesOrvoRequirements(std::vector<std::string>* aFailReasons,
                                                    std::vector<std::string>* aWarnings) const {
  const bool ok = fIsForServerAuth && !fIsExpired && !fisRevoked;

  const bool selfSignedNotRoot = fIsSelfSigned && !fIsRootCertificate;
  const bool untrustedIssuer = !fIsSelfSigned && !fHasTrustedRoot;
  if (aWarnings != nullptr && (selfSignedNotRoot || untrustedIssuer)) {
    AppendHeading(*aWarnings);
    if (selfSignedNotRoot) {
      aWarnings->push_back("    is self-signed");
    } else {
      aWarnings->push_back(
          "    We could not determine if the issuer of your certificate is a trusted authority.");
    }
  }

  if (!ok && aFailReasons != nullptr) {
    AppendHeading(*aFailReasons);
    if (!fIsForServerAuth) {
      aFailReasons->push_back("   is not for server authentication");
    }
    if (fIsExpired) {
      aFailReasons->push_back("   is expired");
    }
    if (fisRevoked) {
      aFailReasons->push_back("   has been revoked");
    }
  }
  return ok;
}

bool TOrvoStoreCertificate::ValidateCertChain(std::vector<std::string>* aFailReasons) const {
  const std::unique_ptr<ck::CkCertChain> chain = fCert->GetCertChain();
  if (!chain) {
    if (aFailReasons != nullptr) {
      AppendHeading(*aFailReasons);
      aFailReasons->push_back("   the certificate chain is invalid");
    }
    return false;
  }
  const bool reachesRoot = chain->getReachesRoot();
  const bool signaturesOk = chain->VerifyCertSignatures();
  const int expired = chain->getNumExpiredCerts();
  const bool ok = reachesRoot && signaturesOk && expired == 0;
  if (!ok) {
    if (!reachesRoot) {
      Append(aFailReasons, "the certificate chain does not reach a root certificate");
    }
    if (!signaturesOk) {
      Append(aFailReasons, "the certificate chain signature is not valid");
    }
    if (expired != 0) {
      Append(aFailReasons, "at least one certificate in the certificate chain is expired");
    }
  }
  return ok;
}

bool TOrvoStoreCertificate::ValidateCertsInChain(const ck::CkCertChain* chain,
                                                 std::vector<std::string>& aFailReasons) {
  if (chain == nullptr) {
    return false;
  }
  bool ok = true;
  const int count = chain->getNumCerts();
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<ck::CkCert> member = chain->GetCert(i);
    if (!member) {
      ok = false;
      aFailReasons.push_back("Could not validate the signature of certificate: number " +
                             std::to_string(i) + " of the chain could not be read");
      continue;
    }
    if (!member->VerifySignature()) {
      ok = false;
      // Named from the chain certificate directly: wrapping it would read all
      // its facts, revocation included, just for a line of text.
      std::string line = "Could not validate the signature of certificate: " +
                         ComposeDisplayText(member->_subjectCN(), member->_issuerO(),
                                            member->getForServerAuthentication());
      if (const std::string error = member->_lastErrorText(); !error.empty()) {
        line += " (" + error + ")";
      }
      aFailReasons.push_back(std::move(line));
    }
  }
  return ok;
}

void TOrvoStoreCertificate::AssignPrivateKey(std::shared_ptr<TOrvoSSLPrivateKey> aPK) {
  fAssignedPrivateKey = std::move(aPK);
  fHasPrivateKey = true;
  fPrivateKeyExportable = true;
}

std::shared_ptr<TOrvoSSLPrivateKey> TOrvoStoreCertificate::ExportPrivateKey() {
  if (!fHasPrivateKey || !fPrivateKeyExportable) {
    return nullptr;
  }
  if (!fAssignedPrivateKey) {
    std::unique_ptr<ck::CkPrivateKey> handle = fCert->ExportPrivateKey();
    if (!handle) {
      return nullptr;
    }
    fAssignedPrivateKey = std::make_shared<TOrvoSSLPrivateKey>(std::move(handle));
  }
  return fAssignedPrivateKey;
}

std::unique_ptr<ck::CkPublicKey> TOrvoStoreCertificate::ExportPublicKey() const {
  return fCert->ExportPublicKey();
}

bool TOrvoStoreCertificate::ExportToPEMFile(const std::string& aFileName) const {
  return fCert->ExportCertPemFile(aFileName);
}

bool TOrvoStoreCertificate::ExportCertChainToPEM(const std::string& aFileName,
                                                 std::vector<std::string>* aFailReasons) const {
  const std::unique_ptr<ck::CkCertChain> chain = fCert->GetCertChain();
  if (!chain) {
    Append(aFailReasons, "The certificate Chain is Empty.");
    return false;
  }
  DeleteIfExists(aFileName);
  std::string pem;
  const int count = chain->getNumCerts();
  for (int i = 0; i < count; ++i) {
    if (const std::unique_ptr<ck::CkCert> member = chain->GetCert(i)) {
      pem += member->_exportCertPem();
    }
  }
  WriteTextFile(aFileName, pem);
  std::error_code ec;
  return std::filesystem::exists(aFileName, ec);
}

bool TOrvoStoreCertificate::ExportToPFXFile(const std::string& aFileName) const {
  return fCert->ExportToPfxFile(aFileName, kPfxPassword, true);
}

} // namespace orvo
