#pragma once
// One certificate as the importer sees it: a toolkit certificate plus a
// snapshot of the facts that decide whether it can serve the monitoring
// server's web interface, an optional private key, and the checks and
// exports built on them.
//
// The checks never throw. They return a Boolean and append lines to lists the
// caller supplies (a null list is left out). Lines about one certificate
// start with "--> " and the display text; failure details under it are
// indented by three blanks, warnings by four.

#include "certs/CkToolkit.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo {

class TOrvoSSLPrivateKey;

class TOrvoStoreCertificate {
public:
  // Takes over the handle. Throws std::invalid_argument("the certificate
  // handle is not assigned") for a null handle.
  explicit TOrvoStoreCertificate(std::unique_ptr<ck::CkCert> certHandle);
  ~TOrvoStoreCertificate();
  TOrvoStoreCertificate(const TOrvoStoreCertificate&) = delete;
  TOrvoStoreCertificate& operator=(const TOrvoStoreCertificate&) = delete;

  // True when the certificate is meant for server authentication, within its
  // validity, no certificate authority (basic constraints CA:TRUE) and not
  // revoked. Warnings never change the result. Revocation is asked here unless
  // CheckRevocation asked it already.
  [[nodiscard]] bool MatchesOrvoRequirements(std::vector<std::string>* aFailReasons = nullptr,
                                             std::vector<std::string>* aWarnings = nullptr) const;
  [[nodiscard]] bool MatchesOrvoRequirements(std::vector<std::string>& aFailReasons,
                                             std::vector<std::string>& aWarnings) const {
    return MatchesOrvoRequirements(&aFailReasons, &aWarnings);
  }

  // True when the path the verifier builds now reaches a root, its signatures
  // verify, none of its certificates is expired or not yet valid and the
  // verifier found no other fault.
  [[nodiscard]] bool ValidateCertChain(std::vector<std::string>* aFailReasons = nullptr) const;
  [[nodiscard]] bool ValidateCertChain(std::vector<std::string>& aFailReasons) const {
    return ValidateCertChain(&aFailReasons);
  }

  // Asks the revocation question for all of them at once, within one overall
  // time-out; aWhileWaiting (may be empty) runs on the calling thread every
  // few milliseconds meanwhile, so that a window stays painted.
  static void CheckRevocation(const std::vector<const TOrvoStoreCertificate*>& aCerts,
                              const std::function<void()>& aWhileWaiting);

  // True when every certificate of `chain` verifies; false for no chain.
  [[nodiscard]] static bool ValidateCertsInChain(const ck::CkCertChain* chain,
                                                 std::vector<std::string>& aFailReasons);

  // Attaches a key; the certificate then counts as having an exportable
  // private key and ExportPrivateKey returns `aPK`.
  void AssignPrivateKey(std::shared_ptr<TOrvoSSLPrivateKey> aPK);
  // The attached key, or the certificate's own key taken from the toolkit
  // once; the same object on every call. Null when there is none.
  [[nodiscard]] std::shared_ptr<TOrvoSSLPrivateKey> ExportPrivateKey();
  [[nodiscard]] std::unique_ptr<ck::CkPublicKey> ExportPublicKey() const;

  // Writes the certificate alone as PEM; an existing file is overwritten.
  [[nodiscard]] bool ExportToPEMFile(const std::string& aFileName) const;
  // Writes the chain (the certificate first) as consecutive PEM blocks. False
  // with "The certificate Chain is Empty." when no chain can be built. Throws
  // EFileError (CertFileUtils.h) when the file cannot be created or written; a partly
  // written file is removed.
  [[nodiscard]] bool ExportCertChainToPEM(const std::string& aFileName,
                                          std::vector<std::string>* aFailReasons = nullptr) const;
  // PKCS#12 with the chain, protected by kPfxPassword.
  [[nodiscard]] bool ExportToPFXFile(const std::string& aFileName) const;

  static constexpr const char* kPfxPassword = "orvo";

  // Read-only properties.
  ck::CkCert& Handle() const { return *fCert; }
  bool HasPrivateKey() const { return fHasPrivateKey; }
  bool HasExportablePrivateKey() const { return fPrivateKeyExportable; }
  const std::string& Rfc822Name() const { return fRfc822Name; }
  bool IsExpired() const { return fIsExpired; }
  bool IsNotYetValid() const { return fIsNotYetValid; }
  bool isCertificateAuthority() const { return fIsCA; }
  bool isRootCertificate() const { return fIsRootCertificate; }
  bool isSelfSigned() const { return fIsSelfSigned; }
  const std::string& CspName() const { return fCspName; }
  bool isForServerAuthentication() const { return fIsForServerAuth; }
  const std::string& PublicDN() const { return fPublicDN; }
  // Whether the verified path ends at the system's trust store; read on
  // first use, then fixed.
  bool HasTrustedRoot() const;
  // Asked on first use (see CheckRevocation), then fixed.
  bool IsRevoked() const;
  const std::string& SerialNumber() const { return fSerialNumber; }
  const std::string& ExpireDate() const { return fExpireDate; }
  std::string DisplayText() const;

private:
  void ReadCertificateFields();
  static std::string ComposeDisplayText(const std::string& aCN, const std::string& aIssuer,
                                        bool aForServerAuth);
  void AppendHeading(std::vector<std::string>& aList) const;
  void AppendWarnings(std::vector<std::string>& aWarnings, bool aUsable) const;

  std::unique_ptr<ck::CkCert> fCert;
  bool fHasPrivateKey = false;
  bool fPrivateKeyExportable = false;
  std::string fRfc822Name;
  bool fIsExpired = false;
  bool fIsNotYetValid = false;
  bool fIsCA = false;
  bool fNamesThisComputer = true;
  bool fIsRootCertificate = false;
  bool fIsSelfSigned = false;
  std::string fCspName;
  bool fIsForServerAuth = false;
  std::string fPublicDN;
  std::string fCN;
  std::string fDN;
  std::string fCA;
  std::string fIssuer;
  mutable std::optional<bool> fHasTrustedRoot;
  std::string fSerialNumber;
  std::string fExpireDate;
  std::shared_ptr<TOrvoSSLPrivateKey> fAssignedPrivateKey;
};

// An owning list of certificates: removing an entry releases it.
using TOrvoCertList = std::vector<std::unique_ptr<TOrvoStoreCertificate>>;

} // namespace orvo
