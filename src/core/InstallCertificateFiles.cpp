// Finish: backs up the certificate files already in the target folder, then
// installs orvo.crt, root.pem and orvo.key in the layout the server reads, by
// the install transaction of the files room (stage, read back, swap).
#include "core/CertImportCore.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "core/CoreText.h"
#include "files/InstallTransaction.h"

#include <QDir>
#include <QFileInfo>

#include <exception>
#include <vector>

namespace orvo::core {

namespace {

// The passphrase of an encrypted key file; the server knows it.
const std::string kKeyFilePassphrase = "kqzv";
// The files the server reads, in the order of the backup.
const std::vector<std::string> kInstalledFiles = {"root.pem", "orvo.crt", "orvo.key"};
const std::string kKeyFileName = "orvo.key";

} // namespace

QString TCertImportCore::GetBackupDirName(const QString& aFolder, const QDateTime& aDate,
                                          const QDateTime& aTime) {
  const QDate date = aDate.date();
  const QTime time = aTime.time();
  return aFolder + QStringLiteral("Backup_%1%2%3_%4%5%6%7/")
                       .arg(date.year())
                       .arg(date.month())
                       .arg(date.day())
                       .arg(time.hour())
                       .arg(time.minute())
                       .arg(time.second())
                       .arg(time.msec());
}

bool TCertImportCore::InstallCertificateFiles(const InstallSettings& aSettings) {
  fInstall = InstallRecord{};
  QString folder = aSettings.folder;
  if (TrimControls(folder).isEmpty()) {
    return false;
  }
  folder = WithTrailingSeparator(folder);
  fInstall.folder = folder;
  if (!QFileInfo(folder).isDir()) {
    const auto answer = fInteraction.Ask(
        {Topic::CreateTargetFolder, MsgKind::Confirmation,
         QStringLiteral(
             "The directory %1 does not exist. Do you want to create this directory now?")
             .arg(folder),
         MbYes | MbNo});
    if (answer == MbYes && !QDir().mkpath(folder)) {
      const QString text = QStringLiteral("Could not create the directory ") + folder;
      fInstall.errors.push_back(ToStd(text));
      fInteraction.Tell({MsgKind::Error, text, MbCancel});
    }
  }
  if (!QFileInfo(folder).isDir()) {
    return false;
  }
  // Stage, verify, swap: the folder ends with all old files or all new ones,
  // never a certificate beside a key it does not pair with.
  const files::InstallResult result = files::InstallFiles(InstallPlanFor(aSettings, folder));
  fInstall.backupFolder = ToQ(result.backupFolder);
  fInstall.backupName = ToQ(result.backupName);
  fInstall.errors.insert(fInstall.errors.end(), result.errors.begin(), result.errors.end());
  switch (result.failure) {
  case files::InstallFailure::None:
    break;
  case files::InstallFailure::NotRegular:
    fInteraction.Tell({MsgKind::Error, ToQ(result.errors.front())});
    return false;
  case files::InstallFailure::Backup:
    fInteraction.Tell(
        {MsgKind::Error, QStringLiteral("An error occured while backing up the files."), MbCancel});
    return false;
  case files::InstallFailure::Write:
    fInteraction.ShowErrorDetail(
        {QStringLiteral("Error"),
         QStringLiteral("Error writing the files to the directory ") + folder,
         ReasonText(result.errors), result.errors});
    return false;
  }
  fInstall.written = true;
  for (const char* name : {"orvo.crt", "root.pem", "orvo.key"}) {
    fInstall.files << folder + QLatin1String(name);
  }
  for (const std::string& note : result.notes) {
    fInteraction.Tell({MsgKind::Information, ToQ(note)});
  }
  const bool offered = (fIsOrvoCoreInstallation || aSettings.restartAnyTarget) &&
                       OfferCoreServiceRestart(folder, aSettings.restartAnyTarget);
  if (fIsOrvoCoreInstallation && !offered) {
    ShowExpiryMessage(QStringLiteral("Success. The certificate will expire at :"));
  }
  return true;
}

files::InstallPlan TCertImportCore::InstallPlanFor(const InstallSettings& aSettings,
                                                   const QString& aFolder) {
  files::InstallPlan plan;
  plan.folder = ToStd(aFolder);
  plan.names = kInstalledFiles;
  plan.keyName = kKeyFileName;
  plan.backup = aSettings.backup;
  const QDateTime date = fEnv.now();
  const QDateTime time = fEnv.now();
  QString backup = GetBackupDirName(aFolder, date, time).mid(aFolder.size());
  backup.chop(1);
  plan.backupName = ToStd(backup);
  const bool encrypt = aSettings.encryptKey;
  const std::string folder = ToStd(aFolder);
  plan.writeFiles = [this, encrypt, folder](const std::string& aStage, files::TReasons& aReasons) {
    return WriteInstalledFiles(aStage, folder, encrypt, aReasons);
  };
  plan.verify = [this, encrypt, folder](const std::string& aStage, files::TReasons& aReasons) {
    return ReadBackInstalledPair(aStage, folder, encrypt, aReasons);
  };
  plan.writer = fEnv.fileWriter;
  return plan;
}

bool TCertImportCore::WriteInstalledFiles(const std::string& aStage, const std::string& aFolder,
                                          bool aEncrypt, TStrings& aReasons) {
  if (!fStore || !fStore->ExportCertificateAndChain(aStage, *fProvidedCert, aReasons)) {
    return false;
  }
  const std::string keyFile = aStage + kKeyFileName;
  const bool written = aEncrypt ? fProvidedKey->SavePEMFileWithPW(keyFile, kKeyFilePassphrase)
                                : fProvidedKey->SaveOrvoKeyFile(keyFile);
  if (!written) {
    aReasons.push_back("Could not write the private key file " + aFolder + kKeyFileName + ".");
  }
  return written;
}

// The files as they will be read by the server: the certificate parses, and
// the key reads (with the server's passphrase when encrypted) and pairs with it.
bool TCertImportCore::ReadBackInstalledPair(const std::string& aStage, const std::string& aFolder,
                                            bool aEncrypt, TStrings& aReasons) {
  std::unique_ptr<TOrvoStoreCertificate> written;
  bool certRead = false;
  try {
    certRead = fStore && fStore->createCertFromFile(aStage + "orvo.crt", written) && written;
  } catch (const std::exception&) {
    certRead = false;
  }
  if (!certRead) {
    aReasons.push_back("The written certificate file " + aFolder + "orvo.crt cannot be read back.");
    return false;
  }
  TOrvoSSLPrivateKey key;
  const std::string keyFile = aStage + kKeyFileName;
  const bool keyRead =
      aEncrypt ? key.LoadPemFileWithPW(keyFile, kKeyFilePassphrase) : key.LoadPEMFile(keyFile);
  if (!keyRead) {
    aReasons.push_back("The written private key file " + aFolder + kKeyFileName +
                       " cannot be read back.");
    return false;
  }
  if (!fCertValidator->CheckPKMatchesCert(written.get(), &key)) {
    aReasons.push_back("The written private key does not pair with the written certificate.");
    return false;
  }
  return true;
}

bool TCertImportCore::RestorePreviousFiles(const QString& aFolder) {
  const files::InstallResult result = files::RestoreFromBackup(
      {ToStd(aFolder), ToStd(fInstall.backupName), kInstalledFiles, kKeyFileName, fEnv.fileWriter});
  fInstall.errors.insert(fInstall.errors.end(), result.errors.begin(), result.errors.end());
  if (!result.Ok()) {
    fInteraction.ShowErrorDetail(
        {QStringLiteral("Error"),
         QStringLiteral("The previous certificate files could not be restored from ") +
             fInstall.backupFolder,
         ReasonText(result.errors), result.errors});
    return false;
  }
  fInstall.restored = true;
  return true;
}

void TCertImportCore::ShowExpiryMessage(const QString& aPrefix) {
  fInteraction.Tell({MsgKind::Information, aPrefix + ToQ(fProvidedCert->ExpireDate())});
}

} // namespace orvo::core
