#include "wizard/ProductSteps.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "system/CertFileVersion.h"
#include "system/ServiceManager.h"
#include "system/WaitClock.h"
#include "tls/OpenSSLBinding.h"
#include "wizard/SSLCertImporterMain.h"
#include "wizard/WizardText.h"

#include <QLabel>

namespace orvo {

StepEnvironment StepEnvironment::Product() {
  StepEnvironment env;
  env.loadOpenSSL = [] { return EnsureOpenSSLLoaded(); };
  env.makeServiceManager = [] { return std::make_unique<TServiceManager>(); };
  env.clock = &SystemWaitClock();
  env.now = [] { return QDateTime::currentDateTime(); };
  env.versionText = [] { return ToQ(VersionLabelText()); };
  return env;
}

ProductSteps::ProductSteps(StepEnvironment aEnvironment) : fEnv(std::move(aEnvironment)) {}

ProductSteps::~ProductSteps() = default;

void ProductSteps::InitVersionLabel(TCertImportWizardMain& w) {
  if (fEnv.versionText) {
    w.LblVersion->setText(fEnv.versionText());
    w.LblVersion->adjustSize();
  }
}

void ProductSteps::FormDestroy(TCertImportWizardMain& w) {
  // The chosen certificate may live in the store or in a kept list: forget
  // it before either goes.
  w.fProvidedCert = nullptr;
  w.fProvidedKey = nullptr;
  w.fStore = nullptr;
  fKeptCandidates.clear();
}

} // namespace orvo
