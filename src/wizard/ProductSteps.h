#pragma once
// The product's three steps of the wizard: certificate source, private key,
// verification with the installation of the files and the server restart.
// The operations bear the names the rest of the team uses for them; what the
// machine calls is the WizardSteps interface.

#include "wizard/WizardSteps.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo {

class TOrvoStoreCertificate;
class TOrvoSSLPrivateKey;
class TServiceManager;
class WaitClock;
enum class TServiceState;
using TStrings = std::vector<std::string>;
using TOrvoCertList = std::vector<std::unique_ptr<TOrvoStoreCertificate>>;

// What the steps take from the machine; tests replace the parts they pin.
struct StepEnvironment {
  // Loads OpenSSL for the TLS self-test; false when it cannot be loaded.
  std::function<bool()> loadOpenSSL;
  // A new service manager, not yet active.
  std::function<std::unique_ptr<TServiceManager>()> makeServiceManager;
  // The clock whose sleeps the service waits use.
  WaitClock* clock = nullptr;
  // Local time for the backup folder's stamp; read twice (date, then time).
  std::function<QDateTime()> now;
  // The version label's text.
  std::function<QString()> versionText;

  // The product's environment: the real OpenSSL loader, systemd, the system
  // clock and the running executable's version.
  static StepEnvironment Product();
};

class ProductSteps : public WizardSteps {
public:
  explicit ProductSteps(StepEnvironment aEnvironment);
  ~ProductSteps() override;

  void InitVersionLabel(TCertImportWizardMain& aWizard) override;
  void InitStepPages(TCertImportWizardMain& aWizard) override;
  void InitValidator(TCertImportWizardMain& aWizard) override;
  bool StartupCheck(TCertImportWizardMain& aWizard) override;
  bool ShowStepSelectCertificate(TCertImportWizardMain& aWizard) override;
  bool ShowStepSelectPrivateKey(TCertImportWizardMain& aWizard) override;
  bool ShowStepVerifyCertificate(TCertImportWizardMain& aWizard) override;
  bool CheckCertificateSource(TCertImportWizardMain& aWizard) override;
  bool CheckPrivateKeySource(TCertImportWizardMain& aWizard) override;
  bool InstallCertificateFiles(TCertImportWizardMain& aWizard) override;
  void FormDestroy(TCertImportWizardMain& aWizard) override;

  // The backup folder for a target folder (ending in '/'), stamped with the
  // date and time of the two clock readings.
  static QString GetBackupDirName(const QString& aFolder, const QDateTime& aDate,
                                  const QDateTime& aTime);

private:
  // Step 1.
  bool HandlePasswordRequest(TCertImportWizardMain& w, const std::string& aFileName,
                             std::string& aPassword, bool aWasWrongPassword);
  void FillCertificateList(TCertImportWizardMain& w, int aCount);
  TOrvoStoreCertificate* GetCertFromStoreList(TCertImportWizardMain& w, bool& aOk,
                                              TStrings& aErrors, TStrings& aWarnings);
  TOrvoStoreCertificate* GetCertFromPastedText(TCertImportWizardMain& w, bool& aOk,
                                               TStrings& aErrors, TStrings& aWarnings);
  TOrvoStoreCertificate* GetCertFromDirectory(TCertImportWizardMain& w, bool& aOk,
                                              TStrings& aErrors, TStrings& aWarnings);
  void ScanDirectoryForCertificates(TCertImportWizardMain& w, bool& aOk, const QString& aFolder,
                                    TOrvoCertList& aCandidates, TStrings& aErrors,
                                    TStrings& aWarnings);
  bool LoadCertificateFiles(TCertImportWizardMain& w, const QStringList& aFiles,
                            TOrvoCertList& aCandidates, TStrings& aErrors, TStrings& aWarnings);
  static bool IsCertificateFile(const QString& aFileName);
  static bool IsDuplicateCertificate(const TOrvoStoreCertificate& aCert,
                                     const TOrvoCertList& aCandidates);
  bool CheckKeySize(TCertImportWizardMain& w, const TOrvoStoreCertificate& aCert, TStrings& aErrors,
                    TStrings& aWarnings);
  // Keeps a list of certificates alive for the rest of the run: the chosen
  // certificate (fProvidedCert) may point into it.
  TOrvoStoreCertificate* KeepCandidates(TOrvoCertList aCandidates, TOrvoStoreCertificate* aChosen);
  // Releases the kept lists that do not hold the chosen certificate.
  void ReleaseUnusedCandidates(const TOrvoStoreCertificate* aProvided);

  // Step 2.
  std::shared_ptr<TOrvoSSLPrivateKey>
  GetKeyFromFile(TCertImportWizardMain& w, const QString& aFileName, bool& aOk, TStrings& aErrors);
  std::shared_ptr<TOrvoSSLPrivateKey> GetKeyFromPastedText(TCertImportWizardMain& w,
                                                           const QString& aText, bool& aOk,
                                                           TStrings& aErrors);

  // Step 3.
  void RunVerification(TCertImportWizardMain& w, bool& aResult);
  void PresetServerFolder(TCertImportWizardMain& w);
  bool VerifyKeyPair(TCertImportWizardMain& w);
  bool VerifySSLConnection(TCertImportWizardMain& w);
  bool ExportTestCertificate(TCertImportWizardMain& w, TOrvoStoreCertificate& aCert,
                             TStrings& aErrors);
  bool ExportTestKey(TCertImportWizardMain& w, TOrvoSSLPrivateKey& aKey);
  void ShowVerificationFailure(TCertImportWizardMain& w, const QString& aReason);

  // Finish.
  void BackupExistingFiles(TCertImportWizardMain& w, bool& aOk, const QString& aFolder,
                           const QStringList& aNames);

  // Server restart.
  bool OfferCoreServiceRestart(TCertImportWizardMain& w, const QString& aFolder);
  void RestartCoreService(TCertImportWizardMain& w);
  struct RestartWait;
  void WaitForCoreServiceState(RestartWait& aWait, TServiceState aWanted);
  void SleepAndRepaint(std::uint32_t aMilliseconds);
  void ShowExpiryMessage(TCertImportWizardMain& w, const QString& aPrefix);

  StepEnvironment fEnv;
  // Certificates of folder scans and pasted texts, alive for the whole run.
  std::vector<TOrvoCertList> fKeptCandidates;
};

} // namespace orvo
