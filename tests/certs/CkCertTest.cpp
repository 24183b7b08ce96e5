// Certificates: every input format, the facts and texts, chains built from the
// file, the vault, the loaded CA certificates and the trust store, PKCS#12.
#include "certs/CertPool.h"
#include "certs/CkData.h"

#include "support/TestPki.h"

#include <gtest/gtest.h>

#include <regex>

using namespace orvo::test;
using orvo::ck::CkCert;
using orvo::ck::CkCertStore;
using orvo::ck::CkXmlCertVault;

namespace {

// A CA hierarchy of its own, so that what earlier tests of the same process
// loaded (the layer remembers CA certificates) cannot help these chains.
struct Hierarchy {
  TestCert root;
  TestCert intermediate;
  TestCert leaf;
};

Hierarchy makeHierarchy(const std::string& tag) {
  auto& pki = TestPki::instance();
  CertSpec rootSpec;
  rootSpec.commonName = tag + " Root";
  rootSpec.usage = Usage::Ca;
  rootSpec.notAfter = days(3650);
  rootSpec.keySlot = 0;
  Hierarchy h;
  h.root = pki.selfSigned(rootSpec);
  CertSpec intSpec = rootSpec;
  intSpec.commonName = tag + " Intermediate";
  intSpec.keySlot = 1;
  h.intermediate = pki.issue(intSpec, h.root);
  CertSpec leafSpec;
  leafSpec.commonName = tag + ".test.local";
  h.leaf = pki.issue(leafSpec, h.intermediate);
  return h;
}

std::unique_ptr<CkCert> load(const Path& file) {
  auto cert = std::make_unique<CkCert>();
  EXPECT_TRUE(cert->LoadFromFile(file.string())) << cert->_lastErrorText();
  return cert;
}

// ---- Formats -----------------------------------------------------------------------------

struct FormatCase {
  const char* name;
  std::function<void(const Path&, const Hierarchy&)> write;
};

class CertFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(CertFormats, LoadsTheEndEntityCertificate) {
  const Hierarchy h = makeHierarchy(std::string("fmt") + GetParam().name);
  TempDir dir;
  GetParam().write(dir / "file", h);
  const auto cert = load(dir / "file");
  EXPECT_EQ(cert->_subjectCN(), std::string("fmt") + GetParam().name + ".test.local");
  EXPECT_EQ(cert->_serialNumber(), h.leaf.serialHex());
}

INSTANTIATE_TEST_SUITE_P(
    Files, CertFormats,
    ::testing::Values(
        FormatCase{"Pem", [](const Path& p, const Hierarchy& h) { writeCertPem(p, h.leaf); }},
        FormatCase{"Der", [](const Path& p, const Hierarchy& h) { writeCertDer(p, h.leaf); }},
        FormatCase{"FullChain",
                   [](const Path& p, const Hierarchy& h) {
                     writeCertsPem(p, {h.leaf, h.intermediate});
                   }},
        FormatCase{"BundleWithLeafLast",
                   [](const Path& p, const Hierarchy& h) {
                     writeCertsPem(p, {h.root, h.intermediate, h.leaf});
                   }},
        FormatCase{"Pkcs7Der",
                   [](const Path& p, const Hierarchy& h) {
                     writePkcs7(p, {h.intermediate, h.leaf, h.root});
                   }},
        FormatCase{"Pkcs7Pem",
                   [](const Path& p, const Hierarchy& h) {
                     writePkcs7(p, {h.intermediate, h.leaf}, true);
                   }},
        FormatCase{"PemWithTextAndKeyAround",
                   [](const Path& p, const Hierarchy& h) {
                     writeFile(p, "subject=...\n" + keyText(h.leaf.pkey(), KeyFormat::PemRsa) +
                                      certPem(h.leaf) + "trailing notes\n");
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CkCert, LoadsPastedPemAndBareBase64) {
  const TestCert server = TestPki::instance().server();
  CkCert pem;
  ASSERT_TRUE(pem.LoadFromBase64("  " + certPem(server) + "\n"));
  CkCert bare;
  std::string wrapped = certBase64Der(server);
  for (std::size_t i = 64; i < wrapped.size(); i += 65) {
    wrapped.insert(i, "\n");
  }
  ASSERT_TRUE(bare.LoadFromBase64(wrapped));
  EXPECT_EQ(bare._serialNumber(), pem._serialNumber());
  CkCert der;
  ASSERT_TRUE(der.LoadFromDer(certDer(server)));
  EXPECT_EQ(der._exportCertPem(), certPem(server));
  EXPECT_FALSE(CkCert().LoadFromBase64("not base64 at all!"));
}

// ---- Facts -------------------------------------------------------------------------------------

struct FactCase {
  const char* name;
  std::function<TestCert()> make;
  bool serverAuth, expired, selfSigned, root;
};

class CertFacts : public ::testing::TestWithParam<FactCase> {};

TEST_P(CertFacts, MatchTheCertificate) {
  const auto& c = GetParam();
  TempDir dir;
  writeCertPem(dir / "c.pem", c.make());
  const auto cert = load(dir / "c.pem");
  EXPECT_EQ(cert->getForServerAuthentication(), c.serverAuth);
  EXPECT_EQ(cert->getExpired(), c.expired);
  EXPECT_EQ(cert->getSelfSigned(), c.selfSigned);
  EXPECT_EQ(cert->getIsRoot(), c.root);
  EXPECT_FALSE(cert->HasPrivateKey());
  EXPECT_EQ(cert->ExportPrivateKey(), nullptr);
}

TestCert withSpec(std::function<void(CertSpec&)> edit) {
  CertSpec certSpec;
  edit(certSpec);
  return TestPki::instance().issue(certSpec);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, CertFacts,
    ::testing::Values(
        FactCase{"Server", [] { return TestPki::instance().server(); }, true, false, false, false},
        FactCase{"Expired",
                 [] {
                   return withSpec([](CertSpec& s) {
                     s.notBefore = -days(30);
                     s.notAfter = -days(1);
                   });
                 },
                 true, true, false, false},
        FactCase{"NotYetValid", [] { return withSpec([](CertSpec& s) { s.notBefore = days(1); }); },
                 true, false, false, false},
        FactCase{"ClientOnly",
                 [] { return withSpec([](CertSpec& s) { s.usage = Usage::Client; }); }, false,
                 false, false, false},
        FactCase{"NoUsageRestriction",
                 [] { return withSpec([](CertSpec& s) { s.usage = Usage::Unrestricted; }); }, true,
                 false, false, false},
        FactCase{"SelfSignedLeaf", [] { return TestPki::instance().selfSigned(CertSpec{}); }, true,
                 false, true, false},
        FactCase{"Root", [] { return TestPki::instance().root(); }, false, false, true, true},
        FactCase{"Intermediate", [] { return TestPki::instance().intermediate(); }, false, false,
                 false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CkCert, TextsAreFormattedAsTheModelShowsThem) {
  CertSpec certSpec;
  certSpec.commonName = "www.example.org";
  certSpec.organization = "Example";
  certSpec.emails = {"admin@example.org"};
  certSpec.serial = 0x0A1B2C3D4E5FULL;
  TempDir dir;
  writeCertPem(dir / "c.pem", TestPki::instance().issue(certSpec));
  const auto cert = load(dir / "c.pem");
  EXPECT_EQ(cert->_subjectDN(), "CN=www.example.org, O=Example, C=DE");
  EXPECT_EQ(cert->_subjectCN(), "www.example.org");
  EXPECT_EQ(cert->_subjectC(), "DE");
  EXPECT_EQ(cert->_issuerO(), "Orvo Test");
  EXPECT_EQ(cert->_rfc822Name(), "admin@example.org");
  EXPECT_EQ(cert->_serialNumber(), "0A1B2C3D4E5F");
  EXPECT_EQ(cert->_cspName(), "");
  EXPECT_TRUE(std::regex_match(
      cert->_validToStr(),
      std::regex(
          R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT)")))
      << cert->_validToStr();
  EXPECT_EQ(cert->_exportCertPem().rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
}

TEST(CkCert, EmptyObjectAnswersEmptyAndFalse) {
  const CkCert cert;
  EXPECT_EQ(cert._subjectDN(), "");
  EXPECT_EQ(cert._serialNumber(), "");
  EXPECT_FALSE(cert.getSelfSigned());
  EXPECT_FALSE(cert.getRevoked());
  EXPECT_EQ(cert.GetCertChain(), nullptr);
  EXPECT_FALSE(cert.VerifySignature());
  TempDir dir;
  EXPECT_FALSE(cert.ExportCertPemFile((dir / "x.pem").string()));
}

// ---- Chains -------------------------------------------------------------------------------------

TEST(CkCertChain, AcmeFolderBuildsTheFullChainWhicheverFileIsReadFirst) {
  const Hierarchy h = makeHierarchy("acme");
  TempDir dir;
  writeCertPem(dir / "cert.pem", h.leaf);
  writeCertsPem(dir / "chain.pem", {h.intermediate, h.root});
  writeCertsPem(dir / "fullchain.pem", {h.leaf, h.intermediate});
  writeKey(dir / "privkey.pem", h.leaf, KeyFormat::PemPkcs8);

  const auto first = load(dir / "cert.pem");
  EXPECT_EQ(first->GetCertChain()->getNumCerts(), 1); // nothing else known yet
  EXPECT_FALSE(first->VerifySignature());
  const auto chainFile = load(dir / "chain.pem");
  const auto full = load(dir / "fullchain.pem");

  for (const auto* cert : {first.get(), full.get()}) {
    const auto chain = cert->GetCertChain();
    ASSERT_EQ(chain->getNumCerts(), 3);
    EXPECT_EQ(chain->GetCert(0)->_subjectCN(), "acme.test.local");
    EXPECT_EQ(chain->GetCert(1)->_subjectCN(), "acme Intermediate");
    EXPECT_EQ(chain->GetCert(2)->_subjectCN(), "acme Root");
    EXPECT_EQ(chain->GetCert(3), nullptr);
    EXPECT_EQ(chain->GetCert(-1), nullptr);
    EXPECT_TRUE(chain->getReachesRoot());
    EXPECT_TRUE(chain->VerifyCertSignatures());
    EXPECT_EQ(chain->getNumExpiredCerts(), 0);
    EXPECT_TRUE(cert->VerifySignature());
  }
}

// The verifier takes an issuer that is valid now over an expired one of the
// same name and key; the expired one is reported as stale.
TEST(CkCertChain, PrefersAnIssuerThatIsValidNow) {
  auto& pki = TestPki::instance();
  const Hierarchy h = makeHierarchy("renewed");
  // Same name and key as the intermediate: a re-issued CA certificate.
  CertSpec certSpec;
  certSpec.commonName = "renewed Intermediate";
  certSpec.usage = Usage::Ca;
  certSpec.keySlot = 1;
  certSpec.notBefore = -days(100);
  certSpec.notAfter = -days(2);
  const TestCert expired = pki.issue(certSpec, h.root);
  certSpec.notBefore = -days(1);
  certSpec.notAfter = days(5000);
  const TestCert longest = pki.issue(certSpec, h.root);
  TempDir dir;
  writeCertsPem(dir / "bundle.pem", {h.leaf, expired, h.intermediate, longest, h.root});
  const auto chain = load(dir / "bundle.pem")->GetCertChain();
  ASSERT_EQ(chain->getNumCerts(), 3);
  EXPECT_NE(chain->GetCert(1)->_serialNumber(), expired.serialHex());
  EXPECT_EQ(chain->getNumExpiredCerts(), 0);
  EXPECT_TRUE(chain->getReachesRoot());
  const auto stale = load(dir / "bundle.pem")->GetStaleChainCerts();
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0]->_serialNumber(), expired.serialHex());
  (void)longest;
}

TEST(CkCertChain, CountsExpiredCertificatesAndIgnoresForgedIssuers) {
  auto& pki = TestPki::instance();
  const Hierarchy h = makeHierarchy("forged");
  // A certificate with the intermediate's name but another key cannot be the issuer.
  CertSpec certSpec;
  certSpec.commonName = "forged Intermediate";
  certSpec.usage = Usage::Ca;
  certSpec.keySlot = 9;
  const TestCert impostor = pki.issue(certSpec, h.root);
  CertSpec old;
  old.commonName = "old.forged.test";
  old.notBefore = -days(30);
  old.notAfter = -days(1);
  const TestCert expiredLeaf = pki.issue(old, h.intermediate);
  TempDir dir;
  writeCertsPem(dir / "bundle.pem", {expiredLeaf, impostor, h.root});
  auto cert = load(dir / "bundle.pem");
  EXPECT_EQ(cert->GetCertChain()->getNumCerts(), 1);
  EXPECT_FALSE(cert->GetCertChain()->getReachesRoot());

  CkCert intermediate;
  writeCertPem(dir / "int.pem", h.intermediate);
  ASSERT_TRUE(intermediate.LoadFromFile((dir / "int.pem").string()));
  const auto chain = cert->GetCertChain();
  ASSERT_EQ(chain->getNumCerts(), 3);
  EXPECT_EQ(chain->getNumExpiredCerts(), 1);
  EXPECT_TRUE(chain->VerifyCertSignatures());
}

TEST(CkXmlCertVault, VaultCertificatesTakePartOnceUsed) {
  const Hierarchy h = makeHierarchy("vault");
  TempDir dir;
  writeCertsPem(dir / "full.pem", {h.leaf, h.intermediate, h.root});
  const auto full = load(dir / "full.pem");
  CkXmlCertVault vault;
  ASSERT_TRUE(vault.AddCert(*full));
  ASSERT_TRUE(vault.AddCertChain(*full->GetCertChain()));
  EXPECT_EQ(vault.data().pool->size(), 3u);
  EXPECT_FALSE(vault.AddCert(CkCert()));

  writeCertPem(dir / "leaf.pem", h.leaf);
  const auto leaf = load(dir / "leaf.pem");
  leaf->UseCertVault(vault);
  EXPECT_EQ(leaf->GetCertChain()->getNumCerts(), 3);
}

// ---- Trust store
// ----------------------------------------------------------------------------------

class TrustStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    writeCertPem(dir_ / "anchors.pem", TestPki::instance().root());
    orvo::ck::detail::TrustStore::instance().useLocations((dir_ / "anchors.pem").string(), "");
  }
  void TearDown() override { orvo::ck::detail::TrustStore::instance().useLocations("", ""); }
  TempDir dir_;
};

TEST_F(TrustStoreTest, TrustedRootNeedsAChainToAnAnchor) {
  auto& pki = TestPki::instance();
  writeCertsPem(dir_ / "full.pem", {pki.server("trusted.test.local"), pki.intermediate()});
  const auto trusted = load(dir_ / "full.pem");
  EXPECT_TRUE(trusted->getTrustedRoot());
  const auto chain = trusted->GetCertChain();
  ASSERT_EQ(chain->getNumCerts(), 3); // the root comes from the trust store
  EXPECT_TRUE(chain->getReachesRoot());

  writeCertPem(dir_ / "self.pem", pki.selfSigned(CertSpec{}));
  EXPECT_FALSE(load(dir_ / "self.pem")->getTrustedRoot());
  const Hierarchy other = makeHierarchy("untrusted");
  writeCertsPem(dir_ / "other.pem", {other.leaf, other.intermediate, other.root});
  EXPECT_FALSE(load(dir_ / "other.pem")->getTrustedRoot());
}

// ---- PKCS#12
// --------------------------------------------------------------------------------------

struct PfxCase {
  const char* name;
  PfxCipher cipher;
};

class PfxFiles : public ::testing::TestWithParam<PfxCase> {};

TEST_P(PfxFiles, LoadWithKeyAndChainAndRefuseAWrongPassword) {
  const Hierarchy h = makeHierarchy(std::string("pfx") + GetParam().name);
  TempDir dir;
  writePfx(dir / "c.pfx", h.leaf, "pa55",
           {.chain = {h.intermediate, h.root}, .cipher = GetParam().cipher});
  CkCert cert;
  ASSERT_TRUE(cert.LoadPfxFile((dir / "c.pfx").string(), "pa55")) << cert._lastErrorText();
  EXPECT_EQ(cert._serialNumber(), h.leaf.serialHex());
  EXPECT_TRUE(cert.HasPrivateKey());
  EXPECT_TRUE(cert.getPrivateKeyExportable());
  const auto key = cert.ExportPrivateKey();
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(EVP_PKEY_eq(key->data().key.get(), h.leaf.pkey()), 1);
  EXPECT_EQ(cert.GetCertChain()->getNumCerts(), 3);

  CkCert wrong;
  EXPECT_FALSE(wrong.LoadPfxFile((dir / "c.pfx").string(), "wrong"));
  EXPECT_FALSE(wrong.LoadPfxFile((dir / "c.pfx").string(), ""));
}

INSTANTIATE_TEST_SUITE_P(Ciphers, PfxFiles,
                         ::testing::Values(PfxCase{"Modern", PfxCipher::Modern},
                                           PfxCase{"LegacyRc2", PfxCipher::LegacyRc2},
                                           PfxCase{"Legacy3Des", PfxCipher::Legacy3Des}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CkCert, ExportToPfxRoundTripsWithKeyAndChain) {
  const Hierarchy h = makeHierarchy("export");
  TempDir dir;
  writePfx(dir / "in.pfx", h.leaf, "", {.chain = {h.intermediate, h.root}});
  CkCert cert;
  ASSERT_TRUE(cert.LoadPfxFile((dir / "in.pfx").string(), ""));
  ASSERT_TRUE(cert.ExportToPfxFile((dir / "out.pfx").string(), "abcd", true));
  CkCert back;
  ASSERT_TRUE(back.LoadPfxFile((dir / "out.pfx").string(), "abcd"));
  EXPECT_TRUE(back.getPrivateKeyExportable());
  EXPECT_EQ(back.data().companions.size(), 2u);
  ASSERT_TRUE(cert.ExportCertPemFile((dir / "out.pem").string()));
  EXPECT_EQ(load(dir / "out.pem")->_serialNumber(), h.leaf.serialHex());
}

// ---- Store
// ---------------------------------------------------------------------------------------

TEST(CkCertStore, MemoryStoreIsEmptyAndAttachedKeysCopyOver) {
  CkCertStore store;
  ASSERT_TRUE(store.CreateMemoryStore());
  EXPECT_EQ(store.getNumCertificates(), 0);
  EXPECT_EQ(store.GetCertificate(0), nullptr);

  const TestCert server = TestPki::instance().server();
  auto cert = std::make_unique<CkCert>();
  ASSERT_TRUE(cert->LoadFromDer(certDer(server)));
  cert->AttachPrivateKey(nullptr, false); // present but not exportable
  store.data().certs.push_back(std::move(cert));
  const auto copy = store.GetCertificate(0);
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->HasPrivateKey());
  EXPECT_FALSE(copy->getPrivateKeyExportable());
  EXPECT_EQ(copy->ExportPrivateKey(), nullptr);
  EXPECT_EQ(store.GetCertificate(-1), nullptr);
  EXPECT_EQ(store.GetCertificate(1), nullptr);
}

} // namespace
