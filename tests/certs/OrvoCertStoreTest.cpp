#include "certs/OrvoCertStore.h"

#include "certs/CertFileUtils.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "certs/StoreTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::KeyFormat;
using test::PasswordScript;
using test::TempDir;
using test::TestPki;
using Request = PasswordScript::Request;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Lines = std::vector<std::string>;

// The serial numbers of the PEM certificates in `aText`, in order.
std::vector<std::string> SerialsOf(const std::string& aText) {
  std::vector<std::string> serials;
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  for (std::size_t from = aText.find(begin); from != std::string::npos;
       from = aText.find(begin, from + 1)) {
    const std::size_t to = aText.find(end, from);
    ck::CkCert cert;
    if (to != std::string::npos &&
        cert.LoadFromBase64(aText.substr(from, to + end.size() - from))) {
      serials.push_back(cert._serialNumber());
    }
  }
  return serials;
}

class CertStoreTest : public ::testing::Test {
protected:
  CertStoreTest() { store.SetOnRequestPassWord(script.Handler()); }

  std::string Path(const std::string& aName) const { return (dir / aName).string(); }

  TestPki& pki = TestPki::instance();
  TempDir dir;
  PasswordScript script;
  TOrvoCertStore store{(dir / "data").string()};
  std::unique_ptr<TOrvoStoreCertificate> cert;
};

TEST(CertStoreCreate, DeletesStaleVaultFileOnly) {
  const TempDir dir;
  test::writeFile(dir / "tmp.xml", "<stale/>");
  test::writeFile(dir / "keep.txt", "x");
  const TOrvoCertStore store(dir.path().string()); // no trailing separator
  EXPECT_FALSE(fs::exists(dir / "tmp.xml"));
  EXPECT_TRUE(fs::exists(dir / "keep.txt"));
  EXPECT_EQ(store.Count(), 0);
  EXPECT_EQ(store.GetCertByIndex(-1), nullptr);
  EXPECT_EQ(store.GetCertByIndex(0), nullptr);
}

// ---- Loading files -------------------------------------------------------------

struct RouteCase {
  const char* name;
  std::string fileName;
  bool asksPassword;
};

class FileRouteTest : public CertStoreTest, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(FileRouteTest, OnlyPfxAndP12AskForPassword) {
  const auto server = pki.server();
  const std::string path = Path(GetParam().fileName);
  if (GetParam().asksPassword) {
    test::writePfx(path, server, "pw");
    script.answers = {"pw"};
  } else if (GetParam().fileName.ends_with(".p7b")) {
    test::writePkcs7(path, {server});
  } else {
    test::writeCertDer(path, server);
  }
  ASSERT_TRUE(store.createCertFromFile(path, cert));
  EXPECT_EQ(cert->SerialNumber(), server.serialHex());
  EXPECT_EQ(script.requests.size(), GetParam().asksPassword ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FileRouteTest,
                         ::testing::Values(RouteCase{"UpperPfx", "CERT.PFX", true},
                                           RouteCase{"LowerPfx", "cert.pfx", true},
                                           RouteCase{"MixedP12", "cert.P12", true},
                                           RouteCase{"P7b", "cert.p7b", false},
                                           RouteCase{"Cer", "cert.cer", false},
                                           RouteCase{"NoExtension", "cert", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CertStoreTest, PfxPassphraseLoop) {
  const auto server = pki.server();
  const std::string path = Path("server.pfx");
  test::writePfx(path, server, "right");

  script.answers = {"wrong", "wrong", "right"};
  ASSERT_TRUE(store.createCertFromFile(path, cert));
  EXPECT_THAT(script.requests,
              ElementsAre(Request{"server.pfx", "", false}, Request{"server.pfx", "wrong", true},
                          Request{"server.pfx", "wrong", true}));
  EXPECT_TRUE(cert->HasExportablePrivateKey());
}

TEST_F(CertStoreTest, PfxCancelLeavesCertAsItWas) {
  const std::string path = Path("server.pfx");
  test::writePfx(path, pki.server(), "right");
  auto before = test::StoreCertFrom(pki.root());
  const auto* marker = before.get();
  cert = std::move(before);
  script.answers = {"wrong", std::nullopt};
  EXPECT_FALSE(store.createCertFromFile(path, cert));
  EXPECT_EQ(cert.get(), marker);
  EXPECT_EQ(script.requests.size(), 2u);
}

TEST_F(CertStoreTest, PfxWithoutHandlerFailsAtOnce) {
  const std::string path = Path("server.p12");
  test::writePfx(path, pki.server(), "");
  TOrvoCertStore bare(dir.path().string());
  EXPECT_FALSE(bare.createCertFromFile(path, cert));
  EXPECT_EQ(cert, nullptr);
}

TEST_F(CertStoreTest, PfxWithEmptyPasswordStillAsks) {
  const std::string path = Path("server.pfx");
  test::writePfx(path, pki.server(), "");
  script.answers = {""};
  ASSERT_TRUE(store.createCertFromFile(path, cert));
  EXPECT_THAT(script.requests, ElementsAre(Request{"server.pfx", "", false}));
}

TEST_F(CertStoreTest, MissingFileThrows) {
  const std::string path = Path("absent.pem");
  try {
    (void)store.createCertFromFile(path, cert);
    FAIL() << "no exception";
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()), "The File" + path + "does not exist");
  }
}

TEST_F(CertStoreTest, FileWithoutCertificateFails) {
  test::writeFile(dir / "junk.pem", "not a certificate\n");
  EXPECT_FALSE(store.createCertFromFile(Path("junk.pem"), cert));
  EXPECT_EQ(cert, nullptr);
  EXPECT_THAT(script.requests, IsEmpty());
}

TEST_F(CertStoreTest, CreateCertFromString) {
  const auto server = pki.server();
  ASSERT_TRUE(store.CreateCertFromString(test::certPem(server), cert));
  EXPECT_EQ(cert->SerialNumber(), server.serialHex());
  const auto* loaded = cert.get();
  EXPECT_FALSE(store.CreateCertFromString("-----BEGIN CERTIFICATE-----\nbroken", cert));
  EXPECT_FALSE(store.CreateCertFromString("", cert));
  EXPECT_EQ(cert.get(), loaded);
  EXPECT_EQ(store.Count(), 0) << "loaded certificates are the caller's";
}

// ---- Export ------------------------------------------------------------------------

TEST_F(CertStoreTest, ExportTakesIssuerLoadedEarlierFromAnotherFile) {
  const auto server = pki.server();
  test::writeCertPem(dir / "intermediate.crt", pki.intermediate());
  test::writeCertPem(dir / "root.cer", pki.root());
  test::writeCertPem(dir / "server.crt", server);
  std::unique_ptr<TOrvoStoreCertificate> other;
  ASSERT_TRUE(store.createCertFromFile(Path("intermediate.crt"), other));
  ASSERT_TRUE(store.createCertFromFile(Path("root.cer"), other));
  ASSERT_TRUE(store.createCertFromFile(Path("server.crt"), cert));

  fs::create_directory(dir / "out");
  Lines reasons;
  ASSERT_TRUE(store.ExportCertificateAndChain((dir / "out/").string(), *cert, reasons));
  EXPECT_THAT(reasons, IsEmpty());
  EXPECT_THAT(SerialsOf(test::ReadFile(dir / "out/orvo.crt")), ElementsAre(server.serialHex()));
  EXPECT_THAT(
      SerialsOf(test::ReadFile(dir / "out/root.pem")),
      ElementsAre(server.serialHex(), pki.intermediate().serialHex(), pki.root().serialHex()));
  // With the whole chain pooled, it now reaches the root.
  EXPECT_TRUE(cert->ValidateCertChain(reasons));
}

TEST_F(CertStoreTest, ExportedFilesHaveNoBlankLinesAndCrLf) {
  ASSERT_TRUE(store.CreateCertFromString(test::certPem(pki.server()), cert));
  ASSERT_TRUE(store.ExportCertificateAndChain(dir.path().string() + "/", *cert));
  for (const char* name : {"orvo.crt", "root.pem"}) {
    const std::string text = test::ReadFile(dir / name);
    EXPECT_THAT(text, Not(HasSubstr("\r\n\r\n"))) << name;
    EXPECT_THAT(text, Not(HasSubstr("\n\n"))) << name;
    EXPECT_TRUE(text.ends_with("-----END CERTIFICATE-----\r\n")) << name;
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1) << name;
  }
}

TEST_F(CertStoreTest, ExportIntoFolderGivenWithoutTrailingSeparator) {
  ASSERT_TRUE(store.CreateCertFromString(test::certPem(pki.server()), cert));
  fs::create_directory(dir / "cert");
  ASSERT_TRUE(store.ExportCertificateAndChain((dir / "cert").string(), *cert));
  EXPECT_TRUE(fs::exists(dir / "cert" / "orvo.crt"));
  EXPECT_TRUE(fs::exists(dir / "cert" / "root.pem"));
  EXPECT_FALSE(fs::exists(dir / "certorvo.crt"));
}

TEST_F(CertStoreTest, ExportReplacesOldFiles) {
  ASSERT_TRUE(store.CreateCertFromString(test::certPem(pki.server()), cert));
  test::writeFile(dir / "orvo.crt", "old");
  test::writeFile(dir / "root.pem", "old");
  ASSERT_TRUE(store.ExportCertificateAndChain(dir.path().string() + "/", *cert));
  EXPECT_THAT(test::ReadFile(dir / "orvo.crt"), Not(HasSubstr("old")));
  EXPECT_THAT(test::ReadFile(dir / "root.pem"), Not(HasSubstr("old")));
}

TEST_F(CertStoreTest, ExportToMissingFolderReportsTheCertificateFile) {
  ASSERT_TRUE(store.CreateCertFromString(test::certPem(pki.server()), cert));
  const std::string folder = (dir / "absent").string() + "/";
  Lines reasons{"earlier"};
  // The chain file cannot be created either, which throws.
  EXPECT_THROW((void)store.ExportCertificateAndChain(folder, *cert, reasons), EFileError);
  EXPECT_THAT(reasons,
              ElementsAre("earlier", "Coud n't write file to location '" + folder + "orvo.crt'"));
}

// ---- The system's stores -------------------------------------------------------------

class SystemStoreTest : public CertStoreTest {
protected:
  SystemStoreTest()
      : machine("ORVO_MACHINE_STORE", (dir / "etc/certs").string()),
        user("ORVO_USER_NSSDB", (dir / "no-nssdb").string()) {
    fs::create_directories(dir / "etc/certs");
    fs::create_directories(dir / "etc/private");
  }
  test::ScopedEnv machine;
  test::ScopedEnv user;
};

TEST_F(SystemStoreTest, EmptyStoresReadNothing) {
  EXPECT_EQ(store.ReadCertificatesFromStore(), 0);
  EXPECT_EQ(store.Count(), 0);
}

TEST_F(SystemStoreTest, KeepsUsableCertificatesWithTheirKeys) {
  test::CertSpec expired;
  expired.commonName = "expired.test.local";
  expired.notAfter = -test::days(1);
  test::CertSpec client;
  client.commonName = "client.test.local";
  client.usage = test::Usage::Client;
  const auto server = pki.server("machine.test.local");
  test::writeCertPem(dir / "etc/certs/machine.pem", server);
  fs::create_symlink("machine.pem", dir / "etc/certs/1a2b3c4d.0");
  test::writeKey(dir / "etc/private/machine.key", server, KeyFormat::PemRsa);
  test::writeCertPem(dir / "etc/certs/expired.pem", pki.issue(expired));
  test::writeCertPem(dir / "etc/certs/client.pem", pki.issue(client));

  ASSERT_EQ(store.ReadCertificatesFromStore(), 1);
  const TOrvoStoreCertificate* found = store.GetCertByIndex(0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->SerialNumber(), server.serialHex());
  EXPECT_TRUE(found->HasExportablePrivateKey());
  EXPECT_EQ(store.Certs(0), found);
  EXPECT_EQ(store.GetCertByIndex(1), nullptr);

  // Reading again refills rather than appends.
  EXPECT_EQ(store.ReadCertificatesFromStore(), 1);
}

// ---- A folder as an ACME client leaves it ---------------------------------------------

// ACME clients write RSA or (by default today) ECDSA certificates.
class AcmeFolderTest : public CertStoreTest, public ::testing::WithParamInterface<test::KeyType> {};

TEST_P(AcmeFolderTest, YieldsOneCandidateWithKeyAndFullChain) {
  test::CertSpec certSpec;
  certSpec.commonName = "acme.test.local";
  certSpec.keyType = GetParam();
  const auto server = pki.issue(certSpec);
  const fs::path live = dir / "live";
  fs::create_directory(live);
  test::writeCertPem(live / "cert.pem", server);
  test::writeCertsPem(live / "chain.pem", {pki.intermediate()});
  test::writeCertsPem(live / "fullchain.pem", {server, pki.intermediate()});
  test::writeKey(live / "privkey.pem", server, KeyFormat::PemPkcs8);

  // What the wizard's folder source does: load every certificate file, keep
  // the usable ones without duplicates, then look for a key.
  TOrvoCertList candidates;
  Lines errors;
  for (const auto& entry : fs::directory_iterator(live)) {
    const std::string file = entry.path().string();
    ASSERT_TRUE(TOrvoSSLCertificateValidator::IsCertificateFile(file));
    std::unique_ptr<TOrvoStoreCertificate> loaded;
    if (!store.createCertFromFile(file, loaded)) {
      errors.push_back(file);
      continue;
    }
    const bool duplicate = std::any_of(candidates.begin(), candidates.end(), [&](const auto& c) {
      return c->SerialNumber() == loaded->SerialNumber();
    });
    if (!duplicate && loaded->MatchesOrvoRequirements()) {
      candidates.push_back(std::move(loaded));
    }
  }
  EXPECT_THAT(errors, ElementsAre((live / "privkey.pem").string()));
  ASSERT_EQ(candidates.size(), 1u);
  EXPECT_EQ(candidates[0]->SerialNumber(), server.serialHex());

  TOrvoSSLCertificateValidator validator;
  TOrvoStoreCertificate* match = nullptr;
  std::shared_ptr<TOrvoSSLPrivateKey> key;
  ASSERT_TRUE(validator.FindMatchingPKinDir(live.string(), candidates, match, key));
  EXPECT_EQ(match, candidates[0].get());
  match->AssignPrivateKey(key);

  ASSERT_TRUE(store.ExportCertificateAndChain(dir.path().string() + "/", *match));
  // The root joins when some test of this process loaded it before.
  const auto chain = SerialsOf(test::ReadFile(dir / "root.pem"));
  ASSERT_GE(chain.size(), 2u);
  EXPECT_EQ(chain[0], server.serialHex());
  EXPECT_EQ(chain[1], pki.intermediate().serialHex());
}

INSTANTIATE_TEST_SUITE_P(KeyTypes, AcmeFolderTest,
                         ::testing::Values(test::KeyType::Rsa, test::KeyType::EcP256,
                                           test::KeyType::EcP384),
                         [](const auto& info) {
                           return info.param == test::KeyType::Rsa      ? "Rsa"
                                  : info.param == test::KeyType::EcP256 ? "EcP256"
                                                                        : "EcP384";
                         });

TEST_F(SystemStoreTest, LetsEncryptLiveFolderWithAnEcdsaCertificate) {
  test::CertSpec certSpec;
  certSpec.commonName = "le.test.local";
  certSpec.keyType = test::KeyType::EcP256;
  const auto server = pki.issue(certSpec);
  const fs::path live = dir / "letsencrypt/live/le.test.local";
  fs::create_directories(live);
  test::writeCertPem(live / "cert.pem", server);
  test::writeCertsPem(live / "chain.pem", {pki.intermediate()});
  test::writeCertsPem(live / "fullchain.pem", {server, pki.intermediate()});
  test::writeKey(live / "privkey.pem", server, KeyFormat::PemPkcs8);
  const test::ScopedEnv folders("ORVO_MACHINE_STORE", live.string());

  ASSERT_EQ(store.ReadCertificatesFromStore(), 1);
  TOrvoStoreCertificate* found = store.GetCertByIndex(0);
  EXPECT_EQ(found->SerialNumber(), server.serialHex());
  ASSERT_TRUE(found->HasExportablePrivateKey());
  const auto key = found->ExportPrivateKey();
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->KeyType(), "EC P-256");
  EXPECT_TRUE(TOrvoSSLCertificateValidator().CheckPKMatchesCert(found, key.get()));
  // The intermediate of chain.pem and fullchain.pem goes into root.pem.
  ASSERT_TRUE(store.ExportCertificateAndChain(dir.path().string() + "/", *found));
  const auto chain = SerialsOf(test::ReadFile(dir / "root.pem"));
  ASSERT_GE(chain.size(), 2u);
  EXPECT_EQ(chain[0], server.serialHex());
  EXPECT_EQ(chain[1], pki.intermediate().serialHex());
}

// ---- PKCS#12 files of other key types, and files that are none ------------------------

TEST_F(CertStoreTest, P384Pkcs12WithAnEcChain) {
  test::CertSpec caSpec;
  caSpec.commonName = "Orvo Test EC Intermediate CA";
  caSpec.usage = test::Usage::Ca;
  caSpec.keyType = test::KeyType::EcP384;
  caSpec.keySlot = 3;
  const auto ecCa = pki.issue(caSpec, pki.root());
  test::CertSpec leafSpec;
  leafSpec.keyType = test::KeyType::EcP384;
  const auto leaf = pki.issue(leafSpec, ecCa);
  const std::string path = Path("server.p12");
  test::writePfx(path, leaf, "pw", {.chain = {ecCa, pki.root()}});

  script.answers = {"pw"};
  ASSERT_TRUE(store.createCertFromFile(path, cert));
  EXPECT_EQ(cert->SerialNumber(), leaf.serialHex());
  ASSERT_TRUE(cert->HasExportablePrivateKey());
  const auto key = cert->ExportPrivateKey();
  EXPECT_EQ(key->KeyType(), "EC P-384");
  EXPECT_TRUE(TOrvoSSLCertificateValidator().CheckPKMatchesCert(cert.get(), key.get()));
  Lines reasons;
  EXPECT_TRUE(cert->ValidateCertChain(reasons)) << reasons.front();
  ASSERT_TRUE(store.ExportCertificateAndChain(dir.path().string() + "/", *cert));
  const auto chain = SerialsOf(test::ReadFile(dir / "root.pem"));
  ASSERT_GE(chain.size(), 2u);
  EXPECT_EQ(chain[1], ecCa.serialHex());
}

TEST_F(CertStoreTest, Pkcs12WithoutCertificateSaysSoAfterTheRightPassphrase) {
  const std::string path = Path("keyonly.pfx");
  test::writePfx(path, pki.server(), "pw", {.withCert = false});
  script.answers = {"wrong", "pw", "pw"};
  EXPECT_FALSE(store.createCertFromFile(path, cert));
  EXPECT_THAT(script.requests, ElementsAre(Request{"keyonly.pfx", "", false},
                                           Request{"keyonly.pfx", "wrong", true}));
  EXPECT_EQ(store.LastLoadProblem(),
            "File '" + path + "' holds no certificate (a PKCS#12 file with only a private key).");
}

TEST_F(CertStoreTest, Pkcs12NameWithOtherContentFailsWithoutRequest) {
  const std::string path = Path("server.p12");
  test::writeFile(path, test::certPem(pki.server()));
  EXPECT_FALSE(store.createCertFromFile(path, cert));
  EXPECT_THAT(script.requests, IsEmpty());
  EXPECT_EQ(store.LastLoadProblem(), "File '" + path + "' is not a PKCS#12 file.");
  // A later load that works clears the problem.
  test::writePfx(path, pki.server(), "pw");
  script.answers = {"pw"};
  EXPECT_TRUE(store.createCertFromFile(path, cert));
  EXPECT_EQ(store.LastLoadProblem(), "");
}

} // namespace
} // namespace orvo
