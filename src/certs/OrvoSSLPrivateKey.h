#pragma once
// One private key with its loaders and the writers of the server's key file.

#include "certs/CkToolkit.h"

#include <memory>
#include <string>

namespace orvo {

class TOrvoSSLPrivateKey {
public:
  // A new, empty key; not loaded.
  TOrvoSSLPrivateKey();
  // Takes over an existing key handle; counts as loaded.
  explicit TOrvoSSLPrivateKey(std::unique_ptr<ck::CkPrivateKey> aKeyHandle);
  ~TOrvoSSLPrivateKey();
  TOrvoSSLPrivateKey(const TOrvoSSLPrivateKey&) = delete;
  TOrvoSSLPrivateKey& operator=(const TOrvoSSLPrivateKey&) = delete;

  // File loaders: false for a missing file without touching the loaded state;
  // otherwise the loaded state becomes the result.
  [[nodiscard]] bool LoadPEMFile(const std::string& aFileName);
  [[nodiscard]] bool LoadPemFileWithPW(const std::string& aFileName, const std::string& aPW);
  [[nodiscard]] bool LoadPkcs8File(const std::string& aFileName);
  [[nodiscard]] bool LoadPkcs8FileWithPW(const std::string& aFileName, const std::string& aPW);
  [[nodiscard]] bool LoadPvkFileWithPW(const std::string& aFileName, const std::string& aPW);
  [[nodiscard]] bool LoadRsaDerFile(const std::string& aFileName);
  // DER of any key type: traditional (SEC1 for EC) or PKCS#8.
  [[nodiscard]] bool LoadDerFile(const std::string& aFileName);
  // Text loaders: the loaded state becomes the result.
  [[nodiscard]] bool LoadPemFromString(const std::string& aString);
  [[nodiscard]] bool LoadPemFromStringWithPW(const std::string& aString, const std::string& aPw);

  // The key as unencrypted RSA PEM text when loaded, else "".
  std::string GetRSAPK() const;
  // The key's XML form (RSAKeyValue), whether loaded or not.
  std::string GetXML() const;

  // The key type, e.g. "RSA", "EC P-256", "Ed25519" (CkPrivateKey::_keyType);
  // empty when no key is loaded.
  std::string KeyType() const;

  // Write the key unencrypted, respectively as PKCS#8 encrypted with aPW,
  // then remove blank lines and use CR LF. The unencrypted form of an RSA key
  // is RSA PEM ("BEGIN RSA PRIVATE KEY"), which the server has always read;
  // every other key type is written as PKCS#8 ("BEGIN PRIVATE KEY"). False when no key is
  // loaded (nothing on disk is touched) or writing fails. The file is
  // replaced as a whole: a failed save leaves an existing file as it was. A
  // new file gets mode 0600; a replaced one keeps its owner, group and mode.
  [[nodiscard]] bool SaveOrvoKeyFile(const std::string& aFileName) const;
  [[nodiscard]] bool SavePEMFileWithPW(const std::string& aFileName, const std::string& aPW) const;

  bool KeyLoaded() const { return fKeyLoaded; }
  // The toolkit key; nullptr only when made from a null handle.
  ck::CkPrivateKey* Handle() const { return fKeyHandle.get(); }

private:
  template <typename Load> bool loadExistingFile(const std::string& aFileName, Load load);
  bool finishSave(bool written, const std::string& aFileName) const;

  std::unique_ptr<ck::CkPrivateKey> fKeyHandle;
  bool fKeyLoaded = false;
};

} // namespace orvo
