// Whole runs of the real orvo-cert-importer process (offscreen), driven by the
// test driver plugin, against a temporary server installation: a registry
// file naming its folder, old certificate files in its cert/ folder, and the
// server's service on a private D-Bus with python-dbusmock's systemd template.
#include "SystemdMock.h"
#include "support/TestPki.h"
#include "tls/PortLock.h"

#include <gmock/gmock.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace orvo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadAll(const Path& aFile) {
  std::ifstream in(aFile, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a command line with the shell and returns its output; for the
// OpenSSL tools.
std::string Shell(const std::string& aCommand) {
  std::string output;
  if (FILE* pipe = ::popen((aCommand + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
      output.append(buffer, n);
    }
    ::pclose(pipe);
  }
  return output;
}

// Once step 3 is reached: Finish into the server's folder, restart the
// service, acknowledge the expiry date.
const std::string kFinishAndRestart = "wait-title Step 3\n"
                                      "click BtnNext\n"
                                      "message Yes Success. Do you want to restart\n"
                                      "message OK The certificate will expire at :\n"
                                      "wait-exit\n";

class EndToEndTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!SystemdMock::ToolsInstalled()) {
      GTEST_SKIP() << "python3-dbusmock is not installed";
    }
    ASSERT_EQ(mock.Failure(), "");
    mock.AddUnit("OrvoCoreService.service", "Orvo Core Service", "active", "enabled");
    server = tmp / "orvo-server";
    fs::create_directories(server / "cert");
    writeFile(server / "cert" / "orvo.crt", "old certificate\r\n");
    writeFile(server / "cert" / "root.pem", "old chain\r\n");
    writeFile(server / "cert" / "orvo.key", "old key\r\n");
    fs::permissions(server / "cert" / "orvo.key", fs::perms::owner_read);
    std::ofstream reg(tmp / "hklm.reg");
    reg << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\r\n"
        << "\"Exepath\"=\"" << server.string() << "\"\r\n";
    fs::create_directories(tmp / "machine-store");
  }

  // Runs the program with the script; returns the driver's log.
  std::string RunWizard(const std::string& aScript) {
    writeFile(tmp / "script.txt", aScript);
    const std::vector<std::string> extra = {
        "QT_QPA_PLATFORM=" + Platform(),
        std::string("QT_PLUGIN_PATH=") + ORVO_E2E_PLUGIN_DIR,
        "QT_QPA_GENERIC_PLUGINS=orvo_e2e_driver",
        "ORVO_E2E_SCRIPT=" + (tmp / "script.txt").string(),
        "ORVO_E2E_LOG=" + (tmp / "driver.log").string(),
        "ORVO_REGISTRY_FILE=" + (tmp / "hklm.reg").string(),
        "ORVO_MACHINE_STORE=" + (tmp / "machine-store").string(),
        "ORVO_USER_NSSDB=" + (tmp / "no-nssdb").string(),
        "DBUS_SYSTEM_BUS_ADDRESS=" + mock.Address(),
    };
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& x) {
        return x.compare(0, name.size() + 1, name + "=") == 0;
      });
      if (!replaced) {
        env.push_back(entry);
      }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& entry : env) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = ORVO_IMPORTER_EXE;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    exitStatus = WaitFor(pid);
    return ReadAll(tmp / "driver.log");
  }

  // Offscreen unless the screenshot script asks for the X11 platform.
  static std::string Platform() {
    const char* platform = std::getenv("ORVO_E2E_PLATFORM");
    return platform != nullptr ? platform : "offscreen";
  }

  static int WaitFor(pid_t aPid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    while (::waitpid(aPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(aPid, SIGKILL);
        ::waitpid(aPid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The installed files, proven once more by a handshake between the
  // OpenSSL tools, with the test root as the client's only trust anchor.
  void ExpectInstalledAndWorking(const std::string& aLog) {
    EXPECT_EQ(exitStatus, 0) << aLog;
    EXPECT_THAT(aLog, HasSubstr("Success. Do you want to restart the Orvo server now"));
    EXPECT_THAT(aLog, HasSubstr("The certificate will expire at :"));
    EXPECT_THAT(aLog, ::testing::Not(HasSubstr("script failed")));
    const Path cert = server / "cert";
    EXPECT_THAT(ReadAll(cert / "orvo.crt"), HasSubstr("BEGIN CERTIFICATE"));
    const std::string key = ReadAll(cert / "orvo.key");
    EXPECT_EQ(key.rfind("-----BEGIN " + keyLabel + "-----\r\n", 0), 0u) << key;
    EXPECT_EQ(key.find("\r\n\r\n"), std::string::npos);
    int backups = 0;
    for (const auto& entry : fs::directory_iterator(cert)) {
      if (entry.path().filename().string().rfind("Backup_", 0) == 0) {
        ++backups;
        EXPECT_EQ(ReadAll(entry.path() / "orvo.key"), "old key\r\n");
        EXPECT_EQ(ReadAll(entry.path() / "orvo.crt"), "old certificate\r\n");
        EXPECT_EQ(ReadAll(entry.path() / "root.pem"), "old chain\r\n");
      }
    }
    EXPECT_EQ(backups, 1);
    EXPECT_EQ(mock.GetString("OrvoCoreService.service", "ActiveState"), "active");

    writeCertPem(tmp / "trust.pem", pki.root());
    const std::string port = "51287";
    const std::string serverCmd = "openssl s_server -quiet -naccept 1 -accept 127.0.0.1:" + port +
                                  " -cert " + (cert / "orvo.crt").string() + " -key " +
                                  (cert / "orvo.key").string() + " -cert_chain " +
                                  (cert / "root.pem").string() + " >/dev/null 2>&1 & sleep 0.5; ";
    const std::string output =
        Shell(serverCmd + "echo | openssl s_client -connect 127.0.0.1:" + port + " -CAfile " +
              (tmp / "trust.pem").string() + " -verify_return_error -servername e2e.test.local");
    EXPECT_THAT(output, HasSubstr("Verify return code: 0 (ok)"));
  }

  TPortLock portLock; // the program's TLS test uses the fixed port
  TestPki& pki = TestPki::instance();
  TempDir tmp;
  SystemdMock mock;
  Path server;
  TestCert leaf = pki.server("e2e.test.local");
  // orvo.key's PEM label: RSA keys as the server has always read them,
  // others as PKCS#8.
  std::string keyLabel = "RSA PRIVATE KEY";
  int exitStatus = -1;
};

TEST_F(EndToEndTest, Pkcs12InAFolder) {
  const Path folder = tmp / "pfx";
  fs::create_directories(folder);
  writePfx(folder / "server.pfx", leaf, "secret",
           PfxOptions{.chain = {pki.intermediate(), pki.root()}});
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "check RBDir\n"
                                    "set EdtDir " +
                                    folder.string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "passphrase secret\n"
                                    "message Yes There are warnings\n" +
                                    kFinishAndRestart);
  ExpectInstalledAndWorking(log);
}

// The service does not come up with the new files (systemd reports the unit
// failed): the wait ends at once and one answer brings the old files back,
// with the hardened key's mode, and the server running again.
TEST_F(EndToEndTest, AServiceThatFailsToStartIsBroughtBackToTheOldFiles) {
  const Path folder = tmp / "pfx";
  fs::create_directories(folder);
  writePfx(folder / "server.pfx", leaf, "secret",
           PfxOptions{.chain = {pki.intermediate(), pki.root()}});
  mock.FailStarts("OrvoCoreService.service", 1);
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "check RBDir\n"
                                    "set EdtDir " +
                                    folder.string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "passphrase secret\n"
                                    "message Yes There are warnings\n"
                                    "wait-title Step 3\n"
                                    "click BtnNext\n"
                                    "message Yes Success. Do you want to restart\n"
                                    "message Yes The Orvo server did not start with the new\n"
                                    "message OK The previous certificate files are back\n"
                                    "wait-exit\n");
  EXPECT_EQ(exitStatus, 0) << log;
  EXPECT_THAT(log, ::testing::Not(HasSubstr("script failed")));
  EXPECT_THAT(log, HasSubstr("Warning: The Orvo server did not start with the new certificate. Do "
                             "you want to restore the previous certificate files and start the "
                             "server again?"));
  EXPECT_THAT(log, HasSubstr("The previous certificate files are back in place and the Orvo "
                             "server is running again."));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("The certificate will expire at :")));
  const Path cert = server / "cert";
  EXPECT_EQ(ReadAll(cert / "orvo.crt"), "old certificate\r\n");
  EXPECT_EQ(ReadAll(cert / "root.pem"), "old chain\r\n");
  EXPECT_EQ(ReadAll(cert / "orvo.key"), "old key\r\n");
  EXPECT_EQ(fs::status(cert / "orvo.key").permissions() & fs::perms::all, fs::perms::owner_read);
  EXPECT_EQ(mock.GetString("OrvoCoreService.service", "ActiveState"), "active");
}

TEST_F(EndToEndTest, NoToTheRestoreKeepsTheNewFilesAndNamesTheBackup) {
  const Path folder = tmp / "pfx";
  fs::create_directories(folder);
  writePfx(folder / "server.pfx", leaf, "secret",
           PfxOptions{.chain = {pki.intermediate(), pki.root()}});
  mock.FailStarts("OrvoCoreService.service", 1);
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "check RBDir\n"
                                    "set EdtDir " +
                                    folder.string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "passphrase secret\n"
                                    "message Yes There are warnings\n"
                                    "wait-title Step 3\n"
                                    "click BtnNext\n"
                                    "message Yes Success. Do you want to restart\n"
                                    "message No The Orvo server did not start with the new\n"
                                    "message OK The new certificate files stay in\n"
                                    "message OK The certificate will expire at :\n"
                                    "wait-exit\n");
  EXPECT_EQ(exitStatus, 0) << log;
  EXPECT_THAT(log, ::testing::Not(HasSubstr("script failed")));
  EXPECT_THAT(log, HasSubstr("The previous files are in the backup folder " +
                             (server / "cert").string() + "/Backup_"));
  EXPECT_THAT(ReadAll(server / "cert" / "orvo.crt"), HasSubstr("BEGIN CERTIFICATE"));
  EXPECT_EQ(mock.GetString("OrvoCoreService.service", "ActiveState"), "failed");
}

TEST_F(EndToEndTest, CertificateAndKeyAsSeparateFiles) {
  const Path folder = tmp / "files";
  fs::create_directories(folder);
  writeCertsPem(folder / "server.pem", {leaf, pki.intermediate(), pki.root()});
  writeKey(tmp / "server.key", leaf, KeyFormat::PemPkcs8);
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "check RBDir\n"
                                    "set EdtDir " +
                                    folder.string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "message Yes There are warnings\n"
                                    "wait-title Step 2\n"
                                    "check RBFile\n"
                                    "set EdtFile " +
                                    (tmp / "server.key").string() +
                                    "\n"
                                    "click BtnNext\n" +
                                    kFinishAndRestart);
  ExpectInstalledAndWorking(log);
}

TEST_F(EndToEndTest, PastedCertificateAndKeyText) {
  writeCertsPem(tmp / "paste-cert.txt", {leaf, pki.intermediate(), pki.root()});
  writeKey(tmp / "paste-key.txt", leaf, KeyFormat::PemRsa);
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "paste MClipboard " +
                                    (tmp / "paste-cert.txt").string() +
                                    "\n"
                                    "check RBPaste\n"
                                    "click BtnNext\n"
                                    "message Yes There are warnings\n"
                                    "wait-title Step 2\n"
                                    "paste MClipboard " +
                                    (tmp / "paste-key.txt").string() +
                                    "\n"
                                    "check RBPaste\n"
                                    "click BtnNext\n" +
                                    kFinishAndRestart);
  ExpectInstalledAndWorking(log);
}

// What certbot, acme.sh, lego and Caddy leave by default: an ECDSA P-256
// certificate in a live folder of the machine store, its key beside it, so
// that step 2 is skipped.
TEST_F(EndToEndTest, EcdsaCertificateFromAnAcmeLiveFolder) {
  CertSpec certSpec;
  certSpec.commonName = "e2e.test.local";
  certSpec.keyType = KeyType::EcP256;
  leaf = pki.issue(certSpec);
  const Path live = tmp / "machine-store"; // stands for /etc/letsencrypt/live/<name>
  writeCertPem(live / "cert.pem", leaf);
  writeCertsPem(live / "chain.pem", {pki.intermediate()});
  writeCertsPem(live / "fullchain.pem", {leaf, pki.intermediate()});
  writeKey(live / "privkey.pem", leaf, KeyFormat::PemPkcs8);
  keyLabel = "PRIVATE KEY";
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "click BtnNext\n"
                                    "message Yes There are warnings\n" +
                                    kFinishAndRestart);
  EXPECT_THAT(log, ::testing::Not(HasSubstr("Step 2")));
  ExpectInstalledAndWorking(log);
}

TEST_F(EndToEndTest, P384Pkcs12WithAnEcChain) {
  CertSpec caSpec;
  caSpec.commonName = "Orvo Test EC Intermediate CA";
  caSpec.usage = Usage::Ca;
  caSpec.keyType = KeyType::EcP384;
  caSpec.keySlot = 3;
  const TestCert ecCa = pki.issue(caSpec, pki.root());
  CertSpec certSpec;
  certSpec.commonName = "e2e.test.local";
  certSpec.keyType = KeyType::EcP384;
  leaf = pki.issue(certSpec, ecCa);
  const Path folder = tmp / "pfx";
  fs::create_directories(folder);
  writePfx(folder / "server.p12", leaf, "secret", PfxOptions{.chain = {ecCa, pki.root()}});
  keyLabel = "PRIVATE KEY";
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "check RBDir\n"
                                    "set EdtDir " +
                                    folder.string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "passphrase secret\n"
                                    "message Yes There are warnings\n" +
                                    kFinishAndRestart);
  ExpectInstalledAndWorking(log);
}

TEST_F(EndToEndTest, Ed25519WithItsWarning) {
  CertSpec certSpec;
  certSpec.commonName = "e2e.test.local";
  certSpec.keyType = KeyType::Ed25519;
  leaf = pki.issue(certSpec);
  writeCertsPem(tmp / "paste-cert.txt", {leaf, pki.intermediate(), pki.root()});
  writeKey(tmp / "ed25519.key", leaf, KeyFormat::PemPkcs8);
  keyLabel = "PRIVATE KEY";
  const std::string log =
      RunWizard("wait-title Step 1\n"
                "paste MClipboard " +
                (tmp / "paste-cert.txt").string() +
                "\n"
                "check RBPaste\n"
                "click BtnNext\n"
                "message Yes The key type Ed25519 is not accepted by common browsers.\n"
                "wait-title Step 2\n"
                "check RBFile\n"
                "set EdtFile " +
                (tmp / "ed25519.key").string() +
                "\n"
                "click BtnNext\n" +
                kFinishAndRestart);
  ExpectInstalledAndWorking(log);
}

// Run by scripts/screenshots under Xvfb: the README's pictures of the main
// window on step 1 and after a successful verification in step 3.
TEST_F(EndToEndTest, DISABLED_Screenshots) {
  const char* outDir = std::getenv("ORVO_E2E_SCREENSHOTS");
  ASSERT_NE(outDir, nullptr);
  const Path out = fs::absolute(outDir);
  const Path folder = tmp / "pfx";
  fs::create_directories(folder);
  writePfx(folder / "server.pfx", leaf, "secret",
           PfxOptions{.chain = {pki.intermediate(), pki.root()}});
  const std::string log = RunWizard("wait-title Step 1\n"
                                    "check RBDir\n"
                                    "set EdtDir " +
                                    folder.string() +
                                    "\n"
                                    "screenshot " +
                                    (out / "main-step1.png").string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "passphrase secret\n"
                                    "message Yes There are warnings\n"
                                    "wait-title Step 3\n"
                                    "wait-enabled BtnNext\n"
                                    "screenshot " +
                                    (out / "main-step3-success.png").string() +
                                    "\n"
                                    "click BtnNext\n"
                                    "message No Success. Do you want to restart\n"
                                    "message OK The certificate will expire at :\n"
                                    "wait-exit\n");
  EXPECT_EQ(exitStatus, 0) << log;
  EXPECT_TRUE(fs::exists(out / "main-step3-success.png"));
}

} // namespace
} // namespace orvo::test
