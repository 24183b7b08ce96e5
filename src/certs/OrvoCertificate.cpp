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
  fIsNotYetValid = fCert->getNotYetValid();
  fIsCA = fCert->getIsCA();
  fNamesThisComputer = fCert->getNamesThisComputer();
  fIsRootCertificate = fCert->getIsRoot();
  fIsSelfSigned = fCert->getSelfSigned();
  fCspName = fCert->_cspName();
  fIsForServerAuth = fCert->getForServerAuthentication();
  fPublicDN = fCert->_subjectDN();
  fCN = fCert->_subjectCN();
  fDN = fCert->_subjectDN();
  fCA = fCert->_subjectC();
  fIssuer = fCert->_issuerO();
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

bool TOrvoStoreCertificate::IsRevoked() const {
  return fCert->getRevoked();
}

// Read on first use rather than at construction: the path rests on every
// certificate of a folder, and a folder's files are read one after another.
bool TOrvoStoreCertificate::HasTrustedRoot() const {
  if (!fHasTrustedRoot) {
    fHasTrustedRoot = fCert->getTrustedRoot();
  }
  return *fHasTrustedRoot;
}

void TOrvoStoreCertificate::CheckRevocation(const std::vector<const TOrvoStoreCertificate*>& aCerts,
                                            const std::function<void()>& aWhileWaiting) {
  std::vector<const ck::CkCert*> handles;
  handles.reserve(aCerts.size());
  for (const TOrvoStoreCertificate* cert : aCerts) {
    if (cert != nullptr) {
      handles.push_back(cert->fCert.get());
    }
  }
  ck::CkCert::CheckRevocation(handles, aWhileWaiting);
}

// Warnings under one heading. A certificate authority gets none: it is never
// a server certificate. The checks of a usable certificate's use (its names,
// revocation, the certificates supplied with it) speak only for usable ones.
void TOrvoStoreCertificate::AppendWarnings(std::vector<std::string>& aWarnings,
                                           bool aUsable) const {
  if (fIsCA) {
    return;
  }
  std::vector<std::string> lines;
  if (fIsSelfSigned && !fIsRootCertificate) {
    lines.emplace_back("    is self-signed");
  } else if (!fIsSelfSigned && !HasTrustedRoot()) {
    lines.emplace_back(
        "    We could not determine if the issuer of your certificate is a trusted authority.");
  }
  if (aUsable) {
    if (!fNamesThisComputer) {
      lines.push_back("    does not name this computer (" + ck::HostNameOfThisComputer() + ")");
    }
    if (fCert->getRevocationUnknown()) {
      lines.emplace_back("    revocation could not be checked");
    }
    for (const auto& stale : fCert->GetStaleChainCerts()) {
      lines.push_back("    the chain certificate " +
                      ComposeDisplayText(stale->_subjectCN(), stale->_issuerO(), false) +
                      (stale->getNotYetValid() ? " is not yet valid" : " is expired"));
    }
  }
  if (!lines.empty()) {
    AppendHeading(aWarnings);
    aWarnings.insert(aWarnings.end(), lines.begin(), lines.end());
  }
}

bool TOrvoStoreCertificate::MatchesOrvoRequirements(std::vector<std::string>* aFailReasons,
                                                    std::vector<std::string>* aWarnings) const {
  const bool valid = !fIsExpired && !fIsNotYetValid;
  // Revocation is asked only of a certificate that could otherwise serve.
  const bool revoked = fIsForServerAuth && valid && !fIsCA && IsRevoked();
  const bool ok = fIsForServerAuth && valid && !fIsCA && !revoked;

  if (aWarnings != nullptr) {
    AppendWarnings(*aWarnings, ok);
  }

  if (!ok && aFailReasons != nullptr) {
    AppendHeading(*aFailReasons);
    if (!fIsForServerAuth) {
      aFailReasons->push_back("   is not for server authentication");
    }
    if (fIsCA) {
      aFailReasons->push_back("   is a certificate authority (CA:TRUE), not a server certificate");
    }
    if (fIsExpired) {
      aFailReasons->push_back("   is expired");
    }
    if (fIsNotYetValid) {
      aFailReasons->push_back("   is not yet valid");
    }
    if (revoked) {
      aFailReasons->push_back("   has been revoked");
    }
  }
  return ok;
}

bool TOrvoStoreCertificate::ValidateCertChain(std::vector<std::string>* aFailReasons) const {
  fCert->FetchMissingIssuers();
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
  // The certificate itself was judged by MatchesOrvoRequirements.
  std::vector<std::string> notYetValid;
  for (int i = 1; i < chain->getNumCerts(); ++i) {
    if (const std::unique_ptr<ck::CkCert> member = chain->GetCert(i);
        member && member->getNotYetValid()) {
      notYetValid.push_back("--> " + ComposeDisplayText(member->_subjectCN(), member->_issuerO(),
                                                        member->getForServerAuthentication()));
    }
  }
  const std::vector<std::string> faults = chain->_verifyFaults();
  const bool ok =
      reachesRoot && signaturesOk && expired == 0 && notYetValid.empty() && faults.empty();
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
    for (const std::string& heading : notYetValid) {
      Append(aFailReasons, heading);
      Append(aFailReasons, "   is not yet valid");
    }
    for (const std::string& fault : faults) {
      Append(aFailReasons, "the certificate chain is not valid: " + fault);
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
  fCert->FetchMissingIssuers(); // root.pem holds the fetched issuers too
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
