// The import core on its own: no QApplication, no widgets, a scripted
// interaction, the test PKI, a registry file and a scripted service manager.
// The wizard's tests cover the texts of each step through the window; these
// cover what only the core offers (file and PKCS#12 sources, the record of
// Finish, the restart of any target) and the loopback test without a page.
#include "ScriptedInteraction.h"

#include "certs/OrvoCertificate.h"
#include "certs/RevocationPeers.h"
#include "core/CertImportCore.h"
#include "support/TestPki.h"
#include "system/ScriptedServiceBackend.h"
#include "system/ServiceManager.h"
#include "system/WaitClock.h"
#include "tls/OpenSSLBinding.h"
#include "tls/PortLock.h"

#include <gmock/gmock.h>
#include <openssl/ssl.h>

#include <cstdlib>
#include <fstream>

namespace orvo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The test root is trusted on this machine, as public roots are, so that a
// live folder without the root verifies. OpenSSL's trust file is read once
// per process.
void TrustTheTestRoot() {
  static const TempDir trust;
  static const bool written = [] {
    writeCertPem(trust / "roots.pem", TestPki::instance().root());
    return ::setenv("SSL_CERT_FILE", (trust / "roots.pem").c_str(), 1) == 0;
  }();
  ASSERT_TRUE(written);
}

class CoreTest : public ::testing::Test {
protected:
  CoreTest() {
    fs::create_directories(tmp / "Data");
    fs::create_directories(tmp / "machine-store");
    TrustTheTestRoot();
    ::setenv("ORVO_MACHINE_STORE", (tmp / "machine-store").c_str(), 1);
    ::setenv("ORVO_USER_NSSDB", (tmp / "no-nssdb").c_str(), 1);
    ::setenv("ORVO_REGISTRY_FILE", (tmp / "hklm.reg").c_str(), 1);
    core::ImportEnvironment env;
    env.loadOpenSSL = [] { return EnsureOpenSSLLoaded(); };
    env.makeServiceManager = [this] { return std::make_unique<TServiceManager>(services, clock); };
    env.clock = &clock;
    env.now = [] { return QDateTime(QDate(2024, 3, 5), QTime(9, 7, 2, 45)); };
    importer = std::make_unique<core::TCertImportCore>(
        env, ui, QString::fromStdString((tmp / "Data").string() + "/"));
    EXPECT_TRUE(importer->StartupCheck());
    EXPECT_TRUE(importer->OpenStore());
  }
  ~CoreTest() override {
    importer.reset();
    ::unsetenv("ORVO_MACHINE_STORE");
    ::unsetenv("ORVO_USER_NSSDB");
    ::unsetenv("ORVO_REGISTRY_FILE");
  }

  // An ACME client's live folder: the leaf, the chain, both together, the key.
  Path LiveFolder(const TestCert& aServer) {
    const Path live = tmp / "live" / "server.test.local";
    fs::create_directories(live);
    writeCertPem(live / "cert.pem", aServer);
    writeCertsPem(live / "chain.pem", {pki.intermediate()});
    writeCertsPem(live / "fullchain.pem", {aServer, pki.intermediate()});
    writeKey(live / "privkey.pem", aServer, KeyFormat::PemPkcs8);
    return live;
  }

  void RegisterServer(const Path& aInstall) {
    std::ofstream reg(tmp / "hklm.reg");
    reg << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\r\n"
        << "\"Exepath\"=\"" << aInstall.string() << "\"\r\n";
  }

  bool CheckSource(core::SourceKind aKind, const Path& aPath) {
    core::CertificateSource source;
    source.kind = aKind;
    source.path = QString::fromStdString(aPath.string());
    return importer->CheckCertificateSource(source);
  }

  bool DataFolderEmpty() const { return fs::is_empty(tmp / "Data"); }

  TPortLock portLock;
  TestPki& pki = TestPki::instance();
  TempDir tmp;
  ScriptedInteraction ui;
  ScriptedServiceBackend services;
  FakeWaitClock clock;
  std::unique_ptr<core::TCertImportCore> importer;
};

TEST_F(CoreTest, LiveFolderVerifiesWithItsKeyAndInstallsWithABackup) {
  const TestCert server = pki.server();
  ASSERT_TRUE(CheckSource(core::SourceKind::Folder, LiveFolder(server)))
      << ::testing::PrintToString(ui.log)
      << (ui.details.empty() ? "" : ui.details[0].detailText.toStdString());
  EXPECT_TRUE(ui.topics.empty()); // a trusted chain has no warnings to ask about
  ASSERT_NE(importer->ProvidedCert(), nullptr);
  EXPECT_EQ(importer->ProvidedCert()->SerialNumber(), server.serialHex());
  EXPECT_TRUE(importer->CertHasPrivateKey());
  EXPECT_TRUE(importer->CertificateWarnings().empty());

  ui.log.clear();
  ASSERT_TRUE(importer->VerifyCertificate()) << ::testing::PrintToString(ui.log);
  EXPECT_THAT(ui.log, ElementsAre("check KeyPair Pending", "check TlsConnection Pending",
                                  "check KeyPair Passed", "check TlsConnection Passed",
                                  "passed Verification of certificate successful"));
  EXPECT_EQ(ui.busy, 0);
  EXPECT_TRUE(DataFolderEmpty());
  EXPECT_TRUE(importer->TlsReasons().empty());

  const Path target = tmp / "target";
  fs::create_directories(target);
  writeFile(target / "orvo.crt", "old\r\n");
  core::InstallSettings settings;
  settings.folder = QString::fromStdString(target.string());
  ASSERT_TRUE(importer->InstallCertificateFiles(settings));
  const core::InstallRecord& record = importer->LastInstall();
  EXPECT_TRUE(record.written);
  EXPECT_EQ(record.files.size(), 3);
  EXPECT_EQ(record.backupFolder.toStdString(), (target / "Backup_202435_97245").string() + "/");
  EXPECT_EQ(record.service, core::ServiceOutcome::NotOffered);
  std::ifstream backup(target / "Backup_202435_97245" / "orvo.crt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(backup), {}), "old\r\n");
}

TEST_F(CoreTest, Pkcs12OfAnyNameAsksUntilThePassphraseFits) {
  const TestCert server = pki.server();
  const Path bundle = tmp / "bundle.bin";
  writePfx(bundle, server, "secret", {.chain = {pki.intermediate()}});
  ui.passphrases = {"wrong", "secret"};
  ASSERT_TRUE(CheckSource(core::SourceKind::Pkcs12, bundle));
  EXPECT_THAT(ui.log, Contains("passphrase bundle.bin"));
  EXPECT_THAT(ui.log, Contains("passphrase bundle.bin again"));
  EXPECT_TRUE(importer->CertHasPrivateKey());
  EXPECT_TRUE(importer->VerifyCertificate());
}

TEST_F(CoreTest, DeclinedPassphraseRefusesTheFileWithItsReason) {
  const Path bundle = tmp / "bundle.p12";
  writePfx(bundle, pki.server(), "secret");
  EXPECT_FALSE(CheckSource(core::SourceKind::File, bundle));
  ASSERT_EQ(ui.details.size(), 1);
  EXPECT_EQ(ui.details[0].errorText, "No valid certificates could be found.");
  EXPECT_THAT(ui.details[0].reasons, Contains(HasSubstr("is not a certificate.")));
  EXPECT_EQ(importer->ProvidedCert(), nullptr);
}

TEST_F(CoreTest, AKeyOfAnotherCertificateFailsThePairProofWithoutATlsTest) {
  const Path cert = tmp / "server.crt";
  writeCertsPem(cert, {pki.server(), pki.intermediate()});
  ASSERT_TRUE(CheckSource(core::SourceKind::File, cert));
  EXPECT_FALSE(importer->CertHasPrivateKey());
  CertSpec other;
  other.keySlot = 7;
  const Path key = tmp / "other.key";
  writeKey(key, pki.issue(other), KeyFormat::PemRsa);
  ASSERT_TRUE(importer->CheckPrivateKeySource(
      {core::KeySourceKind::File, QString::fromStdString(key.string())}));

  ui.log.clear();
  EXPECT_FALSE(importer->VerifyCertificate());
  EXPECT_THAT(ui.log, Contains("check KeyPair Failed"));
  EXPECT_THAT(ui.log, ::testing::Not(Contains(HasSubstr("check TlsConnection Passed"))));
  ASSERT_EQ(ui.details.size(), 1);
  EXPECT_EQ(ui.details[0].header, "Verification Error");
  EXPECT_EQ(ui.details[0].detailText,
            "Reason(s):the public key of the certificate and the provided private key are not "
            "a pair.");
  EXPECT_EQ(ui.busy, 0);
}

// Finish into the server's folder restarts the running service; with
// restartAnyTarget a folder elsewhere restarts it too. The outcome is kept.
TEST_F(CoreTest, RestartOutcomeIsRecorded) {
  const Path install = tmp / "orvo-server";
  fs::create_directories(install / "cert");
  RegisterServer(install);
  services.AddService("OrvoCoreService", "Orvo Core Service", win::SERVICE_RUNNING);
  const Path live = LiveFolder(pki.server());
  ASSERT_TRUE(CheckSource(core::SourceKind::Folder, live));
  ASSERT_TRUE(importer->VerifyCertificate());
  EXPECT_THAT(ui.log, Contains("target " + install.string() + "/cert/"));

  ui.topics.clear();
  core::InstallSettings settings;
  settings.folder = importer->OrvoCoreCertPath();
  ASSERT_TRUE(importer->InstallCertificateFiles(settings));
  EXPECT_EQ(ui.topics, std::vector<core::Topic>{core::Topic::RestartService});
  EXPECT_EQ(importer->LastInstall().service, core::ServiceOutcome::Running);

  ui.topics.clear();
  ui.answers = {core::MbNo};
  settings.folder = QString::fromStdString((tmp / "elsewhere").string());
  settings.restartAnyTarget = true;
  ui.answers.push_front(core::MbYes); // create the folder
  ASSERT_TRUE(importer->InstallCertificateFiles(settings));
  EXPECT_EQ(ui.topics, (std::vector<core::Topic>{core::Topic::CreateTargetFolder,
                                                 core::Topic::RestartService}));
  EXPECT_EQ(importer->LastInstall().service, core::ServiceOutcome::Declined);
  EXPECT_TRUE(importer->LastInstall().backupFolder.isEmpty());
}

// The security level of a context made with the system's configuration, as
// the server makes its own.
int SystemSecurityLevel() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  const int level = ctx != nullptr ? SSL_CTX_get_security_level(ctx) : 0;
  SSL_CTX_free(ctx);
  return level;
}

// A 1024-bit key passes step 1 with its warning; where the system's security
// level refuses it, the error dialog keeps its reason line and says why.
TEST_F(CoreTest, WeakKeyFailsTheHandshakeAndTheDialogSaysWhy) {
  CertSpec certSpec;
  certSpec.keyBits = 1024;
  certSpec.keySlot = 3;
  ASSERT_TRUE(CheckSource(core::SourceKind::Folder, LiveFolder(pki.issue(certSpec))));
  ui.details.clear();
  const bool verified = importer->VerifyCertificate();
  if (SystemSecurityLevel() < 2) {
    EXPECT_TRUE(verified); // 80 bits: RSA 1024 still passes
    return;
  }
  EXPECT_FALSE(verified);
  ASSERT_EQ(ui.details.size(), 1U);
  const std::string detail = ui.details[0].detailText.toStdString();
  EXPECT_THAT(detail, ::testing::StartsWith("Reason(s):the certificate does not work with a real "
                                            "SSL Connection.\r\nError starting Server: "));
  EXPECT_THAT(detail, HasSubstr("ee key too small"));
  EXPECT_THAT(ui.details[0].reasons, Contains(HasSubstr("ee key too small")));
  EXPECT_TRUE(DataFolderEmpty());
}

// The folder lacks the intermediate, which the leaf names over authority
// information access: it is fetched, the certificate installs, and root.pem
// holds it.
TEST_F(CoreTest, IntermediateReachableOverAiaIsFetchedAndInstalled) {
  ::unsetenv("http_proxy");
  HttpFileServer server;
  CertSpec intSpec;
  intSpec.commonName = "Orvo Test AIA Intermediate";
  intSpec.usage = Usage::Ca;
  intSpec.keySlot = 1;
  const TestCert intermediate = pki.issue(intSpec, pki.root());
  server.setBody("/intermediate.cer", certDer(intermediate));
  CertSpec leafSpec;
  leafSpec.caIssuersUrl = server.url("/intermediate.cer");
  const TestCert leaf = pki.issue(leafSpec, intermediate);
  const Path folder = tmp / "aia";
  fs::create_directories(folder);
  writeCertPem(folder / "cert.pem", leaf);
  writeKey(folder / "privkey.pem", leaf, KeyFormat::PemPkcs8);
  ASSERT_TRUE(CheckSource(core::SourceKind::Folder, folder)) << ::testing::PrintToString(ui.log);
  EXPECT_TRUE(importer->CertificateWarnings().empty())
      << ::testing::PrintToString(importer->CertificateWarnings());
  ASSERT_TRUE(importer->VerifyCertificate()) << ::testing::PrintToString(ui.log);
  const Path target = tmp / "target";
  fs::create_directories(target);
  core::InstallSettings settings;
  settings.folder = QString::fromStdString(target.string());
  ASSERT_TRUE(importer->InstallCertificateFiles(settings));
  std::ifstream in(target / "root.pem");
  const std::string chain(std::istreambuf_iterator<char>(in), {});
  const std::string pem = certPem(intermediate);
  EXPECT_THAT(chain, HasSubstr(pem.substr(28, 64))); // its first line of base64
  EXPECT_EQ(server.requests("/intermediate.cer"), 1);
}

// A revocation server that never answers: step 1 waits one time-out with the
// page painted, and the certificate carries the soft-fail warning.
TEST_F(CoreTest, UnansweredRevocationCheckIsAWarningAndThePageStaysPainted) {
  ::unsetenv("http_proxy");
  HttpFileServer silent(HttpFileServer::Mode::Silent);
  CertSpec certSpec;
  certSpec.crlUrl = silent.url("/intermediate.crl");
  ASSERT_TRUE(CheckSource(core::SourceKind::Folder, LiveFolder(pki.issue(certSpec))));
  EXPECT_GT(ui.painted, 0);
  EXPECT_THAT(importer->CertificateWarnings(), Contains("    revocation could not be checked"));
}

} // namespace
} // namespace orvo::test
