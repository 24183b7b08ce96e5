#include "certs/OrvoSSLPrivateKey.h"

#include "certs/CertFileUtils.h"

#include <filesystem>

namespace orvo {

TOrvoSSLPrivateKey::TOrvoSSLPrivateKey() : fKeyHandle(std::make_unique<ck::CkPrivateKey>()) {}

TOrvoSSLPrivateKey::TOrvoSSLPrivateKey(std::unique_ptr<ck::CkPrivateKey> aKeyHandle)
    : fKeyHandle(std::move(aKeyHandle)), fKeyLoaded(true) {}

TOrvoSSLPrivateKey::~TOrvoSSLPrivateKey() = default;

template <typename Load>
bool TOrvoSSLPrivateKey::loadExistingFile(const std::string& aFileName, Load load) {
  std::error_code ec;
  if (!std::filesystem::exists(aFileName, ec)) {
    return false;
  }
  if (!fKeyHandle) {
    fKeyHandle = std::make_unique<ck::CkPrivateKey>();
  }
  fKeyLoaded = load(*fKeyHandle);
  return fKeyLoaded;
}

bool TOrvoSSLPrivateKey::LoadPEMFile(const std::string& aFileName) {
  return loadExistingFile(aFileName, [&](ck::CkPrivateKey& k) { return k.LoadPemFile(aFileName); });
}

bool TOrvoSSLPrivateKey::LoadPemFileWithPW(const std::string& aFileName, const std::string& aPW) {
  return loadExistingFile(
      aFileName, [&](ck::CkPrivateKey& k) { return k.LoadEncryptedPemFile(aFileName, aPW); });
}

bool TOrvoSSLPrivateKey::LoadPkcs8File(const std::string& aFileName) {
  return loadExistingFile(aFileName,
                          [&](ck::CkPrivateKey& k) { return k.LoadPkcs8File(aFileName); });
}

bool TOrvoSSLPrivateKey::LoadPkcs8FileWithPW(const std::string& aFileName, const std::string& aPW) {
  return loadExistingFile(
      aFileName, [&](ck::CkPrivateKey& k) { return k.LoadPkcs8EncryptedFile(aFileName, aPW); });
}

bool TOrvoSSLPrivateKey::LoadPvkFileWithPW(const std::string& aFileName, const std::string& aPW) {
  return loadExistingFile(aFileName,
                          [&](ck::CkPrivateKey& k) { return k.LoadPvkFile(aFileName, aPW); });
}

bool TOrvoSSLPrivateKey::LoadRsaDerFile(const std::string& aFileName) {
  return loadExistingFile(aFileName,
                          [&](ck::CkPrivateKey& k) { return k.LoadRsaDerFile(aFileName); });
}

bool TOrvoSSLPrivateKey::LoadDerFile(const std::string& aFileName) {
  return loadExistingFile(aFileName, [&](ck::CkPrivateKey& k) { return k.LoadDerFile(aFileName); });
}

bool TOrvoSSLPrivateKey::LoadPemFromString(const std::string& aString) {
  if (!fKeyHandle) {
    fKeyHandle = std::make_unique<ck::CkPrivateKey>();
  }
  fKeyLoaded = fKeyHandle->LoadPem(aString);
  return fKeyLoaded;
}

bool TOrvoSSLPrivateKey::LoadPemFromStringWithPW(const std::string& aString,
                                                 const std::string& aPw) {
  if (!fKeyHandle) {
    fKeyHandle = std::make_unique<ck::CkPrivateKey>();
  }
  fKeyLoaded = fKeyHandle->LoadEncryptedPem(aString, aPw);
  return fKeyLoaded;
}

std::string TOrvoSSLPrivateKey::GetRSAPK() const {
  return fKeyLoaded && fKeyHandle ? fKeyHandle->_getRsaPem() : std::string();
}

std::string TOrvoSSLPrivateKey::KeyType() const {
  return fKeyLoaded && fKeyHandle ? fKeyHandle->_keyType() : std::string();
}

std::string TOrvoSSLPrivateKey::GetXML() const {
  return fKeyHandle ? fKeyHandle->_getXml() : std::string();
}

// The toolkit writes the whole file or leaves the old one; the written file is
// then cleaned. Cleaning that cannot read the file back counts as a failure.
bool TOrvoSSLPrivateKey::finishSave(bool written, const std::string& aFileName) const {
  std::error_code ec;
  if (!written || !std::filesystem::exists(aFileName, ec)) {
    return false;
  }
  try {
    return RemoveEmptyLines(aFileName);
  } catch (const EFileError&) {
    return false;
  }
}

bool TOrvoSSLPrivateKey::SaveOrvoKeyFile(const std::string& aFileName) const {
  if (!fKeyLoaded || !fKeyHandle) {
    return false;
  }
  const bool written = fKeyHandle->_keyType() == "RSA" ? fKeyHandle->SaveRsaPemFile(aFileName)
                                                       : fKeyHandle->SavePkcs8PemFile(aFileName);
  return finishSave(written, aFileName);
}

bool TOrvoSSLPrivateKey::SavePEMFileWithPW(const std::string& aFileName,
                                           const std::string& aPW) const {
  if (!fKeyLoaded || !fKeyHandle) {
    return false;
  }
  return finishSave(fKeyHandle->SavePkcs8EncryptedFile(aPW, aFileName), aFileName);
}

} // namespace orvo
