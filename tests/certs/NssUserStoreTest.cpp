// The current user's store read from NSS databases that the NSS tools build
// at test time (certutil -N, pk12util -i) from the test PKI's PKCS#12 files.

#include "certs/OpenSslPtr.h"
#include "certs/StoreSources.h"
#include "support/TestPki.h"

#include <gtest/gtest.h>

#include <nss.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace orvo::ck {
namespace {

using test::Path;
using test::TempDir;
using test::TestCert;
using test::TestPki;

// Sets an environment variable for one test and restores the old value.
class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()); old != nullptr) {
      old_ = old;
    }
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  void set(const std::optional<std::string>& value) const {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

std::string readFile(const Path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs an NSS tool with stdin closed (a tool that prompts fails instead of
// waiting) and its output in a file; returns the exit status and the output.
std::pair<int, std::string> runTool(const std::vector<std::string>& args, const Path& scratch) {
  const Path outputFile = scratch / "tool-output.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return {-1, args[0] + " could not be started"};
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return {code, readFile(outputFile)};
}

// A certificate of the test PKI in its own key slot, named by its CN.
TestCert makeCert(const std::string& commonName, test::Usage usage, int keySlot) {
  test::CertSpec certSpec;
  certSpec.commonName = commonName;
  certSpec.usage = usage;
  certSpec.keySlot = keySlot;
  return TestPki::instance().issue(certSpec);
}

// The private key that the toolkit exported, back in OpenSSL's hands.
ssl::EVP_PKEYPtr toOpenSsl(const CkPrivateKey& key) {
  const std::string pem = key._getRsaPem();
  const ssl::BIOPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return ssl::EVP_PKEYPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

class NssUserStoreTest : public ::testing::Test {
protected:
  Path db() const { return dir_ / "nssdb"; }
  std::string sqlDb() const { return "sql:" + db().string(); }

  void createDatabase(const std::string& password = "") {
    std::filesystem::create_directories(db());
    if (password.empty()) {
      tool({"certutil", "-N", "--empty-password", "-d", sqlDb()});
      return;
    }
    password_ = password;
    test::writeFile(passwordFile(), password + "\n");
    tool({"certutil", "-N", "-f", passwordFile().string(), "-d", sqlDb()});
  }

  // Imports the certificate (and its key unless withKey is false) through a
  // PKCS#12 file whose friendly name, and so NSS nickname, is the CN.
  void import(const TestCert& cert, const std::string& commonName, bool withKey = true) {
    test::PfxOptions options;
    options.withKey = withKey;
    options.friendlyName = commonName;
    const Path pfx = dir_ / "import.p12";
    test::writePfx(pfx, cert, "import", options);
    std::vector<std::string> args{"pk12util", "-i", pfx.string(), "-W", "import", "-d", sqlDb()};
    if (password_) {
      args.insert(args.end(), {"-k", passwordFile().string()});
    }
    tool(args);
  }

  // The nicknames in the order the NSS tools list the database.
  std::vector<std::string> certutilOrder() {
    std::istringstream lines(tool({"certutil", "-L", "-d", sqlDb()}));
    const std::regex row(R"(^(\S.*\S)\s+(\S*,\S*,\S*)\s*$)");
    std::vector<std::string> names;
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_match(line, match, row)) {
        names.push_back(match[1]);
      }
    }
    return names;
  }

  std::string tool(const std::vector<std::string>& args) {
    auto [code, output] = runTool(args, dir_.path());
    EXPECT_EQ(code, 0) << args[0] << " failed: " << output;
    return output;
  }

  Path passwordFile() const { return dir_ / "dbpassword.txt"; }

  TempDir dir_;
  ScopedEnv userDb_{"ORVO_USER_NSSDB", db().string()};
  std::optional<std::string> password_;
};

std::vector<std::string> commonNames(const CertList& certs) {
  std::vector<std::string> names;
  for (const auto& cert : certs) {
    names.push_back(cert->_subjectCN());
  }
  return names;
}

TEST_F(NssUserStoreTest, ServerCertificateComesWithAnExportedKeyThatPairsWithIt) {
  const TestCert server = TestPki::instance().server();
  createDatabase();
  import(server, "server.test.local");

  // Reading appends after what the list already holds.
  CertList certs;
  certs.push_back(std::make_unique<CkCert>());
  ASSERT_TRUE(certs.back()->LoadFromDer(test::certDer(TestPki::instance().root())));
  ASSERT_TRUE(ReadCurrentUserStore(certs));

  ASSERT_EQ(certs.size(), 2U);
  EXPECT_EQ(certs[0]->_subjectCN(), "Orvo Test Root CA");
  const CkCert& cert = *certs[1];
  EXPECT_EQ(cert._subjectCN(), "server.test.local");
  EXPECT_EQ(cert._serialNumber(), server.serialHex());
  EXPECT_TRUE(cert.HasPrivateKey());
  EXPECT_TRUE(cert.getPrivateKeyExportable());

  const std::unique_ptr<CkPrivateKey> key = cert.ExportPrivateKey();
  ASSERT_NE(key, nullptr);
  const ssl::EVP_PKEYPtr pkey = toOpenSsl(*key);
  ASSERT_NE(pkey, nullptr);
  EXPECT_EQ(X509_check_private_key(server.x509(), pkey.get()), 1);
  EXPECT_EQ(EVP_PKEY_eq(pkey.get(), server.pkey()), 1);
}

TEST_F(NssUserStoreTest, EcdsaCertificateComesWithItsExportedKey) {
  for (const auto type : {test::KeyType::EcP256, test::KeyType::EcP384}) {
    test::CertSpec certSpec;
    certSpec.commonName = type == test::KeyType::EcP256 ? "p256.test.local" : "p384.test.local";
    certSpec.keyType = type;
    const TestCert server = TestPki::instance().issue(certSpec);
    if (type == test::KeyType::EcP256) {
      createDatabase();
    }
    import(server, certSpec.commonName);
  }
  CertList certs;
  ASSERT_TRUE(ReadCurrentUserStore(certs));
  ASSERT_EQ(certs.size(), 2U);
  for (const auto& cert : certs) {
    ASSERT_TRUE(cert->getPrivateKeyExportable()) << cert->_subjectCN();
    const std::unique_ptr<CkPrivateKey> key = cert->ExportPrivateKey();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->_keyType(), cert->_publicKeyType());
    EXPECT_EQ(key->_publicKeyDer(), cert->ExportPublicKey()->_getDer());
  }
}

TEST_F(NssUserStoreTest, ListsEveryCertificateInTheDatabasesOrderWithItsKeyState) {
  // Imported out of name order so that a sorted listing would show.
  createDatabase();
  import(makeCert("zulu-client.test.local", test::Usage::Client, 11), "zulu-client.test.local");
  import(TestPki::instance().server(), "server.test.local");
  import(makeCert("alpha-nokey.test.local", test::Usage::Server, 12), "alpha-nokey.test.local",
         false);
  const std::string certDbBefore = readFile(db() / "cert9.db");
  const std::string keyDbBefore = readFile(db() / "key4.db");

  CertList certs;
  ASSERT_TRUE(ReadCurrentUserStore(certs));

  EXPECT_EQ(commonNames(certs), certutilOrder());
  ASSERT_EQ(certs.size(), 3U);
  for (const auto& cert : certs) {
    SCOPED_TRACE(cert->_subjectCN());
    const bool hasKey = cert->_subjectCN() != "alpha-nokey.test.local";
    EXPECT_EQ(cert->HasPrivateKey(), hasKey);
    EXPECT_EQ(cert->getPrivateKeyExportable(), hasKey);
    EXPECT_EQ(cert->ExportPrivateKey() != nullptr, hasKey);
  }

  // Read only, and NSS is shut down again: a second read sees the same.
  EXPECT_FALSE(NSS_IsInitialized());
  EXPECT_EQ(readFile(db() / "cert9.db"), certDbBefore);
  EXPECT_EQ(readFile(db() / "key4.db"), keyDbBefore);
  CertList again;
  ASSERT_TRUE(ReadCurrentUserStore(again));
  EXPECT_EQ(commonNames(again), commonNames(certs));
}

TEST_F(NssUserStoreTest, PasswordProtectedDatabaseIsListedWithoutExportableKeys) {
  createDatabase("db-secret");
  import(TestPki::instance().server(), "server.test.local");
  import(makeCert("nokey.test.local", test::Usage::Server, 12), "nokey.test.local", false);

  CertList certs;
  ASSERT_TRUE(ReadCurrentUserStore(certs));

  ASSERT_EQ(commonNames(certs), certutilOrder());
  ASSERT_EQ(certs.size(), 2U);
  for (const auto& cert : certs) {
    SCOPED_TRACE(cert->_subjectCN());
    EXPECT_EQ(cert->HasPrivateKey(), cert->_subjectCN() == "server.test.local");
    EXPECT_FALSE(cert->getPrivateKeyExportable());
    EXPECT_EQ(cert->ExportPrivateKey(), nullptr);
  }
  EXPECT_FALSE(NSS_IsInitialized());
}

TEST_F(NssUserStoreTest, KeyMarkedUnextractableIsPresentButNotExportable) {
  // The test PKI cannot mark a key inside NSS, so certutil makes this one:
  // a self-signed certificate whose key NSS generates as unextractable.
  createDatabase();
  const Path noise = dir_ / "noise.bin";
  test::writeFile(noise, std::string(64, '\x5a'));
  tool({"certutil", "-S", "-n", "locked.test.local", "-s", "CN=locked.test.local,O=Orvo Test", "-x",
        "-t", ",,", "-k", "rsa", "-g", "2048", "--keyAttrFlags",
        "token,private,sensitive,unextractable", "-z", noise.string(), "-d", sqlDb()});
  import(TestPki::instance().server(), "server.test.local");

  CertList certs;
  ASSERT_TRUE(ReadCurrentUserStore(certs));
  ASSERT_EQ(commonNames(certs), certutilOrder());
  ASSERT_EQ(certs.size(), 2U);
  const bool lockedFirst = certs[0]->_subjectCN() == "locked.test.local";
  const CkCert& locked = *certs[lockedFirst ? 0 : 1];
  EXPECT_TRUE(locked.HasPrivateKey());
  EXPECT_FALSE(locked.getPrivateKeyExportable());
  EXPECT_EQ(locked.ExportPrivateKey(), nullptr);
  // Another key of the same database is still exported.
  EXPECT_TRUE(certs[lockedFirst ? 1 : 0]->getPrivateKeyExportable());
}

TEST_F(NssUserStoreTest, CertificateStoreHandsOutTheUsersCertificatesWithTheirKeys) {
  const TestCert server = TestPki::instance().server();
  createDatabase();
  import(server, "server.test.local");

  CkCertStore store;
  ASSERT_TRUE(store.OpenCurrentUserStore());
  ASSERT_EQ(store.getNumCertificates(), 1);
  const std::unique_ptr<CkCert> cert = store.GetCertificate(0);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(cert->_serialNumber(), server.serialHex());
  ASSERT_TRUE(cert->getPrivateKeyExportable());
  const std::unique_ptr<CkPrivateKey> key = cert->ExportPrivateKey();
  ASSERT_NE(key, nullptr);
  const ssl::EVP_PKEYPtr pkey = toOpenSsl(*key);
  EXPECT_EQ(X509_check_private_key(server.x509(), pkey.get()), 1);

  // A database that went away leaves the store empty and failing.
  std::filesystem::remove_all(db());
  EXPECT_FALSE(store.OpenCurrentUserStore());
  EXPECT_EQ(store.getNumCertificates(), 0);
}

TEST_F(NssUserStoreTest, EmptyDatabaseOpensWithNoCertificates) {
  createDatabase();
  CertList certs;
  EXPECT_TRUE(ReadCurrentUserStore(certs));
  EXPECT_TRUE(certs.empty());
}

// ---- Where the database is looked for ---------------------------------------

struct LocationCase {
  const char* name;
  // The value of ORVO_USER_NSSDB relative to the test folder ("sql:" kept in
  // front), or nullptr to leave it unset and use HOME.
  const char* userDb;
  // Where the database is built, relative to the test folder.
  const char* dbFolder;
};

class NssUserStoreLocationTest : public ::testing::TestWithParam<LocationCase> {};

TEST_P(NssUserStoreLocationTest, FindsTheDatabase) {
  const LocationCase& c = GetParam();
  TempDir dir;
  const Path folder = dir / c.dbFolder;
  std::filesystem::create_directories(folder);
  auto [code, output] =
      runTool({"certutil", "-N", "--empty-password", "-d", "sql:" + folder.string()}, dir.path());
  ASSERT_EQ(code, 0) << output;
  const Path pfx = dir / "server.p12";
  test::writePfx(pfx, TestPki::instance().server(), "x");
  std::tie(code, output) = runTool(
      {"pk12util", "-i", pfx.string(), "-W", "x", "-d", "sql:" + folder.string()}, dir.path());
  ASSERT_EQ(code, 0) << output;

  std::optional<std::string> userDb;
  if (c.userDb != nullptr) {
    std::string value = c.userDb;
    const bool sql = value.starts_with("sql:");
    userDb = (sql ? "sql:" : "") + (dir / value.substr(sql ? 4 : 0)).string();
  }
  const ScopedEnv env("ORVO_USER_NSSDB", userDb);
  const ScopedEnv home("HOME", dir.path().string());

  CertList certs;
  ASSERT_TRUE(ReadCurrentUserStore(certs));
  ASSERT_EQ(certs.size(), 1U);
  EXPECT_EQ(certs[0]->_subjectCN(), "server.test.local");
}

INSTANTIATE_TEST_SUITE_P(Locations, NssUserStoreLocationTest,
                         ::testing::Values(LocationCase{"NamedFolder", "custom", "custom"},
                                           LocationCase{"NamedWithSqlPrefix", "sql:custom",
                                                        "custom"},
                                           LocationCase{"HomeDefault", nullptr, ".pki/nssdb"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Databases that cannot be opened ----------------------------------------

struct UnopenableCase {
  const char* name;
  // Files made in the database folder (name, content); nullptr: no folder.
  std::vector<std::pair<const char*, const char*>> files;
};

// Each file's name and content; empty when the folder does not exist.
std::map<std::string, std::string> folderContents(const Path& folder) {
  std::map<std::string, std::string> contents;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    contents[entry.path().filename().string()] = readFile(entry.path());
  }
  return contents;
}

class NssUserStoreUnopenableTest : public ::testing::TestWithParam<UnopenableCase> {};

TEST_P(NssUserStoreUnopenableTest, FailsAndAppendsNothing) {
  const UnopenableCase& c = GetParam();
  TempDir dir;
  const Path folder = dir / "nssdb";
  if (!c.files.empty()) {
    std::filesystem::create_directories(folder);
    for (const auto& [name, content] : c.files) {
      test::writeFile(folder / name, content);
    }
  }
  const ScopedEnv env("ORVO_USER_NSSDB", folder.string());
  const auto before = folderContents(folder);

  CertList certs;
  certs.push_back(std::make_unique<CkCert>());
  const CkCert* kept = certs.front().get();
  EXPECT_FALSE(ReadCurrentUserStore(certs));
  ASSERT_EQ(certs.size(), 1U);
  EXPECT_EQ(certs.front().get(), kept);
  EXPECT_FALSE(NSS_IsInitialized());
  // Nothing is created or changed where the database was looked for.
  EXPECT_EQ(folderContents(folder), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NssUserStoreUnopenableTest,
    ::testing::Values(UnopenableCase{"NoFolder", {}},
                      UnopenableCase{"FolderWithoutDatabase", {{"readme.txt", "not a database"}}},
                      UnopenableCase{"LegacyDatabaseOnly", {{"cert8.db", ""}, {"key3.db", ""}}},
                      UnopenableCase{"CorruptDatabase",
                                     {{"cert9.db", "garbage, not SQLite"},
                                      {"key4.db", "garbage, not SQLite"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// NSS opens its files blocking: a FIFO planted as the key database would hold
// the window for ever, so such a folder is not handed to NSS at all.
TEST(NssUserStoreFifoTest, AFifoAmongTheDatabaseFilesIsNeverOpened) {
  TempDir dir;
  const Path folder = dir / "nssdb";
  std::filesystem::create_directories(folder);
  test::writeFile(folder / "cert9.db", "garbage, not SQLite");
  ASSERT_EQ(::mkfifo((folder / "key4.db").c_str(), 0600), 0);
  const ScopedEnv env("ORVO_USER_NSSDB", folder.string());
  CertList certs;
  EXPECT_FALSE(ReadCurrentUserStore(certs));
  EXPECT_TRUE(certs.empty());
  EXPECT_FALSE(NSS_IsInitialized());
}

} // namespace
} // namespace orvo::ck
