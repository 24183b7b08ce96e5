// Finish: backs up the certificate files already in the target folder, then
// writes orvo.crt, root.pem and orvo.key in the layout the server reads.
#include "wizard/ProductSteps.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "ui/FrmVerifyCertificate.h"
#include "ui/ModalUi.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardText.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>

namespace orvo {

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

QString ProductSteps::GetBackupDirName(const QString& aFolder, const QDateTime& aDate,
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

bool ProductSteps::InstallCertificateFiles(TCertImportWizardMain& w) {
  TStrings errors;
  bool ok = true;
  auto& frame = *w.fFrameVerifyCertificate;
  QString folder = frame.EdtDir->text();
  if (TrimControls(folder).isEmpty()) {
    return false;
  }
  folder = WithTrailingSeparator(folder);
  if (!QFileInfo(folder).isDir()) {
    const auto answer = w.Modal().messageBox(
        ui::MsgKind::Confirmation,
        QStringLiteral("The directory %1 does not exist. Do you want to create this directory now?")
            .arg(folder),
        ui::MbYes | ui::MbNo);
    if (answer == ui::MbYes && !QDir().mkpath(folder)) {
      w.Modal().messageBox(ui::MsgKind::Error,
                           QStringLiteral("Could not create the directory ") + folder,
                           ui::MbCancel);
    }
  }
  if (!QFileInfo(folder).isDir()) {
    return false;
  }
  BackupExistingFiles(
      w, ok, folder,
      {QStringLiteral("root.pem"), QStringLiteral("orvo.crt"), QStringLiteral("orvo.key")});
  if (!ok) {
    return false;
  }
  ok = w.fStore && w.fStore->ExportCertificateAndChain(ToStd(folder), *w.fProvidedCert, errors);
  if (ok) {
    const std::string keyFile = ToStd(folder + QStringLiteral("orvo.key"));
    ok = frame.CBEncrypt->isChecked()
             ? w.fProvidedKey->SavePEMFileWithPW(keyFile, kKeyFilePassphrase)
             : w.fProvidedKey->SaveOrvoKeyFile(keyFile);
    if (!ok) {
      errors.push_back("Could not write the private key file " + keyFile + ".");
    }
  }
  if (!ok) {
    w.Modal().showErrorDetail(QStringLiteral("Error"),
                              QStringLiteral("Error writing the files to the directory ") + folder,
                              ReasonText(errors));
  }
  if (ok && w.fIsOrvoCoreInstallation && !OfferCoreServiceRestart(w, folder)) {
    ShowExpiryMessage(w, QStringLiteral("Success. The certificate will expire at :"));
  }
  return ok;
}

void ProductSteps::BackupExistingFiles(TCertImportWizardMain& w, bool& aOk, const QString& aFolder,
                                       const QStringList& aNames) {
  if (!w.fFrameVerifyCertificate->CbBackup->isChecked()) {
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
  bool copied = true;
  for (const QString& name : aNames) {
    if (copied && QFileInfo::exists(aFolder + name)) {
      copied = CopyReplacing(aFolder + name, backup + name);
    }
  }
  if (!copied) {
    w.Modal().messageBox(ui::MsgKind::Error,
                         QStringLiteral("An error occured while backing up the files."),
                         ui::MbCancel);
    aOk = false;
  }
}

void ProductSteps::ShowExpiryMessage(TCertImportWizardMain& w, const QString& aPrefix) {
  w.Modal().messageBox(ui::MsgKind::Information, aPrefix + ToQ(w.fProvidedCert->ExpireDate()),
                       ui::MbOk);
}

} // namespace orvo
