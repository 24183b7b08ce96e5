// The command line in this process, through its seams: a scripted service
// manager with a fake clock (the waits of minutes run at once) and a journal
// that records its entries or fails.
#include "CliFixture.h"

#include "cli/CommandLine.h"
#include "cli/Report.h"
#include "system/ScriptedServiceBackend.h"
#include "system/ServiceManager.h"
#include "system/WaitClock.h"
#include "tls/OpenSSLBinding.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <cstdlib>

namespace orvo::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

class CommandLineTest : public CliFixture {
protected:
  CommandLineTest() {
    ::setenv("ORVO_REGISTRY_FILE", (tmp / "hklm.reg").c_str(), 1);
    ::setenv("ORVO_MACHINE_STORE", (tmp / "machine-store").c_str(), 1);
    ::setenv("ORVO_USER_NSSDB", (tmp / "no-nssdb").c_str(), 1);
    ::setenv("ORVO_HOST_NAMES", "cli.test.local", 1); // read once per process
    TrustTheTestRoot();
    core::ImportEnvironment env;
    env.loadOpenSSL = [] { return EnsureOpenSSLLoaded(); };
    env.makeServiceManager = [this] { return std::make_unique<TServiceManager>(services, clock); };
    env.clock = &clock;
    env.now = [] { return QDateTime::currentDateTime(); };
    seams.environment = env;
    seams.terminalAllowed = false;
    seams.startSharedUnits = false;
    seams.journal = [this](const std::vector<std::string>& aFields) {
      journal = aFields;
      return journalResult;
    };
  }
  ~CommandLineTest() override {
    ::unsetenv("ORVO_REGISTRY_FILE");
    ::unsetenv("ORVO_MACHINE_STORE");
    ::unsetenv("ORVO_USER_NSSDB");
  }

  // OpenSSL's trust file is read once per process: the first fixture's file
  // is kept for all.
  static void TrustTheTestRoot() {
    static const TempDir trust;
    static const bool written = [] {
      writeCertPem(trust / "roots.pem", TestPki::instance().root());
      return ::setenv("SSL_CERT_FILE", (trust / "roots.pem").c_str(), 1) == 0;
    }();
    ASSERT_TRUE(written);
  }

  int Run(std::vector<std::string> aArgs) {
    aArgs.insert(aArgs.begin(), "orvo-cert-importer");
    std::vector<char*> argv;
    for (auto& arg : aArgs) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(aArgs.size());
    return cli::RunCommandLine(argc, argv.data(), seams);
  }

  std::string Field(const std::string& aName) const {
    for (const std::string& field : journal) {
      if (field.rfind(aName + "=", 0) == 0) {
        return field.substr(aName.size() + 1);
      }
    }
    return "<missing>";
  }

  ScriptedServiceBackend services;
  FakeWaitClock clock;
  cli::CliSeams seams;
  std::vector<std::string> journal;
  int journalResult = 0;
};

// The journal cannot be reached: the installation is done all the same, and
// the entry carried what journalctl -t orvo-cert-importer shows.
TEST_F(CommandLineTest, AFailingJournalDoesNotFailTheInstall) {
  services.AddService("OrvoCoreService", "Orvo Core Service", win::SERVICE_RUNNING);
  journalResult = -ENOENT;
  const Path live = LiveFolder(leaf);
  ASSERT_EQ(Run({"install", "--dir", live.string(), "--quiet"}), cli::kExitDone);
  EXPECT_EQ(Field("SYSLOG_IDENTIFIER"), "orvo-cert-importer");
  EXPECT_EQ(Field("ORVO_CERT_SERIAL"), leaf.serialHex());
  EXPECT_EQ(Field("ORVO_TARGET"), (server / "cert" / "").string());
  EXPECT_EQ(Field("ORVO_RESULT"), "ok");
  EXPECT_EQ(Field("ORVO_SERVICE"), "running");
  EXPECT_THAT(Field("ORVO_CERT_EXPIRY"), ::testing::EndsWith("Z"));
  EXPECT_THAT(Field("MESSAGE"), HasSubstr(leaf.serialHex()));
  EXPECT_EQ(journal.front().rfind("MESSAGE=", 0), 0u);
  EXPECT_EQ(Backups(), 1);
}

// The service is started again but never comes up: exit code 5 after the
// wait, and the journal says so.
TEST_F(CommandLineTest, AServiceThatDoesNotComeBackIsExitCodeFive) {
  auto& core = services.AddService("OrvoCoreService", "Orvo Core Service", win::SERVICE_RUNNING);
  core.Transitions[ScriptedServiceBackend::Request::Start] = {
      ScriptedServiceBackend::MakeStatus(win::SERVICE_STOPPED)};
  const Path live = LiveFolder(leaf);
  EXPECT_EQ(Run({"install", "--dir", live.string(), "--quiet"}), cli::kExitServiceFailed);
  EXPECT_EQ(Field("ORVO_RESULT"), "service-failed");
  // A service that has stopped with nothing pending has failed: the wait
  // ends at once, and the command line puts the previous files back.
  EXPECT_EQ(Field("ORVO_SERVICE"), "not-running");
  EXPECT_EQ(Field("PRIORITY"), "3");
  EXPECT_EQ(ReadAll(server / "cert" / "orvo.crt"), "old certificate\r\n");
}

TEST_F(CommandLineTest, RefusedStartAndMissingServiceFollowTheRestartOption) {
  auto& core = services.AddService("OrvoCoreService", "Orvo Core Service", win::SERVICE_STOPPED);
  core.Refusals[ScriptedServiceBackend::Request::Start] = 5;
  const Path live = LiveFolder(leaf);
  EXPECT_EQ(Run({"install", "--dir", live.string(), "--quiet"}), cli::kExitServiceFailed);
  EXPECT_EQ(Field("ORVO_SERVICE"), "failed");

  EXPECT_EQ(Run({"install", "--dir", live.string(), "--quiet", "--restart=no"}), cli::kExitDone);
  EXPECT_EQ(Field("ORVO_SERVICE"), "declined");

  services.RemoveService("OrvoCoreService");
  EXPECT_EQ(Run({"install", "--dir", live.string(), "--quiet"}), cli::kExitDone);
  EXPECT_EQ(Field("ORVO_SERVICE"), "not-found");
  EXPECT_EQ(Run({"install", "--dir", live.string(), "--quiet", "--restart=yes"}),
            cli::kExitServiceFailed);
}

TEST(JournalFields, NameTheCertificateTargetAndResult) {
  cli::RunReport report;
  report.command = "install";
  report.exitCode = 4;
  report.certificate.serial = "0A1B";
  report.certificate.notAfter = "2030-01-02T03:04:05Z";
  report.target = "/srv/orvo/cert/";
  report.errors = {"Could not create the directory /srv/orvo/cert/"};
  const std::vector<std::string> fields = cli::JournalFields(report);
  EXPECT_THAT(fields, Contains("ORVO_RESULT=not-written"));
  EXPECT_THAT(fields, Contains("ORVO_CERT_SERIAL=0A1B"));
  EXPECT_THAT(fields, Contains("ORVO_CERT_EXPIRY=2030-01-02T03:04:05Z"));
  EXPECT_THAT(fields, Contains("MESSAGE=install of certificate 0A1B into /srv/orvo/cert/: "
                               "not-written (Could not create the directory /srv/orvo/cert/)"));
}

} // namespace
} // namespace orvo::test
