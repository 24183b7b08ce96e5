#include "wizard/ProductSteps.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "core/CoreText.h"
#include "system/CertFileVersion.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardInteraction.h"

#include <QLabel>

namespace orvo {

StepEnvironment StepEnvironment::Product() {
  StepEnvironment env;
  static_cast<core::ImportEnvironment&>(env) = core::ImportEnvironment::Product();
  env.versionText = [] { return ToQ(VersionLabelText()); };
  return env;
}

ProductSteps::ProductSteps(StepEnvironment aEnvironment) : fEnv(std::move(aEnvironment)) {}

ProductSteps::~ProductSteps() = default;

core::TCertImportCore& ProductSteps::CoreOf(TCertImportWizardMain& w) {
  if (!fCore) {
    fInteraction = std::make_unique<WizardInteraction>(w);
    fCore = std::make_unique<core::TCertImportCore>(fEnv, *fInteraction, w.fDataPath);
  }
  return *fCore;
}

void ProductSteps::MirrorCore(TCertImportWizardMain& w) {
  const core::TCertImportCore& c = CoreOf(w);
  w.fStore = c.Store();
  w.fCertValidator = c.Validator();
  w.fProvidedCert = c.ProvidedCert();
  w.fProvidedKey = c.ProvidedKey();
  w.fCertHasPrivateKey = c.CertHasPrivateKey();
  w.fIsOrvoCoreInstallation = c.IsOrvoCoreInstallation();
  w.fOrvoCoreCertPath = c.OrvoCoreCertPath();
}

void ProductSteps::InitVersionLabel(TCertImportWizardMain& w) {
  if (fEnv.versionText) {
    w.LblVersion->setText(fEnv.versionText());
    w.LblVersion->adjustSize();
  }
}

void ProductSteps::InitValidator(TCertImportWizardMain& w) {
  // The core's validator asks for passphrases through the window's seam.
  MirrorCore(w);
}

bool ProductSteps::StartupCheck(TCertImportWizardMain& w) {
  if (CoreOf(w).StartupCheck()) {
    return true;
  }
  w.RequestTermination();
  return false;
}

void ProductSteps::FormDestroy(TCertImportWizardMain& w) {
  // The chosen certificate may live in the store or in a kept list: forget
  // it before either goes.
  w.fProvidedCert = nullptr;
  w.fProvidedKey = nullptr;
  w.fStore = nullptr;
  w.fCertValidator = nullptr;
  fCore.reset();
  fInteraction.reset();
}

} // namespace orvo
