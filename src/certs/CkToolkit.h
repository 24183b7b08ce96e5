#pragma once
// The certificate toolkit: certificates, chains, stores, an XML certificate
// vault, private keys, public keys and RSA objects over OpenSSL 3's libcrypto.
//
// Note to maintainers: the model above this layer (store, store certificate,
// private key, validator) was written against a toolkit of flat calls on
// opaque handles. This layer keeps those calls and their names so that the
// model reads the same; each object owns its OpenSSL objects. A call that
// yields an object hands a new one to the caller (std::unique_ptr); nullptr
// means none. Text is UTF-8. Loaders return false on any bad input and never
// throw for it.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo::ck {

class CkCertChain;
class CkPrivateKey;
class CkPublicKey;
class CkXmlCertVault;

// The host name of this computer as certificate warnings show it.
std::string HostNameOfThisComputer();

class CkCert {
public:
  CkCert();
  ~CkCert();
  CkCert(const CkCert&) = delete;
  CkCert& operator=(const CkCert&) = delete;

  // PEM (also bundles), DER and PKCS#7 files.
  [[nodiscard]] bool LoadFromFile(const std::string& path);
  // PKCS#12; a wrong password fails.
  [[nodiscard]] bool LoadPfxFile(const std::string& path, const std::string& password);
  // A pasted PEM block or bare base64 DER.
  [[nodiscard]] bool LoadFromBase64(const std::string& text);
  // One DER-encoded certificate held in memory (store readers).
  [[nodiscard]] bool LoadFromDer(const std::string& der);
  // Store readers: the certificate's private key as its store holds it. A key
  // that is present but cannot be exported is attached as nullptr with
  // exportable false: HasPrivateKey() is then true and ExportPrivateKey() null.
  void AttachPrivateKey(std::unique_ptr<CkPrivateKey> key, bool exportable);

  bool HasPrivateKey() const;
  bool getPrivateKeyExportable() const;
  // Outside the validity period; an unreadable time counts as outside.
  bool getExpired() const;
  bool getNotYetValid() const;
  // Basic constraints CA:TRUE.
  bool getIsCA() const;
  bool getIsRoot() const;
  bool getSelfSigned() const;
  bool getTrustedRoot() const;
  bool getForServerAuthentication() const;
  // Revocation of the certificate and of the intermediates of its verified
  // path (blocking, at most kRevocationTimeout). Asked only of certificates
  // that could otherwise serve: meant for server authentication, valid now,
  // not a CA. Soft-fail: no answer is not revoked, but unknown.
  bool getRevoked() const;
  bool getRevocationUnknown() const;
  // Asks the revocation question for every certificate at once, concurrently
  // and within one overall time-out; whileWaiting (may be empty) runs on the
  // calling thread every few milliseconds until all answers are in. Later
  // getRevoked and getRevocationUnknown calls answer from what was found.
  static void CheckRevocation(const std::vector<const CkCert*>& certs,
                              const std::function<void()>& whileWaiting);
  // A subject alternative name (or, without any, the common name) matches the
  // host name, the fully qualified name or an address of this computer.
  bool getNamesThisComputer() const;

  std::string _subjectCN() const;
  std::string _subjectDN() const;
  std::string _subjectC() const;
  std::string _issuerO() const;
  std::string _rfc822Name() const;
  std::string _cspName() const;
  std::string _serialNumber() const;
  std::string _validToStr() const;

  std::string _exportCertPem() const;
  [[nodiscard]] bool ExportCertPemFile(const std::string& path) const;
  [[nodiscard]] bool ExportToPfxFile(const std::string& path, const std::string& password,
                                     bool includeChain) const;

  void UseCertVault(const CkXmlCertVault& vault);
  // The path the verifier built toward a trust anchor from the certificates
  // at hand; a missing issuer stops it short (getReachesRoot false).
  std::unique_ptr<CkCertChain> GetCertChain() const;
  // Completes a path that stops short with issuers fetched over authority
  // information access (http only, at most four, 3 s in all); they serve every
  // later path. The revocation check does this by itself.
  void FetchMissingIssuers() const;
  // Certificates supplied with this one that could have been its issuers but
  // are expired or not yet valid, and so are not in the path.
  std::vector<std::unique_ptr<CkCert>> GetStaleChainCerts() const;

  std::unique_ptr<CkPrivateKey> ExportPrivateKey() const;
  std::unique_ptr<CkPublicKey> ExportPublicKey() const;
  bool VerifySignature() const;
  std::string _lastErrorText() const;

  // Inner state, for the layer's own files.
  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

class CkCertChain {
public:
  CkCertChain();
  ~CkCertChain();
  int getNumCerts() const;
  std::unique_ptr<CkCert> GetCert(int index) const;
  bool getReachesRoot() const;
  bool VerifyCertSignatures() const;
  int getNumExpiredCerts() const;
  // The verifier's texts for faults of the path that are neither a missing
  // root, a bad signature nor validity (a CA without the CA flag, ...).
  std::vector<std::string> _verifyFaults() const;

  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

class CkCertStore {
public:
  CkCertStore();
  ~CkCertStore();
  [[nodiscard]] bool CreateMemoryStore();
  // Read-only: the local machine's server certificates, then (on the same
  // object, in turn) the current user's.
  [[nodiscard]] bool OpenLocalSystemStore();
  [[nodiscard]] bool OpenCurrentUserStore();
  int getNumCertificates() const;
  std::unique_ptr<CkCert> GetCertificate(int index) const;

  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

class CkXmlCertVault {
public:
  CkXmlCertVault();
  ~CkXmlCertVault();
  [[nodiscard]] bool AddCert(const CkCert& cert);
  [[nodiscard]] bool AddCertChain(const CkCertChain& chain);

  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

class CkPrivateKey {
public:
  CkPrivateKey();
  ~CkPrivateKey();
  CkPrivateKey(const CkPrivateKey&) = delete;
  CkPrivateKey& operator=(const CkPrivateKey&) = delete;

  [[nodiscard]] bool LoadPemFile(const std::string& path);
  [[nodiscard]] bool LoadPkcs8File(const std::string& path);
  [[nodiscard]] bool LoadRsaDerFile(const std::string& path);
  [[nodiscard]] bool LoadEncryptedPemFile(const std::string& path, const std::string& password);
  [[nodiscard]] bool LoadPkcs8EncryptedFile(const std::string& path, const std::string& password);
  [[nodiscard]] bool LoadPvkFile(const std::string& path, const std::string& password);
  [[nodiscard]] bool LoadPem(const std::string& text);
  [[nodiscard]] bool LoadEncryptedPem(const std::string& text, const std::string& password);

  // Key files are created with mode 0600; a file that is replaced keeps its
  // owner, group and mode.
  [[nodiscard]] bool SaveRsaPemFile(const std::string& path) const;
  [[nodiscard]] bool SavePkcs8EncryptedFile(const std::string& password,
                                            const std::string& path) const;
  std::string _getRsaPem() const;
  std::string _getXml() const;

  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

class CkPublicKey {
public:
  CkPublicKey();
  ~CkPublicKey();
  std::string _getXml() const;

  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

class CkRsa {
public:
  CkRsa();
  ~CkRsa();
  void putEncodingMode(const std::string& mode);
  [[nodiscard]] bool ImportPublicKey(const std::string& xml);
  [[nodiscard]] bool ImportPrivateKey(const std::string& xml);
  std::string _encryptStringENC(const std::string& text, bool usePrivateKey);
  std::string _decryptStringENC(const std::string& cipherText, bool usePrivateKey);
  int getNumBits() const;

  struct Data;
  Data& data() const { return *d_; }

private:
  std::unique_ptr<Data> d_;
};

} // namespace orvo::ck
