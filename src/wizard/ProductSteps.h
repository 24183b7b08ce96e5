#pragma once
// The product's three steps of the wizard: certificate source, private key,
// verification with the installation of the files and the server restart.
// The steps are thin: they read the pages, call the import core and show
// what it found; the core talks back through WizardInteraction. The
// operations bear the names the rest of the team uses for them; what the
// machine calls is the WizardSteps interface.

#include "core/CertImportCore.h"
#include "wizard/WizardSteps.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

namespace orvo {

class WizardInteraction;

// What the steps take from the machine; tests replace the parts they pin.
struct StepEnvironment : core::ImportEnvironment {
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
                                  const QDateTime& aTime) {
    return core::TCertImportCore::GetBackupDirName(aFolder, aDate, aTime);
  }

private:
  // The core of the window's run, made on first use with the window's data
  // folder and an interaction over the window's modal seam.
  core::TCertImportCore& CoreOf(TCertImportWizardMain& w);
  // Copies the core's state of the run into the window's fields, which the
  // step machine reads.
  void MirrorCore(TCertImportWizardMain& w);

  void FillCertificateList(TCertImportWizardMain& w, int aCount);
  void RunVerification(TCertImportWizardMain& w, bool& aResult);

  StepEnvironment fEnv;
  std::unique_ptr<WizardInteraction> fInteraction;
  std::unique_ptr<core::TCertImportCore> fCore;
};

} // namespace orvo
