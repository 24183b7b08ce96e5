#include "tls/LoopbackTlsTest.h"

#include "tls/LoopbackTlsServer.h"
#include "tls/OpenSSLBinding.h"
#include "tls/ProgramFolder.h"

#include <exception>
#include <system_error>

namespace orvo {

namespace {

// Deletes the staged files however the call ends.
class TStagedFiles {
public:
  explicit TStagedFiles(const std::string& aDataPath)
      : RootCertFile(aDataPath + "root.pem"), CertFile(aDataPath + "orvo.crt"),
        KeyFile(aDataPath + "orvo.key") {}
  ~TStagedFiles() {
    std::error_code ignored; // a file that cannot be deleted stays without notice
    std::filesystem::remove(RootCertFile, ignored);
    std::filesystem::remove(KeyFile, ignored);
    std::filesystem::remove(CertFile, ignored);
  }
  TStagedFiles(const TStagedFiles&) = delete;
  TStagedFiles& operator=(const TStagedFiles&) = delete;

  const std::string RootCertFile;
  const std::string CertFile;
  const std::string KeyFile;
};

// Both sides offer TLS 1.2 and TLS 1.3 (OpenSSL 3 has no SSL 3.0), ask for
// no peer certificate and use the default cipher list.
void ConfigureLoopbackLayer(TLSOptions& aOptions) {
  aOptions.SetSSLVersions({TSSLVersion::sslvTLSv1_2, TSSLVersion::sslvTLSv1_3});
  aOptions.Mode = TSSLMode::sslmUnassigned;
  aOptions.VerifyMode = 0;
  aOptions.VerifyDepth = 3;
  aOptions.CipherList.clear();
}

} // namespace

TLoopbackTlsTest::TLoopbackTlsTest(std::filesystem::path aProgramFolder)
    : fProgramFolder(aProgramFolder.empty() ? RunningProgramFolderForTls()
                                            : std::move(aProgramFolder)),
      fServer(std::make_unique<TLoopbackTlsServer>(
          OpenSSLBinding(), TLoopbackEndpoint{kAddress, kPort}, fProgramFolder)) {
  ConfigureLoopbackLayer(fServer->Options());
  fServer->PassphraseEvents().OnGetPassword = [] { return std::string(kServerKeyPassphrase); };
}

TLoopbackTlsTest::~TLoopbackTlsTest() = default;

bool TLoopbackTlsTest::VerifySSLConnectionIsPossible(const std::string& aDataPath,
                                                     std::vector<std::string>& aFailReasons) {
  bool result = true;
  const TStagedFiles files(aDataPath);
  fServer->Stop();
  TLSOptions& serverOptions = fServer->Options();
  serverOptions.RootCertFile = files.RootCertFile;
  serverOptions.CertFile = files.CertFile;
  serverOptions.KeyFile = files.KeyFile;
  try {
    fServer->Start();
  } catch (const std::exception& e) {
    aFailReasons.push_back(std::string("Error starting Server: ") + e.what());
    result = false;
  }
  if (!result) {
    // Without our server a client would only meet whatever else holds the
    // port, and its handshake would say nothing about these files.
    return false;
  }
  TLoopbackTlsClient client(OpenSSLBinding(), TLoopbackEndpoint{kAddress, kPort}, fProgramFolder);
  ConfigureLoopbackLayer(client.Options());
  try {
    client.Connect();
  } catch (const std::exception& e) {
    aFailReasons.push_back(std::string("Error connection to Server: ") + e.what());
    result = false;
  }
  client.Disconnect();
  fServer->Stop();
  return result;
}

} // namespace orvo
