// The command line as an administrator or an ACME client's hook runs it: the
// real executable as a process in a session of its own (no terminal), with
// no display at all, so that a window or a GUI platform plugin would fail.
#include "CliFixture.h"
#include "SystemdMock.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gmock/gmock.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace orvo::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class CommandLineProcessTest : public CliFixture {
protected:
  void SetUp() override {
    if (!SystemdMock::ToolsInstalled()) {
      GTEST_SKIP() << "python3-dbusmock is not installed";
    }
    ASSERT_EQ(mock.Failure(), "");
    mock.AddUnit("OrvoCoreService.service", "Orvo Core Service", "active", "enabled");
  }

  // Runs the program with the arguments; aExtraEnv entries ("NAME=value")
  // come on top of the test's environment, which has no display.
  Outcome Run(const std::vector<std::string>& aArgs,
              const std::vector<std::string>& aExtraEnv = {}) {
    std::vector<std::string> env = {
        "PATH=/usr/bin:/bin",
        "HOME=" + tmp.path().string(),
        "TMPDIR=" + tmp.path().string(),
        "ORVO_REGISTRY_FILE=" + (tmp / "hklm.reg").string(),
        "ORVO_MACHINE_STORE=" + (tmp / "machine-store").string(),
        "ORVO_USER_NSSDB=" + (tmp / "no-nssdb").string(),
        "SSL_CERT_FILE=" + (tmp / "trust.pem").string(),
        "DBUS_SYSTEM_BUS_ADDRESS=" + mock.Address(),
        "ORVO_HOST_NAMES=cli.test.local", // the name the test certificates carry
    };
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) {
        env.push_back(std::string(keep) + "=" + value);
      }
    }
    // The extra entries come first: the program sees the first of a name.
    env.insert(env.begin(), aExtraEnv.begin(), aExtraEnv.end());
    std::vector<char*> envp;
    for (auto& entry : env) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = ORVO_IMPORTER_EXE;
    std::vector<std::string> args = aArgs;
    std::vector<char*> argv{program.data()};
    for (auto& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    const std::string outFile = (tmp / "stdout.txt").string();
    const std::string errFile = (tmp / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID); // no controlling terminal
    pid_t pid = -1;
    Outcome outcome;
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    outcome.exitCode = WaitFor(pid);
    outcome.out = ReadAll(outFile);
    outcome.err = ReadAll(errFile);
    return outcome;
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
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static QJsonObject Json(const Outcome& aOutcome) {
    QJsonParseError error{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromStdString(aOutcome.out), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << aOutcome.out;
    return doc.object();
  }

  void ExpectOldFilesKept() {
    EXPECT_EQ(ReadAll(server / "cert" / "orvo.crt"), "old certificate\r\n");
    EXPECT_EQ(ReadAll(server / "cert" / "orvo.key"), "old key\r\n");
    EXPECT_EQ(Backups(), 0);
  }

  std::string Arg(const Path& aPath) const { return aPath.string(); }

  SystemdMock mock;
};

TEST_F(CommandLineProcessTest, HelpVersionAndUsageErrors) {
  const Outcome help = Run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, HasSubstr("orvo-cert-importer install SOURCE"));
  const Outcome version = Run({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_THAT(version.out, HasSubstr("orvo-cert-importer Version v"));

  const std::string cert = Arg(tmp / "x.pem");
  const std::vector<std::vector<std::string>> usageErrors = {
      {"--cert", cert},                                    // no command
      {"frobnicate", "--cert", cert},                      // unknown command
      {"check", "--cert", cert, "--dir", Arg(tmp.path())}, // two sources
      {"check", "--cert", cert, "--restart=maybe"},
      {"check", "--cert", cert, "--no-such-option"},
      {"check"}, // no source and no RENEWED_LINEAGE
      {"check", "--cert", cert, "--passphrase-file", Arg(tmp / "missing")},
  };
  for (const auto& args : usageErrors) {
    const Outcome usage = Run(args);
    EXPECT_EQ(usage.exitCode, 1) << ::testing::PrintToString(args) << usage.err;
    EXPECT_THAT(usage.err, HasSubstr("--help")) << ::testing::PrintToString(args);
  }
}

TEST_F(CommandLineProcessTest, CheckProvesThePairAndWritesNothing) {
  const Path live = LiveFolder(leaf);
  const Outcome check =
      Run({"check", "--cert", Arg(live / "fullchain.pem"), "--key", Arg(live / "privkey.pem")});
  EXPECT_EQ(check.exitCode, 0) << check.err;
  EXPECT_THAT(check.out, HasSubstr("Verification of certificate successful"));
  ExpectOldFilesKept();

  const Outcome json = Run({"check", "--json", "--dir", Arg(live)});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const QJsonObject doc = Json(json);
  EXPECT_EQ(doc["command"].toString(), "check");
  EXPECT_EQ(doc["result"].toString(), "ok");
  const QJsonObject cert = doc["certificate"].toObject();
  EXPECT_EQ(cert["serial"].toString().toStdString(), leaf.serialHex());
  EXPECT_THAT(cert["subject"].toString().toStdString(), HasSubstr("CN=cli.test.local"));
  EXPECT_THAT(cert["issuer"].toString().toStdString(), HasSubstr("CN=Orvo Test Intermediate CA"));
  EXPECT_EQ(cert["keyType"].toString(), "RSA");
  EXPECT_EQ(cert["keyBits"].toInt(), 2048);
  EXPECT_TRUE(cert["names"].toArray().contains(QJsonValue("cli.test.local")));
  EXPECT_TRUE(cert["notAfter"].toString().endsWith('Z'));
  EXPECT_TRUE(doc["filesWritten"].toArray().isEmpty());
  EXPECT_TRUE(doc["errors"].toArray().isEmpty());
  ExpectOldFilesKept();
}

TEST_F(CommandLineProcessTest, RefusalsPrintTheWizardsReasonsOneALine) {
  CertSpec otherSpec;
  otherSpec.keySlot = 7;
  writeKey(tmp / "other.key", pki.issue(otherSpec), KeyFormat::PemRsa);
  const Path live = LiveFolder(leaf);
  const Outcome mismatch =
      Run({"install", "--cert", Arg(live / "fullchain.pem"), "--key", Arg(tmp / "other.key")});
  EXPECT_EQ(mismatch.exitCode, 2);
  EXPECT_THAT(mismatch.err, HasSubstr("Verification of certificate NOT successful\n"
                                      "the public key of the certificate and the provided private "
                                      "key are not a pair.\n"));
  ExpectOldFilesKept();

  writeFile(tmp / "junk.pem", "no certificate here\n");
  const Outcome junk = Run({"check", "--cert", Arg(tmp / "junk.pem"), "--json"});
  EXPECT_EQ(junk.exitCode, 2);
  EXPECT_THAT(junk.err, HasSubstr("No valid certificates could be found.\n"));
  const QJsonObject doc = Json(junk);
  EXPECT_EQ(doc["result"].toString(), "refused");
  EXPECT_TRUE(doc["certificate"].isNull());
  EXPECT_FALSE(doc["errors"].toArray().isEmpty());

  writeCertsPem(tmp / "alone.pem", {leaf, pki.intermediate()}); // no key beside it
  const Outcome noKey = Run({"check", "--cert", Arg(tmp / "alone.pem")});
  EXPECT_EQ(noKey.exitCode, 2);
  EXPECT_THAT(noKey.err, HasSubstr("--key"));
}

// A chain that ends in a root this machine does not trust passes with a
// warning.
TEST_F(CommandLineProcessTest, WarningsNeedAcceptWarningsBeforeAnythingIsWritten) {
  const Path folder = tmp / "untrusted";
  fs::create_directories(folder);
  writeCertsPem(folder / "server.pem", {leaf, pki.intermediate(), pki.root()});
  writeKey(folder / "server.key", leaf, KeyFormat::PemRsa);
  const std::vector<std::string> noTrust = {"SSL_CERT_FILE=/dev/null"};
  const Outcome check = Run({"check", "--dir", Arg(folder)}, noTrust);
  EXPECT_EQ(check.exitCode, 3) << check.err;
  EXPECT_THAT(check.err, HasSubstr("--> Certificate for cli.test.local"));
  const Outcome install = Run({"install", "--dir", Arg(folder), "--json"}, noTrust);
  EXPECT_EQ(install.exitCode, 3);
  const QJsonObject doc = Json(install);
  EXPECT_EQ(doc["result"].toString(), "warnings");
  EXPECT_FALSE(doc["warnings"].toArray().isEmpty());
  EXPECT_TRUE(doc["errors"].toArray().isEmpty());
  ExpectOldFilesKept();
  const Outcome accepted =
      Run({"install", "--dir", Arg(folder), "--accept-warnings", "--quiet"}, noTrust);
  EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
  EXPECT_EQ(Backups(), 1);
}

struct PassphraseRow {
  std::string name;
  bool pkcs12;
  bool useFile;            // --passphrase-file holding "secret"
  std::string environment; // ORVO_PASSPHRASE, unset when empty
  int exitCode;
  std::string message; // on standard error
};

class PassphraseSourceTest : public CommandLineProcessTest,
                             public ::testing::WithParamInterface<PassphraseRow> {};

TEST_P(PassphraseSourceTest, ComesFromTheFileTheEnvironmentOrNowhere) {
  const PassphraseRow& row = GetParam();
  std::vector<std::string> args = {"check"};
  if (row.pkcs12) {
    writePfx(tmp / "server.bin", leaf, "secret", {.chain = {pki.intermediate()}});
    args.insert(args.end(), {"--pkcs12", Arg(tmp / "server.bin")});
  } else {
    fs::create_directories(tmp / "keyed");
    writeCertsPem(tmp / "keyed" / "cert.pem", {leaf, pki.intermediate()});
    writeKey(tmp / "keyed" / "key.pem", leaf, KeyFormat::PemPkcs8Encrypted, "secret");
    args.insert(args.end(), {"--cert", Arg(tmp / "keyed" / "cert.pem"), "--key",
                             Arg(tmp / "keyed" / "key.pem")});
  }
  if (row.useFile) {
    writeFile(tmp / "pass.txt", "secret\nsecond line ignored\n");
    args.insert(args.end(), {"--passphrase-file", Arg(tmp / "pass.txt")});
  }
  std::vector<std::string> env;
  if (!row.environment.empty()) {
    env.push_back("ORVO_PASSPHRASE=" + row.environment);
  }
  const Outcome outcome = Run(args, env);
  EXPECT_EQ(outcome.exitCode, row.exitCode) << outcome.err;
  EXPECT_THAT(outcome.err, HasSubstr(row.message));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PassphraseSourceTest,
    ::testing::Values(PassphraseRow{"KeyFromFile", false, true, "wrong", 0, ""},
                      PassphraseRow{"KeyFromEnvironment", false, false, "secret", 0, ""},
                      PassphraseRow{"KeyWrongInEnvironment", false, false, "wrong", 2,
                                    "is not valid"},
                      PassphraseRow{"KeyWithoutTerminal", false, false, "", 2, "no terminal"},
                      PassphraseRow{"Pkcs12FromFile", true, true, "", 0, ""},
                      PassphraseRow{"Pkcs12WrongInEnvironment", true, false, "wrong", 2,
                                    "The passphrase for server.bin is not valid."},
                      PassphraseRow{"Pkcs12WithoutTerminal", true, false, "", 2, "no terminal"}),
    [](const auto& aInfo) { return aInfo.param.name; });

// certbot's deploy hook: no source but RENEWED_LINEAGE, into the server's
// folder with a backup, then the restart of the running service.
TEST_F(CommandLineProcessTest, DeployHookFromALiveFolderInstallsAndRestarts) {
  const Path live = LiveFolder(leaf);
  const Outcome hook = Run({"install", "--quiet"}, {"RENEWED_LINEAGE=" + live.string()});
  ASSERT_EQ(hook.exitCode, 0) << hook.err;
  EXPECT_EQ(hook.out, "");
  EXPECT_EQ(hook.err, "");
  const Path cert = server / "cert";
  EXPECT_THAT(ReadAll(cert / "orvo.crt"), HasSubstr("BEGIN CERTIFICATE"));
  EXPECT_THAT(ReadAll(cert / "orvo.key"), HasSubstr("PRIVATE KEY-----"));
  EXPECT_THAT(ReadAll(cert / "root.pem"), HasSubstr("BEGIN CERTIFICATE"));
  ASSERT_EQ(Backups(), 1);
  for (const auto& entry : fs::directory_iterator(cert)) {
    if (entry.is_directory()) {
      EXPECT_EQ(ReadAll(entry.path() / "orvo.key"), "old key\r\n");
    }
  }
  EXPECT_EQ(mock.GetString("OrvoCoreService.service", "ActiveState"), "active");

  // A second renewal, reported as JSON.
  const Outcome again = Run({"install", "--json"}, {"RENEWED_LINEAGE=" + live.string()});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  const QJsonObject doc = Json(again);
  EXPECT_EQ(doc["result"].toString(), "ok");
  EXPECT_EQ(doc["service"].toString(), "running");
  EXPECT_EQ(doc["target"].toString().toStdString(), (cert / "").string());
  EXPECT_EQ(doc["filesWritten"].toArray().size(), 3);
  EXPECT_THAT(doc["backupFolder"].toString().toStdString(), HasSubstr("Backup_"));
}

TEST_F(CommandLineProcessTest, OtherTargetsRestartOnlyWhenAskedAndUnwritableOnesFail) {
  const Path live = LiveFolder(leaf);
  const Outcome elsewhere =
      Run({"install", "--dir", Arg(live), "--target", Arg(tmp / "new" / "folder"), "--json"});
  ASSERT_EQ(elsewhere.exitCode, 0) << elsewhere.err;
  EXPECT_EQ(Json(elsewhere)["service"].toString(), "not-offered");
  EXPECT_TRUE(fs::exists(tmp / "new" / "folder" / "orvo.key"));
  ExpectOldFilesKept();

  const Outcome forced = Run({"install", "--dir", Arg(live), "--target",
                              Arg(tmp / "new" / "folder"), "--restart=yes", "--json"});
  ASSERT_EQ(forced.exitCode, 0) << forced.err;
  EXPECT_EQ(Json(forced)["service"].toString(), "running");

  writeFile(tmp / "plain-file", "x");
  const Outcome blocked =
      Run({"install", "--dir", Arg(live), "--target", Arg(tmp / "plain-file" / "sub")});
  EXPECT_EQ(blocked.exitCode, 4);
  EXPECT_THAT(blocked.err, HasSubstr("Could not create the directory "));
  ExpectOldFilesKept();
}

} // namespace
} // namespace orvo::test
