#pragma once
// The real wizard window with the product's steps, driven offscreen through
// the scripted modal seam, with a temporary machine store, registry file and
// executable folder, a scripted service manager and a fake clock.

#include "support/FailingWriter.h"
#include "support/ScriptedModalUi.h"
#include "support/TestPki.h"
#include "system/ScriptedServiceBackend.h"
#include "system/WaitClock.h"
#include "tls/PortLock.h"
#include "wizard/ProductSteps.h"
#include "wizard/SSLCertImporterMain.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <memory>

namespace orvo::ui {
class TFrmSelectCertificate;
class TFrmSelectPrivateKey;
class TFrmVerifyCertificate;
} // namespace orvo::ui

namespace orvo::test {

class WizardFixture : public ::testing::Test {
protected:
  WizardFixture();
  ~WizardFixture() override;

  // Creates the window (FormCreate runs) and shows it.
  TCertImportWizardMain& Start();

  // The registry names a server installation in this folder.
  void RegisterServer(const Path& aInstallFolder);
  // The registry's installation entry with its value as a .reg file writes it.
  void RegisterServerValue(const std::string& aRegValue);

  ui::TFrmSelectCertificate& Page1() const;
  ui::TFrmSelectPrivateKey& Page2() const;
  ui::TFrmVerifyCertificate& Page3() const;

  void Next();
  void Back();
  void ChooseFolder(const Path& aFolder);
  void ChooseFolderText(const QString& aText);
  void PasteCertificate(const std::string& aText);
  void ChooseKeyFile(const Path& aFile);
  void PasteKey(const std::string& aText);

  // A folder with a server certificate and its chain, ready for the folder
  // source; the key file is added only when asked for.
  Path FolderWithServerCertificate(const TestCert& aCert, bool aWithKey);

  // Errors shown in the error detail dialog.
  std::vector<ModalCall> ErrorDialogs() const {
    return modal.CallsOf(ModalCall::What::ErrorDetail);
  }
  // The files of the data folder.
  std::vector<std::string> DataFiles() const;

  // Step 3 runs the loopback TLS test on its fixed port.
  TPortLock portLock;
  TestPki& pki = TestPki::instance();
  TempDir tmp;
  Path exeFolder;
  Path machineStore;
  ScriptedModalUi modal;
  ScriptedServiceBackend services;
  FakeWaitClock clock;
  QDateTime now;
  // Backup and restore copies go through it; tests may set a limit.
  FailingWriter writer;
  bool openSslLoads = true;
  std::unique_ptr<ProductSteps> steps;
  std::unique_ptr<TCertImportWizardMain> w;
};

} // namespace orvo::test
