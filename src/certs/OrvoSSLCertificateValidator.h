#pragma once
// Recognises certificate and private-key files by name and content, reads a
// private key from a file or pasted text in any supported format (asking for
// a passphrase through OnRequestPassWord when needed), finds in a folder the
// key file that belongs to one of a list of certificates, proves that a key
// belongs to a certificate and tells the size of a certificate's key.
//
// Its answers are Booleans; the wizard words most failures. Where only the
// content can tell why a key read failed (a public key, DH parameters, a key
// of an unsupported type), LastReadProblem() says so in a line for the
// user. A file that cannot be opened for reading makes the content tests
// throw EFileError (CertFileUtils.h), which leaves the calling operation.

#include "certs/OrvoCertificate.h"
#include "certs/PasswordEvent.h"

#include <memory>
#include <string>
#include <vector>

namespace orvo {

class TOrvoSSLPrivateKey;

// How the type of a certificate's key is judged.
enum class TKeyTypeVerdict {
  SizeRules, // RSA and RSA-PSS: the key size decides
  Accepted,  // the type may be used (with a warning where one was added)
  Refused,   // the type is not supported; a reason was added
};

class TOrvoSSLCertificateValidator {
public:
  TOrvoSSLCertificateValidator();
  ~TOrvoSSLCertificateValidator();

  // True when a key of a supported type was read; PK then holds it. A
  // passphrase is asked for only where one can help: for an encrypted key,
  // or where a file mentions encryption and holds a private key. Content
  // that is no private key at all, and a key of an unsupported type, fail
  // at once with LastReadProblem() set.
  [[nodiscard]] bool ReadPKFromFile(const std::string& aFileName);
  [[nodiscard]] bool ReadPKFromString(const std::string& aPKString);
  // Why the last read failed, as a line for the user; empty when the read
  // succeeded, the file is missing, or a passphrase was cancelled or wrong.
  const std::string& LastReadProblem() const { return fLastReadProblem; }

  // True when `aPK` is the private key of `aCert`. RSA keys: a fixed text
  // encrypted with the certificate's public key decrypts with the key. Other
  // types: the public keys are equal and a signature of the key over a random
  // challenge verifies with the certificate's key.
  [[nodiscard]] bool CheckPKMatchesCert(const TOrvoStoreCertificate* aCert,
                                        const TOrvoSSLPrivateKey* aPK) const;

  // Looks at the plain, non-hidden files of `aDir` in the file system's order,
  // reads every key file among them and returns the first certificate of
  // `aCerts` (in list order) that has a matching key, with its first matching
  // key. `acert` keeps its value when nothing matches; `aPK` is null then.
  [[nodiscard]] bool FindMatchingPKinDir(const std::string& aDir, const TOrvoCertList& aCerts,
                                         TOrvoStoreCertificate*& acert,
                                         std::shared_ptr<TOrvoSSLPrivateKey>& aPK);

  // The size in bits of the certificate's RSA or RSA-PSS public key; false
  // when it cannot be read.
  [[nodiscard]] bool GetCertKeyNumBits(const TOrvoStoreCertificate* aCert,
                                       int& aCertKeyBitSize) const;

  // The rule for the type of the certificate's key. Appends "The key type "
  // + name + " is not accepted by common browsers." to aWarnings for EC
  // P-521, Ed25519 and Ed448, and "The key type " + name + " is not
  // supported." to aErrors for types other than those, RSA, RSA-PSS, EC P-256
  // and EC P-384.
  TKeyTypeVerdict CheckCertKeyType(const TOrvoStoreCertificate& aCert,
                                   std::vector<std::string>& aErrors,
                                   std::vector<std::string>& aWarnings) const;
  // Whether a key of this type (a KeyType() name) can be used at all.
  [[nodiscard]] static bool IsSupportedKeyType(const std::string& aKeyType);

  // True when some line of the file contains `aPattern`. Unless
  // `CaseSensitive`, pattern and lines are compared ASCII-upper-cased. A
  // byte-order mark selects UTF-8 or UTF-16; CR, LF and CR LF end lines.
  // Throws EFileError when the file cannot be read.
  [[nodiscard]] static bool ScanFile(const std::string& aFileName, const std::string& aPattern,
                                     bool CaseSensitive);

  // The certificate-file test: the extensions of certificate files, and
  // ".TXT" files that hold "BEGIN CERTIFICATE".
  [[nodiscard]] static bool IsCertificateFile(const std::string& aFileName);
  // The key-file test: an extension containing TXT, KEY, PEM or DER, and a
  // private-key PEM marker in the content ("BEGIN RSA PRIVATE KEY", "BEGIN
  // PRIVATE KEY", "BEGIN ENCRYPTED PRIVATE KEY", "BEGIN EC PRIVATE KEY"), or
  // a DER private key, encrypted or not.
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
  template <typename Load>
  [[nodiscard]] bool AskPassphraseUntilLoaded(const std::string& aName, Load aLoad) const;
  [[nodiscard]] bool Refuse(std::string aProblem);
  [[nodiscard]] bool KeepSupportedKey(std::shared_ptr<TOrvoSSLPrivateKey> aKey);
  std::vector<std::shared_ptr<TOrvoSSLPrivateKey>>
  ReadPKsFromFiles(const std::vector<std::string>& aFiles);
  [[nodiscard]] static bool StringContains(const std::string& text, const std::string& pattern,
                                           bool CaseSensitive);
  [[nodiscard]] bool RequestPassword(const std::string& aFileName, std::string& password,
                                     bool aWasWrongPassword) const;

  TPasswordEvent fOnPassword;
  std::shared_ptr<TOrvoSSLPrivateKey> fPK;
  std::string fLastReadProblem;
};

} // namespace orvo
