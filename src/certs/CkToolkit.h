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

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo::ck {

// What a key file or pasted key text holds, told from its content alone.
enum class CkKeyContent {
  PrivateKey,          // an unencrypted private key (PEM or DER)
  EncryptedPrivateKey, // a passphrase may open it
  Pkcs12,              // a PKCS#12 file
  PublicKey,
  Certificate,
  CertificateRequest,
  Parameters, // DH, DSA or EC domain parameters
  OpenSshKey, // OpenSSH's own key format, or an OpenSSH public key line
  Unknown,
};
CkKeyContent InspectKeyContent(const std::string& bytes);
// The same for a file; Unknown when it cannot be read.
CkKeyContent InspectKeyFile(const std::string& path);

// Why the last LoadPfxFile failed.
enum class CkPfxFailure {
  None,
  NotPkcs12,     // the file is no PKCS#12 file at all
  WrongPassword, // the integrity check (or, without one, the decryption) failed
  NoCertificate, // the password fits, but the file holds no certificate
  Unreadable,    // unreadable file, implausible iteration counts, unknown ciphers
};

// Bytes from the system's random generator; empty when it fails.
std::string RandomBytes(std::size_t count);

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
  // PKCS#12; a wrong password fails. getPfxFailure() tells why it failed.
  [[nodiscard]] bool LoadPfxFile(const std::string& path, const std::string& password);
  CkPfxFailure getPfxFailure() const;
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
  // The type of the certificate's key as CkPrivateKey::_keyType names it; for
  // a key that OpenSSL cannot decode, the name (or dotted number) of its
  // algorithm. Empty when no certificate is loaded.
  std::string _publicKeyType() const;
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
  // A key in DER of any type: traditional (PKCS#1 RSA, SEC1 EC) or PKCS#8.
  [[nodiscard]] bool LoadDerFile(const std::string& path);
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
  // Unencrypted PKCS#8 ("BEGIN PRIVATE KEY"), the form of every key type.
  [[nodiscard]] bool SavePkcs8PemFile(const std::string& path) const;
  std::string _getRsaPem() const;
  std::string _getPkcs8Pem() const;
  std::string _getXml() const;

  // The key type as people name it: "RSA", "RSA-PSS", "EC P-256", "EC P-384",
  // "EC P-521", "Ed25519", "Ed448", otherwise "EC " + curve or the
  // algorithm's name ("DSA"). Empty when no key is loaded.
  std::string _keyType() const;
  // The public half as SubjectPublicKeyInfo DER; empty when no key is loaded.
  std::string _publicKeyDer() const;
  // A signature over data with the key's usual digest (none for Ed25519 and
  // Ed448); empty when the key cannot sign.
  std::string _signBytes(const std::string& data) const;

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
  // As for CkPrivateKey.
  std::string _keyType() const;
  std::string _getDer() const;
  // Size of the key in bits (for EC the curve's order); 0 when unknown.
  int getNumBits() const;
  // True when signature is a signature over data by the private half.
  [[nodiscard]] bool VerifyBytes(const std::string& data, const std::string& signature) const;

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
