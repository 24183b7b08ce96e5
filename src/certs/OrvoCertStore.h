#pragma once
// The one place where certificates enter the importer: from a file (PEM, DER,
// PKCS#7, PKCS#12 with a passphrase request), from pasted text, or from the
// system's certificate stores. Every certificate loaded from a file or text,
// with its chain, also goes into a vault that lives as long as the store and
// only grows; the exported chain is built from it, so that intermediates and
// roots supplied in other files of a folder end up in root.pem.

#include "certs/CkToolkit.h"
#include "certs/OrvoCertificate.h"
#include "certs/PasswordEvent.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo {

class TOrvoCertStore {
public:
  // `aDataPath` is the store's working folder. Deletes a stale "tmp.xml"
  // there. Throws std::runtime_error("Error initializing Certificate Store
  // Object") when the toolkit store cannot be made.
  explicit TOrvoCertStore(std::string aDataPath);
  ~TOrvoCertStore();
  TOrvoCertStore(const TOrvoCertStore&) = delete;
  TOrvoCertStore& operator=(const TOrvoCertStore&) = delete;

  // Loads the certificate of a file; ".PFX" and ".P12" files go through the
  // passphrase requests. On success `aCert` is a new certificate that the
  // caller owns; on failure it is left as it was. Throws EFileError
  // when the file does not exist. Passphrases are asked for again only while
  // they are wrong: a ".PFX" or ".P12" file that is no PKCS#12 file fails
  // without a request, and one that opens but holds no certificate fails
  // after that answer; LastLoadProblem() then says why.
  [[nodiscard]] bool createCertFromFile(const std::string& aFileName,
                                        std::unique_ptr<TOrvoStoreCertificate>& aCert);
  // Reads a PKCS#12 file whatever its name, asking for its passphrase.
  [[nodiscard]] bool createCertFromPkcs12File(const std::string& aFileName,
                                              std::unique_ptr<TOrvoStoreCertificate>& aCert);
  // Reads a pasted PEM certificate block (or bare base64), unchanged.
  [[nodiscard]] bool CreateCertFromString(const std::string& aString,
                                          std::unique_ptr<TOrvoStoreCertificate>& aCert);
  // Makes the toolkit store an empty in-memory store. Callers may ignore the
  // result: nothing reads the store afterwards but ReadCertificatesFromStore,
  // which opens the system's stores again.
  bool InitMemoryStore();
  // Refills Certs from the local machine store, then the current user store,
  // keeping the certificates that meet the server's requirements. Returns
  // Count.
  int ReadCertificatesFromStore();
  // Lends the certificate at `Index`; null when out of range.
  [[nodiscard]] TOrvoStoreCertificate* GetCertByIndex(int Index) const;
  // Writes "orvo.crt" (the certificate) and "root.pem" (its chain, the
  // certificate first) into the folder `aDataPath` and removes their blank
  // lines. True when both were written.
  [[nodiscard]] bool ExportCertificateAndChain(const std::string& aDataPath,
                                               TOrvoStoreCertificate& cert,
                                               std::vector<std::string>* aFailReasons = nullptr);
  [[nodiscard]] bool ExportCertificateAndChain(const std::string& aDataPath,
                                               TOrvoStoreCertificate& cert,
                                               std::vector<std::string>& aFailReasons) {
    return ExportCertificateAndChain(aDataPath, cert, &aFailReasons);
  }

  // Why the last createCertFromFile failed, as a line for the user; empty
  // when nothing more can be said than that it failed.
  const std::string& LastLoadProblem() const { return fLastLoadProblem; }

  // Properties.
  int Count() const { return static_cast<int>(fCerts.size()); }
  TOrvoStoreCertificate* Certs(int Index) const { return GetCertByIndex(Index); }
  const TPasswordEvent& OnRequestPassWord() const { return fOnPassword; }
  void SetOnRequestPassWord(TPasswordEvent aHandler) { fOnPassword = std::move(aHandler); }
  // Runs on the calling thread every few milliseconds while revocation
  // answers are awaited (a window repaints itself there); may be empty.
  const std::function<void()>& OnWait() const { return fOnWait; }
  void SetOnWait(std::function<void()> aHandler) { fOnWait = std::move(aHandler); }
  // The revocation question for all of them at once, within one time-out,
  // with OnWait running meanwhile.
  void CheckRevocation(const TOrvoCertList& aCerts) const;

private:
  [[nodiscard]] std::unique_ptr<ck::CkCert> LoadPfxWithPassword(const std::string& aFileName);
  [[nodiscard]] std::unique_ptr<ck::CkCert> LoadCertFile(const std::string& aFileName);
  [[nodiscard]] bool RequestPassword(const std::string& aFileName, std::string& password,
                                     bool aWasWrongPassword) const;
  std::unique_ptr<TOrvoStoreCertificate> Accept(std::unique_ptr<ck::CkCert> aCert);
  bool AddChainToVault(const ck::CkCert& cert);
  void ReadLocalMachineStore();
  void ReadCurrentUserStore();
  void KeepUsableCertificates();

  std::unique_ptr<ck::CkCertStore> fCertStore;
  std::unique_ptr<ck::CkXmlCertVault> fxmlVault;
  TOrvoCertList fCerts;
  TPasswordEvent fOnPassword;
  std::function<void()> fOnWait;
  std::string fDataPath;
  std::string fXMLFile;
  std::string fLastLoadProblem;
};

} // namespace orvo
