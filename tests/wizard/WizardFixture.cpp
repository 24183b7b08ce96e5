#include "wizard/WizardFixture.h"

#include "system/ServiceManager.h"
#include "tls/OpenSSLBinding.h"
#include "ui/FrmSelectCertificate.h"
#include "ui/FrmSelectPrivateKey.h"
#include "ui/FrmVerifyCertificate.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cstdlib>
#include <fstream>

namespace orvo::test {

WizardFixture::WizardFixture() : now(QDate(2024, 3, 5), QTime(9, 7, 2, 45)) {
  exeFolder = tmp / "app";
  machineStore = tmp / "machine-store";
  std::filesystem::create_directories(exeFolder);
  std::filesystem::create_directories(machineStore);
  ::setenv("ORVO_MACHINE_STORE", machineStore.c_str(), 1);
  ::setenv("ORVO_USER_NSSDB", (tmp / "no-nssdb").c_str(), 1);
  ::setenv("ORVO_REGISTRY_FILE", (tmp / "hklm.reg").c_str(), 1);
}

WizardFixture::~WizardFixture() {
  w.reset();
  ::unsetenv("ORVO_MACHINE_STORE");
  ::unsetenv("ORVO_USER_NSSDB");
  ::unsetenv("ORVO_REGISTRY_FILE");
}

TCertImportWizardMain& WizardFixture::Start() {
  StepEnvironment env;
  env.loadOpenSSL = [this] { return openSslLoads && EnsureOpenSSLLoaded(); };
  env.makeServiceManager = [this] { return std::make_unique<TServiceManager>(services, clock); };
  env.clock = &clock;
  env.now = [this] { return now; };
  env.fileWriter = &writer;
  env.versionText = [] { return QStringLiteral("Version v1.0.0 build 7"); };
  steps = std::make_unique<ProductSteps>(env);
  w = std::make_unique<TCertImportWizardMain>(*steps, modal, QString::fromStdString(exeFolder));
  w->show();
  return *w;
}

void WizardFixture::RegisterServer(const Path& aInstallFolder) {
  RegisterServerValue("\"" + aInstallFolder.string() + "\"");
}

void WizardFixture::RegisterServerValue(const std::string& aRegValue) {
  std::ofstream reg(tmp / "hklm.reg");
  reg << "Windows Registry Editor Version 5.00\r\n\r\n"
      << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\r\n"
      << "\"Exepath\"=" << aRegValue << "\r\n";
}

ui::TFrmSelectCertificate& WizardFixture::Page1() const {
  return *w->fFrameSelectCert;
}
ui::TFrmSelectPrivateKey& WizardFixture::Page2() const {
  return *w->fFrameSelectKey;
}
ui::TFrmVerifyCertificate& WizardFixture::Page3() const {
  return *w->fFrameVerifyCertificate;
}

void WizardFixture::Next() {
  w->BtnNext->click();
}
void WizardFixture::Back() {
  w->BtnBack->click();
}

void WizardFixture::ChooseFolder(const Path& aFolder) {
  ChooseFolderText(QString::fromStdString(aFolder.string()));
}

void WizardFixture::ChooseFolderText(const QString& aText) {
  Page1().EdtDir->setText(aText);
  Page1().RBDir->setChecked(true);
}

void WizardFixture::PasteCertificate(const std::string& aText) {
  Page1().MClipboard->setPlainText(QString::fromStdString(aText));
  Page1().RBPaste->setChecked(true);
}

void WizardFixture::ChooseKeyFile(const Path& aFile) {
  Page2().EdtFile->setText(QString::fromStdString(aFile.string()));
  Page2().RBFile->setChecked(true);
}

void WizardFixture::PasteKey(const std::string& aText) {
  Page2().MClipboard->setPlainText(QString::fromStdString(aText));
  Page2().RBPaste->setChecked(true);
}

Path WizardFixture::FolderWithServerCertificate(const TestCert& aCert, bool aWithKey) {
  const Path folder = tmp / ("certs-" + aCert.serialHex());
  std::filesystem::create_directories(folder);
  writeCertsPem(folder / "server.pem", {aCert, pki.intermediate(), pki.root()});
  if (aWithKey) {
    writeKey(folder / "server.key", aCert, KeyFormat::PemRsa);
  }
  return folder;
}

std::vector<std::string> WizardFixture::DataFiles() const {
  std::vector<std::string> files;
  const Path data = exeFolder / "Data";
  if (std::filesystem::exists(data)) {
    for (const auto& entry : std::filesystem::directory_iterator(data)) {
      files.push_back(entry.path().filename().string());
    }
  }
  return files;
}

} // namespace orvo::test
