// Finish: backs up the certificate files already in the target folder, then
// writes orvo.crt, root.pem and orvo.key in the layout the server reads.
#include "core/CertImportCore.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "core/CoreText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace orvo::core {

namespace {

// The passphrase of an encrypted key file; the server knows it.
const std::string kKeyFilePassphrase = "kqzv";

// Copies a file over an existing target. QFile::copy refuses to overwrite,
// so the copy goes to a temporary name first and replaces the target only
// when it is complete.
bool CopyReplacing(const QString& aFrom, const QString& aTo) {
  const QString partial = aTo + QStringLiteral(".partial");
  QFile::remove(partial);
  if (!QFile::copy(aFrom, partial)) {
    return false;
  }
  QFile::remove(aTo);
  return QFile::rename(partial, aTo);
}

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
  TStrings errors;
  bool ok = true;
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
  BackupExistingFiles(
      ok, aSettings, folder,
      {QStringLiteral("root.pem"), QStringLiteral("orvo.crt"), QStringLiteral("orvo.key")});
  if (!ok) {
    return false;
  }
  ok = fStore && fStore->ExportCertificateAndChain(ToStd(folder), *fProvidedCert, errors);
  if (ok) {
    const std::string keyFile = ToStd(folder + QStringLiteral("orvo.key"));
    ok = aSettings.encryptKey ? fProvidedKey->SavePEMFileWithPW(keyFile, kKeyFilePassphrase)
                              : fProvidedKey->SaveOrvoKeyFile(keyFile);
    if (!ok) {
      errors.push_back("Could not write the private key file " + keyFile + ".");
    }
  }
  if (!ok) {
    fInstall.errors.insert(fInstall.errors.end(), errors.begin(), errors.end());
    fInteraction.ShowErrorDetail(
        {QStringLiteral("Error"),
         QStringLiteral("Error writing the files to the directory ") + folder, ReasonText(errors),
         errors});
    return false;
  }
  fInstall.written = true;
  for (const char* name : {"orvo.crt", "root.pem", "orvo.key"}) {
    fInstall.files << folder + QLatin1String(name);
  }
  const bool offered = (fIsOrvoCoreInstallation || aSettings.restartAnyTarget) &&
                       OfferCoreServiceRestart(folder, aSettings.restartAnyTarget);
  if (fIsOrvoCoreInstallation && !offered) {
    ShowExpiryMessage(QStringLiteral("Success. The certificate will expire at :"));
  }
  return ok;
}

void TCertImportCore::BackupExistingFiles(bool& aOk, const InstallSettings& aSettings,
                                          const QString& aFolder, const QStringList& aNames) {
  if (!aSettings.backup) {
    return;
  }
  const bool anyExists = std::any_of(aNames.begin(), aNames.end(), [&](const QString& name) {
    return QFileInfo::exists(aFolder + name);
  });
  if (!anyExists) {
    return;
  }
  const QDateTime date = fEnv.now();
  const QDateTime time = fEnv.now();
  const QString backup = GetBackupDirName(aFolder, date, time);
  QDir().mkpath(backup);
  fInstall.backupFolder = backup;
  bool copied = true;
  for (const QString& name : aNames) {
    if (copied && QFileInfo::exists(aFolder + name)) {
      copied = CopyReplacing(aFolder + name, backup + name);
    }
  }
  if (!copied) {
    const QString text = QStringLiteral("An error occured while backing up the files.");
    fInstall.errors.push_back(ToStd(text));
    fInteraction.Tell({MsgKind::Error, text, MbCancel});
    aOk = false;
  }
}

void TCertImportCore::ShowExpiryMessage(const QString& aPrefix) {
  fInteraction.Tell({MsgKind::Information, aPrefix + ToQ(fProvidedCert->ExpireDate())});
}

} // namespace orvo::core
