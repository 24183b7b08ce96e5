#include "certs/OrvoCertStore.h"

#include "certs/CertFileUtils.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace orvo {

namespace fs = std::filesystem;

namespace {

// An empty path stays empty (the current folder) rather than becoming the
// file system's root.
std::string WithTrailingDelimiter(std::string aPath) {
  if (!aPath.empty() && aPath.back() != '/') {
    aPath += '/';
  }
  return aPath;
}

bool FileExists(const std::string& aFileName) {
  std::error_code ec;
  return fs::exists(aFileName, ec) && !fs::is_directory(aFileName, ec);
}

void DeleteIfExists(const std::string& aFileName) {
  std::error_code ec;
  fs::remove(aFileName, ec);
}

// The extension with its dot, upper-cased (ASCII), as the file-type rules
// compare it: from the last dot of the name, also when the name starts with
// it; empty when the name has none.
std::string UpperExtension(const std::string& aFileName) {
  const std::string name = fs::path(aFileName).filename().string();
  const std::size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : char(c); });
  return ext;
}

} // namespace

TOrvoCertStore::TOrvoCertStore(std::string aDataPath)
    : fDataPath(std::move(aDataPath)), fXMLFile(WithTrailingDelimiter(fDataPath) + "tmp.xml") {
  try {
    fCertStore = std::make_unique<ck::CkCertStore>();
  } catch (const std::exception&) {
    throw std::runtime_error("Error initializing Certificate Store Object");
  }
  // An earlier run may have left its vault file behind; nothing reads it.
  DeleteIfExists(fXMLFile);
  fxmlVault = std::make_unique<ck::CkXmlCertVault>();
}

TOrvoCertStore::~TOrvoCertStore() = default;

bool TOrvoCertStore::createCertFromFile(const std::string& aFileName,
                                        std::unique_ptr<TOrvoStoreCertificate>& aCert) {
  if (!FileExists(aFileName)) {
    throw EFileError("The File" + aFileName + "does not exist");
  }
  fLastLoadProblem.clear();
  const std::string ext = UpperExtension(aFileName);
  std::unique_ptr<ck::CkCert> loaded =
      (ext == ".PFX" || ext == ".P12") ? LoadPfxWithPassword(aFileName) : LoadCertFile(aFileName);
  if (!loaded) {
    return false;
  }
  aCert = Accept(std::move(loaded));
  return true;
}

bool TOrvoCertStore::createCertFromPkcs12File(const std::string& aFileName,
                                              std::unique_ptr<TOrvoStoreCertificate>& aCert) {
  if (!FileExists(aFileName)) {
    throw EFileError("The File" + aFileName + "does not exist");
  }
  fLastLoadProblem.clear();
  std::unique_ptr<ck::CkCert> loaded = LoadPfxWithPassword(aFileName);
  if (!loaded) {
    return false;
  }
  aCert = Accept(std::move(loaded));
  return true;
}

std::unique_ptr<ck::CkCert> TOrvoCertStore::LoadPfxWithPassword(const std::string& aFileName) {
  if (ck::InspectKeyFile(aFileName) != ck::CkKeyContent::Pkcs12) {
    fLastLoadProblem = "File '" + aFileName + "' is not a PKCS#12 file.";
    return nullptr; // no passphrase can help
  }
  const std::string bareName = fs::path(aFileName).filename().string();
  std::string password;
  bool first = true;
  for (;;) {
    auto cert = std::make_unique<ck::CkCert>();
    if (!RequestPassword(bareName, password, !first)) {
      return nullptr;
    }
    if (cert->LoadPfxFile(aFileName, password)) {
      if (cert->_serialNumber().empty()) {
        return nullptr;
      }
      return cert;
    }
    switch (cert->getPfxFailure()) {
    case ck::CkPfxFailure::WrongPassword:
      first = false;
      continue;
    case ck::CkPfxFailure::NoCertificate:
      fLastLoadProblem = "File '" + aFileName +
                         "' holds no certificate (a PKCS#12 file with only " + "a private key).";
      return nullptr;
    default:
      fLastLoadProblem = "File '" + aFileName + "' could not be read as a PKCS#12 file.";
      return nullptr;
    }
  }
}

std::unique_ptr<ck::CkCert> TOrvoCertStore::LoadCertFile(const std::string& aFileName) {
  auto cert = std::make_unique<ck::CkCert>();
  if (!cert->LoadFromFile(aFileName) || cert->_serialNumber().empty()) {
    return nullptr;
  }
  return cert;
}

bool TOrvoCertStore::CreateCertFromString(const std::string& aString,
                                          std::unique_ptr<TOrvoStoreCertificate>& aCert) {
  auto cert = std::make_unique<ck::CkCert>();
  if (!cert->LoadFromBase64(aString) || cert->_serialNumber().empty()) {
    return false;
  }
  aCert = Accept(std::move(cert));
  return true;
}

bool TOrvoCertStore::RequestPassword(const std::string& aFileName, std::string& password,
                                     bool aWasWrongPassword) const {
  return fOnPassword ? fOnPassword(aFileName, password, aWasWrongPassword) : false;
}

std::unique_ptr<TOrvoStoreCertificate> TOrvoCertStore::Accept(std::unique_ptr<ck::CkCert> aCert) {
  // The vault only helps later chain building; a certificate that cannot be
  // pooled is still handed out.
  try {
    (void)fxmlVault->AddCert(*aCert);
    (void)AddChainToVault(*aCert);
  } catch (const std::exception&) {
  }
  return std::make_unique<TOrvoStoreCertificate>(std::move(aCert));
}

bool TOrvoCertStore::AddChainToVault(const ck::CkCert& cert) {
  const std::unique_ptr<ck::CkCertChain> chain = cert.GetCertChain();
  if (!chain) {
    return false;
  }
  const int count = chain->getNumCerts();
  for (int i = 0; i < count; ++i) {
    if (const std::unique_ptr<ck::CkCert> member = chain->GetCert(i)) {
      (void)fxmlVault->AddCert(*member);
    }
  }
  (void)fxmlVault->AddCertChain(*chain);
  return true;
}

bool TOrvoCertStore::InitMemoryStore() {
  return fCertStore->CreateMemoryStore();
}

int TOrvoCertStore::ReadCertificatesFromStore() {
  fCerts.clear();
  ReadLocalMachineStore();
  ReadCurrentUserStore();
  return Count();
}

void TOrvoCertStore::ReadLocalMachineStore() {
  if (fCertStore->OpenLocalSystemStore()) {
    KeepUsableCertificates();
  }
}

void TOrvoCertStore::ReadCurrentUserStore() {
  if (fCertStore->OpenCurrentUserStore()) {
    KeepUsableCertificates();
  }
}

// Keeps the open store's certificates that are meant for server
// authentication, not expired and not revoked, in the store's order. An entry
// the store cannot hand out is skipped, so that one broken entry does not hide
// the usable certificates after it.
void TOrvoCertStore::KeepUsableCertificates() {
  const int count = fCertStore->getNumCertificates();
  TOrvoCertList read;
  for (int i = 0; i < count; ++i) {
    if (std::unique_ptr<ck::CkCert> handle = fCertStore->GetCertificate(i)) {
      read.push_back(std::make_unique<TOrvoStoreCertificate>(std::move(handle)));
    }
  }
  CheckRevocation(read);
  for (auto& cert : read) {
    if (cert->MatchesOrvoRequirements()) {
      fCerts.push_back(std::move(cert));
    }
  }
}

void TOrvoCertStore::CheckRevocation(const TOrvoCertList& aCerts) const {
  std::vector<const TOrvoStoreCertificate*> certs;
  certs.reserve(aCerts.size());
  for (const auto& cert : aCerts) {
    certs.push_back(cert.get());
  }
  TOrvoStoreCertificate::CheckRevocation(certs, fOnWait);
}

TOrvoStoreCertificate* TOrvoCertStore::GetCertByIndex(int Index) const {
  if (Index < 0 || Index >= Count()) {
    return nullptr;
  }
  return fCerts[static_cast<std::size_t>(Index)].get();
}

bool TOrvoCertStore::ExportCertificateAndChain(const std::string& aDataPath,
                                               TOrvoStoreCertificate& cert,
                                               std::vector<std::string>* aFailReasons) {
  // A folder given without its trailing separator still receives the files,
  // rather than files named after the folder beside it.
  const std::string folder = WithTrailingDelimiter(aDataPath);
  const auto addReason = [aFailReasons](const std::string& aPath) {
    if (aFailReasons != nullptr) {
      aFailReasons->push_back("Coud n't write file to location '" + aPath + "'");
    }
  };

  const std::string certFile = folder + "orvo.crt";
  DeleteIfExists(certFile);
  const bool certWritten = cert.ExportToPEMFile(certFile);
  if (!certWritten) {
    addReason(certFile);
  }

  cert.Handle().UseCertVault(*fxmlVault);
  const std::string chainFile = folder + "root.pem";
  const bool chainWritten = cert.ExportCertChainToPEM(chainFile, aFailReasons);
  if (!chainWritten) {
    addReason(chainFile);
  }

  if (!certWritten || !chainWritten) {
    return false;
  }
  (void)RemoveEmptyLines(certFile);
  (void)RemoveEmptyLines(chainFile);
  return true;
}

} // namespace orvo
