#include "core/CertImportCore.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "system/ServiceManager.h"
#include "system/WaitClock.h"
#include "tls/LoopbackTlsTest.h"
#include "tls/OpenSSLBinding.h"

namespace orvo::core {

ImportEnvironment ImportEnvironment::Product() {
  ImportEnvironment env;
  env.loadOpenSSL = [] { return EnsureOpenSSLLoaded(); };
  env.makeServiceManager = [] { return std::make_unique<TServiceManager>(); };
  env.clock = &SystemWaitClock();
  env.now = [] { return QDateTime::currentDateTime(); };
  return env;
}

TCertImportCore::TCertImportCore(ImportEnvironment aEnvironment, Interaction& aInteraction,
                                 QString aDataPath)
    : fEnv(std::move(aEnvironment)), fInteraction(aInteraction), fDataPath(std::move(aDataPath)),
      fCertValidator(std::make_shared<TOrvoSSLCertificateValidator>()),
      fTlsTest(std::make_unique<TLoopbackTlsTest>()) {
  fCertValidator->SetOnRequestPassWord(
      [this](const std::string& aFileName, std::string& aPassword, bool aWasWrong) {
        return HandlePasswordRequest(aFileName, aPassword, aWasWrong);
      });
}

TCertImportCore::~TCertImportCore() {
  // The chosen certificate may live in the store or in a kept list: forget
  // it before either goes.
  fProvidedCert = nullptr;
  fProvidedKey = nullptr;
  fStore = nullptr;
  fKeptCandidates.clear();
}

} // namespace orvo::core
