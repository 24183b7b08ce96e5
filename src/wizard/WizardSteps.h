#pragma once
// The operations that each step of the wizard supplies to the step machine.
// The machine (TCertImportWizardMain) knows no certificates: it calls a show
// operation to enter a step and a check when Next is pressed. The product's
// steps implement this interface; tests give the window doubles.

namespace orvo {

class TCertImportWizardMain;

class WizardSteps {
public:
  virtual ~WizardSteps() = default;

  // Start-up actions of the steps, run by InitWizard in this order: the
  // version label, the step pages, the validator with its passphrase handler.
  virtual void InitVersionLabel(TCertImportWizardMain& aWizard) = 0;
  virtual void InitStepPages(TCertImportWizardMain& aWizard) = 0;
  virtual void InitValidator(TCertImportWizardMain& aWizard) = 0;

  // Start-up check of step 3 (OpenSSL must load). On failure it has told the
  // user and asked the application to terminate.
  virtual bool StartupCheck(TCertImportWizardMain& aWizard) = 0;

  // Show operations set the buttons, host the step's page, set the step title
  // and fActiveStep; they return true when the step is shown (step 3: when
  // its verification succeeded; it is entered in either case).
  virtual bool ShowStepSelectCertificate(TCertImportWizardMain& aWizard) = 0;
  virtual bool ShowStepSelectPrivateKey(TCertImportWizardMain& aWizard) = 0;
  virtual bool ShowStepVerifyCertificate(TCertImportWizardMain& aWizard) = 0;

  // Checks run by Next; false after the user was told why.
  virtual bool CheckCertificateSource(TCertImportWizardMain& aWizard) = 0;
  virtual bool CheckPrivateKeySource(TCertImportWizardMain& aWizard) = 0;
  virtual bool InstallCertificateFiles(TCertImportWizardMain& aWizard) = 0;

  // Clean-up when the window is destroyed.
  virtual void FormDestroy(TCertImportWizardMain& aWizard) = 0;
};

} // namespace orvo
