#pragma once
// The import core: the flow of the three steps, Finish and the server
// restart, without widgets. It chooses the certificate from a source, takes
// the key that came with it or reads one, checks both, proves them in a
// loopback TLS handshake, writes the files and restarts the server. Every
// decision and every text is here; a front end (the wizard's window, the
// command line) only gathers the person's choices, calls these operations and
// answers the Interaction the core is given.
//
// Ownership: the core owns the store, the validator, the loopback test and
// the candidate lists of folder scans and pasted texts; the chosen
// certificate belongs to the store or to one of those lists and stays alive
// as long as the core.

#include "core/Interaction.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo {

namespace files {
class FileWriter;
struct InstallPlan;
} // namespace files

class TOrvoCertStore;
class TOrvoStoreCertificate;
class TOrvoSSLPrivateKey;
class TOrvoSSLCertificateValidator;
class TServiceManager;
class TServiceInfo;
class TLoopbackTlsTest;
class WaitClock;
enum class TServiceState;
using TStrings = std::vector<std::string>;
using TOrvoCertList = std::vector<std::unique_ptr<TOrvoStoreCertificate>>;

namespace core {

// What the core takes from the machine; tests replace the parts they pin.
struct ImportEnvironment {
  // Loads OpenSSL for the TLS self-test; false when it cannot be loaded.
  std::function<bool()> loadOpenSSL;
  // A new service manager, not yet active.
  std::function<std::unique_ptr<TServiceManager>()> makeServiceManager;
  // The clock whose sleeps the service waits use.
  WaitClock* clock = nullptr;
  // Local time for the backup folder's stamp; read twice (date, then time).
  std::function<QDateTime()> now;
  // Writes the backup and restored copies; null means the system's writer.
  files::FileWriter* fileWriter = nullptr;

  // The real OpenSSL loader, systemd and the system clock.
  static ImportEnvironment Product();
};

enum class SourceKind {
  StoreEntry, // an entry of the system's stores, by index
  PastedText, // PEM text
  File,       // one certificate file (PEM, DER, PKCS#7, a bundle, PKCS#12 by extension)
  Pkcs12,     // one PKCS#12 file, whatever its name
  Folder,     // a folder of certificate files (a file names its folder)
};

struct CertificateSource {
  SourceKind kind = SourceKind::Folder;
  int storeIndex = -1;
  QString text;
  QString path;
};

enum class KeySourceKind { None, File, Text };

struct KeySource {
  KeySourceKind kind = KeySourceKind::File;
  QString value; // a file name or the pasted text
};

struct InstallSettings {
  QString folder;
  bool backup = true;
  bool encryptKey = false;
  // Restart (or start) the server's service after writing into any folder,
  // not only into the server's own certificate folder.
  bool restartAnyTarget = false;
};

// What happened to the server's service after Finish.
enum class ServiceOutcome {
  NotOffered, // the files did not go into the server's folder
  NotFound,   // no service of the server is installed
  Declined,   // the person (or an option) said no
  Running,    // restarted or started, and running
  TimedOut,   // did not reach the wanted state in time
  NotRunning, // gone or stopped after the restart
};

// The record of the last Finish.
struct InstallRecord {
  bool written = false;
  QString folder;
  QStringList files;     // full names of the files written
  QString backupFolder;  // empty when nothing was backed up
  QString backupName;    // its name inside folder
  bool restored = false; // the previous files were put back after a failed start
  TStrings errors;
  ServiceOutcome service = ServiceOutcome::NotOffered;
};

class TCertImportCore {
public:
  // aDataPath: the scratch folder of the TLS test and the store's working
  // folder, ending in '/'. aInteraction must outlive the core.
  TCertImportCore(ImportEnvironment aEnvironment, Interaction& aInteraction, QString aDataPath);
  ~TCertImportCore();
  TCertImportCore(const TCertImportCore&) = delete;
  TCertImportCore& operator=(const TCertImportCore&) = delete;

  // OpenSSL must load; on failure the person is told "Error loading OpenSSL
  // library".
  bool StartupCheck();

  // Step 1. The store is made once; without it only the folder and file
  // sources can fail gracefully.
  bool OpenStore();
  // Reads the system's stores (once per run) and returns the number kept.
  int ReadStore();
  int StoreCount() const;
  QString StoreEntryText(int aIndex) const;
  // Runs the checks of a source; false after the person was told why (or
  // declined the warnings). A folder named by a file is replaced by the
  // file's folder (ScannedFolder).
  bool CheckCertificateSource(const CertificateSource& aSource);
  const QString& ScannedFolder() const { return fScannedFolder; }
  // The warnings of the last certificate check.
  const TStrings& CertificateWarnings() const { return fWarnings; }

  // Step 2.
  bool CheckPrivateKeySource(const KeySource& aSource);

  // Step 3: presets the server's folder, proves the pair and runs the
  // loopback test; false after the person was told why.
  bool VerifyCertificate();
  // Tells the person that the verification failed for aReason; the lines of
  // aDetails (the TLS layer's own reasons) follow it in the error dialog.
  void ShowVerificationFailure(const QString& aReason, const TStrings& aDetails = {});
  // The reasons of the last loopback test and of the export of its files
  // (empty when it passed).
  const TStrings& TlsReasons() const { return fTlsReasons; }

  // Finish with the server restart.
  bool InstallCertificateFiles(const InstallSettings& aSettings);
  const InstallRecord& LastInstall() const { return fInstall; }

  // The backup folder for a target folder (ending in '/'), stamped with the
  // date and time of the two clock readings.
  static QString GetBackupDirName(const QString& aFolder, const QDateTime& aDate,
                                  const QDateTime& aTime);

  // State of the run.
  const std::shared_ptr<TOrvoCertStore>& Store() const { return fStore; }
  const std::shared_ptr<TOrvoSSLCertificateValidator>& Validator() const { return fCertValidator; }
  TOrvoStoreCertificate* ProvidedCert() const { return fProvidedCert; }
  const std::shared_ptr<TOrvoSSLPrivateKey>& ProvidedKey() const { return fProvidedKey; }
  bool CertHasPrivateKey() const { return fCertHasPrivateKey; }
  bool IsOrvoCoreInstallation() const { return fIsOrvoCoreInstallation; }
  const QString& OrvoCoreCertPath() const { return fOrvoCoreCertPath; }
  const QString& DataPath() const { return fDataPath; }

private:
  bool HandlePasswordRequest(const std::string& aFileName, std::string& aPassword,
                             bool aWasWrongPassword);

  // Step 1.
  TOrvoStoreCertificate* GetCertFromStoreList(int aRow, bool& aOk, TStrings& aErrors,
                                              TStrings& aWarnings);
  TOrvoStoreCertificate* GetCertFromPastedText(const QString& aText, bool& aOk, TStrings& aErrors,
                                               TStrings& aWarnings);
  TOrvoStoreCertificate* GetCertFromDirectory(const QString& aFolder, bool& aOk, TStrings& aErrors,
                                              TStrings& aWarnings);
  TOrvoStoreCertificate* GetCertFromFile(const QString& aFile, bool aPkcs12, bool& aOk,
                                         TStrings& aErrors, TStrings& aWarnings);
  TOrvoStoreCertificate* ChooseCandidate(const QString& aFolder, TOrvoCertList& aCandidates);
  void ScanDirectoryForCertificates(bool& aOk, const QString& aFolder, TOrvoCertList& aCandidates,
                                    TStrings& aErrors, TStrings& aWarnings);
  bool LoadCertificateFiles(const QStringList& aFiles, TOrvoCertList& aCandidates,
                            TStrings& aErrors, TStrings& aWarnings, bool aAnyName = false,
                            bool aPkcs12 = false);
  static bool IsCertificateFile(const QString& aFileName);
  static bool IsDuplicateCertificate(const TOrvoStoreCertificate& aCert,
                                     const TOrvoCertList& aCandidates);
  bool CheckKeySize(const TOrvoStoreCertificate& aCert, TStrings& aErrors, TStrings& aWarnings);
  // Keeps a list of certificates alive for the rest of the run: the chosen
  // certificate (fProvidedCert) may point into it.
  TOrvoStoreCertificate* KeepCandidates(TOrvoCertList aCandidates, TOrvoStoreCertificate* aChosen);
  // Releases the kept lists that do not hold the chosen certificate.
  void ReleaseUnusedCandidates(const TOrvoStoreCertificate* aProvided);

  // Step 2.
  std::shared_ptr<TOrvoSSLPrivateKey> GetKeyFromFile(const QString& aFileName, bool& aOk,
                                                     TStrings& aErrors);
  std::shared_ptr<TOrvoSSLPrivateKey> GetKeyFromPastedText(const QString& aText, bool& aOk,
                                                           TStrings& aErrors);

  // Step 3.
  void RunVerification(bool& aResult);
  void PresetServerFolder();
  bool VerifyKeyPair();
  bool VerifySSLConnection();
  bool ExportTestCertificate(TOrvoStoreCertificate& aCert, TStrings& aErrors);
  bool ExportTestKey(TOrvoSSLPrivateKey& aKey);

  // Finish.
  files::InstallPlan InstallPlanFor(const InstallSettings& aSettings, const QString& aFolder);
  bool WriteInstalledFiles(const std::string& aStage, const std::string& aFolder, bool aEncrypt,
                           TStrings& aReasons);
  bool ReadBackInstalledPair(const std::string& aStage, const std::string& aFolder, bool aEncrypt,
                             TStrings& aReasons);

  // Server restart.
  bool OfferCoreServiceRestart(const QString& aFolder, bool aAnyTarget);
  // Requests the start and waits (start-only budget) for running, a start
  // that ended without it, or the time-out.
  ServiceOutcome StartAndWait(TServiceManager& aManager, TServiceInfo* aInfo);
  // After a start that failed with the new files: asks whether to put the
  // backed-up files back and start again. True when they were put back (or
  // the attempt was reported), so the expiry of the new certificate is moot.
  bool OfferRestore(const QString& aFolder);
  // Puts the backup of the last install back by stage and swap; false after
  // telling why it could not.
  bool RestorePreviousFiles(const QString& aFolder);
  void RestartCoreService();
  struct RestartWait;
  void WaitForCoreServiceState(RestartWait& aWait, TServiceState aWanted);
  void SleepAndRepaint(std::uint32_t aMilliseconds);
  void ShowExpiryMessage(const QString& aPrefix);

  ImportEnvironment fEnv;
  Interaction& fInteraction;
  QString fDataPath;
  std::shared_ptr<TOrvoCertStore> fStore;
  std::shared_ptr<TOrvoSSLCertificateValidator> fCertValidator;
  std::unique_ptr<TLoopbackTlsTest> fTlsTest;
  TOrvoStoreCertificate* fProvidedCert = nullptr;
  std::shared_ptr<TOrvoSSLPrivateKey> fProvidedKey;
  bool fCertHasPrivateKey = false;
  bool fIsOrvoCoreInstallation = false;
  QString fOrvoCoreCertPath;
  QString fScannedFolder;
  TStrings fWarnings;
  TStrings fTlsReasons;
  InstallRecord fInstall;
  // Certificates of folder scans and pasted texts, alive for the whole run.
  std::vector<TOrvoCertList> fKeptCandidates;
};

} // namespace core
} // namespace orvo
