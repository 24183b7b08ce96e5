#pragma once
// Recognises certificate and private-key files by name and content, reads a
// private key from a file or pasted text in any supported format (asking for
// a passphrase through OnRequestPassWord when needed), finds in a folder the
// key file that belongs to one of a list of certificates, proves that a key
// belongs to a certificate and tells the size of a certificate's key.
//
// It produces no messages: answers are Booleans and the wizard words the
// failures. A file that cannot be opened for reading makes the content tests
// throw EFileError (CertFileUtils.h), which leaves the calling operation.

#include "certs/OrvoCertificate.h"
#include "certs/PasswordEvent.h"

#include <memory>
#include <string>
#include <vector>

namespace orvo {

class TOrvoSSLPrivateKey;

class TOrvoSSLCertificateValidator {
public:
  TOrvoSSLCertificateValidator();
  ~TOrvoSSLCertificateValidator();

  // True when a key was read; PK then holds it.
  [[nodiscard]] bool ReadPKFromFile(const std::string& aFileName);
  [[nodiscard]] bool ReadPKFromString(const std::string& aPKString);

  // True when `aPK` is the private key of `aCert`: a fixed text encrypted
  // with the certificate's public key decrypts with the key.
  [[nodiscard]] bool CheckPKMatchesCert(const TOrvoStoreCertificate* aCert,
                                        const TOrvoSSLPrivateKey* aPK) const;

  // Looks at the plain, non-hidden files of `aDir` in the file system's order,
  // reads every key file among them and returns the first certificate of
  // `aCerts` (in list order) that has a matching key, with its first matching
  // key. `acert` keeps its value when nothing matches; `aPK` is null then.
  [[nodiscard]] bool FindMatchingPKinDir(const std::string& aDir, const TOrvoCertList& aCerts,
                                         TOrvoStoreCertificate*& acert,
                                         std::shared_ptr<TOrvoSSLPrivateKey>& aPK);

  // The size in bits of the certificate's public key; false when it cannot
  // be read.
  [[nodiscard]] bool GetCertKeyNumBits(const TOrvoStoreCertificate* aCert,
                                       int& aCertKeyBitSize) const;

  // True when some line of the file contains `aPattern`. Unless
  // `CaseSensitive`, pattern and lines are compared ASCII-upper-cased. A
  // byte-order mark selects UTF-8 or UTF-16; CR, LF and CR LF end lines.
  // Throws EFileError when the file cannot be read.
  [[nodiscard]] static bool ScanFile(const std::string& aFileName, const std::string& aPattern,
                                     bool CaseSensitive);

  // The certificate-file test: the extensions of certificate files, and
  // ".TXT" files that hold "BEGIN CERTIFICATE".
  [[nodiscard]] static bool IsCertificateFile(const std::string& aFileName);
  // The key-file test: an extension containing TXT, KEY or PEM, and a
  // private-key PEM marker in the content.
  [[nodiscard]] static bool IsKeyFile(const std::string& aFileName);

  // Properties.
  const TPasswordEvent& OnRequestPassWord() const { return fOnPassword; }
  void SetOnRequestPassWord(TPasswordEvent aHandler) { fOnPassword = std::move(aHandler); }
  // The key of the last successful read. The caller that asked for it takes
  // it from here; a later read replaces it.
  const std::shared_ptr<TOrvoSSLPrivateKey>& PK() const { return fPK; }

private:
  [[nodiscard]] bool LoadPKFromFile(TOrvoSSLPrivateKey& key, const std::string& path);
  [[nodiscard]] bool LoadPKFromString(TOrvoSSLPrivateKey& key, const std::string& text);
  std::vector<std::shared_ptr<TOrvoSSLPrivateKey>>
  ReadPKsFromFiles(const std::vector<std::string>& aFiles);
  [[nodiscard]] static bool StringContains(const std::string& text, const std::string& pattern,
                                           bool CaseSensitive);
  [[nodiscard]] bool RequestPassword(const std::string& aFileName, std::string& password,
                                     bool aWasWrongPassword) const;

  TPasswordEvent fOnPassword;
  std::shared_ptr<TOrvoSSLPrivateKey> fPK;
};

} // namespace orvo
