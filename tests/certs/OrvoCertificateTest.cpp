#include "certs/OrvoCertificate.h"

#include "certs/CertFileUtils.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "certs/StoreTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace orvo {
namespace {

using test::CertSpec;
using test::TempDir;
using test::TestPki;
using test::Usage;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

TEST(StoreCertificate, NullHandleThrows) {
  try {
    TOrvoStoreCertificate cert(nullptr);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "the certificate handle is not assigned");
  }
}

TEST(StoreCertificate, FieldsAreReadAtConstruction) {
  CertSpec certSpec;
  certSpec.commonName = "fields.test.local";
  certSpec.emails = {"admin@test.local"};
  certSpec.dnsNames = {"fields.test.local"};
  const auto issued = TestPki::instance().issue(certSpec);
  const auto cert = test::StoreCertFrom(issued);
  EXPECT_EQ(cert->SerialNumber(), issued.serialHex());
  EXPECT_THAT(cert->PublicDN(), HasSubstr("fields.test.local"));
  EXPECT_FALSE(cert->ExpireDate().empty());
  EXPECT_TRUE(cert->isForServerAuthentication());
  EXPECT_FALSE(cert->IsExpired());
  EXPECT_FALSE(cert->IsRevoked());
  EXPECT_FALSE(cert->isSelfSigned());
  EXPECT_FALSE(cert->HasPrivateKey());
  EXPECT_FALSE(cert->HasExportablePrivateKey());
}

// ---- Display text --------------------------------------------------------------

struct DisplayCase {
  const char* name;
  CertSpec certSpec;
  bool selfSigned;
  std::string expected;
};

class DisplayTextTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayTextTest, ShowsNameIssuerAndUse) {
  auto& pki = TestPki::instance();
  const auto& c = GetParam();
  const auto cert =
      test::StoreCertFrom(c.selfSigned ? pki.selfSigned(c.certSpec) : pki.issue(c.certSpec));
  EXPECT_EQ(cert->DisplayText(), c.expected);
}

CertSpec MakeCertSpec(std::string aName, Usage aUsage, std::string aOrganization = "Orvo Test") {
  CertSpec certSpec;
  certSpec.commonName = std::move(aName);
  certSpec.usage = aUsage;
  certSpec.organization = std::move(aOrganization);
  return certSpec;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayTextTest,
    ::testing::Values(
        DisplayCase{"SelfSignedWithoutOrganization", MakeCertSpec("example", Usage::Server, ""),
                    true,
                    "Certificate for example(self-signed) - usable for server authentication"},
        DisplayCase{"SelfSignedWithOrganizationNamesIt", MakeCertSpec("example", Usage::Server),
                    true,
                    "Certificate for example signed by Orvo Test - usable for server "
                    "authentication"},
        DisplayCase{"IssuedServer", MakeCertSpec("www.test.local", Usage::Server), false,
                    "Certificate for www.test.local signed by Orvo Test - usable for server "
                    "authentication"},
        DisplayCase{"IssuedClient", MakeCertSpec("client.test.local", Usage::Client), false,
                    "Certificate for client.test.local signed by Orvo Test"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Requirements ------------------------------------------------------------

TEST(MatchesOrvoRequirements, IssuedServerCertificateWithUntrustedRoot) {
  const auto cert = test::StoreCertFrom(TestPki::instance().server("ok.test.local"));
  Lines reasons{"earlier line"};
  Lines warnings;
  EXPECT_TRUE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(reasons, ElementsAre("earlier line"));
  // The test root is not trusted by the system.
  EXPECT_THAT(warnings, ElementsAre("--> " + cert->DisplayText(),
                                    "    We could not determine if the issuer of your certificate "
                                    "is a trusted authority."));
}

TEST(MatchesOrvoRequirements, ExpiredClientCertificateHasTwoReasons) {
  CertSpec certSpec = MakeCertSpec("old.test.local", Usage::Client);
  certSpec.notBefore = -test::days(30);
  certSpec.notAfter = -test::days(1);
  const auto cert = test::StoreCertFrom(TestPki::instance().issue(certSpec));
  Lines reasons;
  Lines warnings;
  EXPECT_FALSE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(reasons, ElementsAre("--> " + cert->DisplayText(),
                                   "   is not for server authentication", "   is expired"));
  EXPECT_FALSE(cert->MatchesOrvoRequirements());
  EXPECT_FALSE(cert->MatchesOrvoRequirements(nullptr, &warnings));
  EXPECT_FALSE(cert->MatchesOrvoRequirements(&reasons, nullptr));
  EXPECT_EQ(reasons.size(), 6u);
}

TEST(MatchesOrvoRequirements, SelfSignedLeafWarnsOnlyAboutSelfSigning) {
  const auto cert = test::StoreCertFrom(
      TestPki::instance().selfSigned(MakeCertSpec("self.test.local", Usage::Server)));
  ASSERT_TRUE(cert->isSelfSigned());
  ASSERT_FALSE(cert->isRootCertificate());
  Lines reasons;
  Lines warnings;
  EXPECT_TRUE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(reasons, IsEmpty());
  EXPECT_THAT(warnings, ElementsAre("--> " + cert->DisplayText(), "    is self-signed"));
}

TEST(MatchesOrvoRequirements, RootCertificateGetsNoWarning) {
  const auto cert = test::StoreCertFrom(TestPki::instance().root());
  ASSERT_TRUE(cert->isSelfSigned());
  if (!cert->isRootCertificate()) {
    GTEST_SKIP() << "the toolkit does not count the test root as a root";
  }
  Lines reasons;
  Lines warnings;
  (void)cert->MatchesOrvoRequirements(reasons, warnings);
  EXPECT_THAT(warnings, IsEmpty());
}

// ---- Chain -----------------------------------------------------------------------

// Chains of a hierarchy of their own: the toolkit remembers every CA
// certificate loaded in the process, so the fixed test hierarchy could take
// part in chain building wherever another test loaded it.
test::TestCert OwnCa(const std::string& aName, int aSlot, const test::TestCert* aIssuer = nullptr,
                     test::Seconds aNotAfter = test::days(365)) {
  CertSpec certSpec = MakeCertSpec(aName, Usage::Ca);
  certSpec.keySlot = aSlot;
  certSpec.notAfter = aNotAfter;
  return aIssuer ? TestPki::instance().issue(certSpec, *aIssuer)
                 : TestPki::instance().selfSigned(certSpec);
}

test::TestCert LeafOf(const test::TestCert& aIssuer, const std::string& aName) {
  return TestPki::instance().issue(MakeCertSpec(aName, Usage::Server), aIssuer);
}

TEST(ValidateCertChain, ChainWithoutRootFails) {
  const auto unloadedRoot = OwnCa("Store Test Unloaded Root", 20);
  const auto cert = test::StoreCertFrom(LeafOf(unloadedRoot, "orphan.test.local"));
  Lines reasons{"earlier"};
  EXPECT_FALSE(cert->ValidateCertChain(reasons));
  // Chain findings carry no heading and no indentation.
  EXPECT_THAT(reasons, ElementsAre("earlier", "the certificate chain does not reach a root "
                                              "certificate"));
  EXPECT_FALSE(cert->ValidateCertChain());
}

TEST(ValidateCertChain, ChainToALoadedRootPasses) {
  const auto root = OwnCa("Store Test Sound Root", 21);
  const auto loadedRoot = test::StoreCertFrom(root);
  const auto cert = test::StoreCertFrom(LeafOf(root, "sound.test.local"));
  Lines reasons;
  EXPECT_TRUE(cert->ValidateCertChain(reasons));
  EXPECT_THAT(reasons, IsEmpty());
}

TEST(ValidateCertChain, ExpiredIntermediateIsReported) {
  const auto root = OwnCa("Store Test Expiry Root", 22);
  const auto intermediate = OwnCa("Store Test Expired Intermediate", 23, &root, -test::days(1));
  const auto loadedRoot = test::StoreCertFrom(root);
  const auto loadedIntermediate = test::StoreCertFrom(intermediate);
  const auto cert = test::StoreCertFrom(LeafOf(intermediate, "expiry.test.local"));
  Lines reasons;
  EXPECT_FALSE(cert->ValidateCertChain(reasons));
  EXPECT_THAT(reasons, ElementsAre("at least one certificate in the certificate chain is expired"));
}

TEST(ValidateCertsInChain, NoChainIsFalse) {
  Lines reasons;
  EXPECT_FALSE(TOrvoStoreCertificate::ValidateCertsInChain(nullptr, reasons));
  EXPECT_THAT(reasons, IsEmpty());
}

TEST(ValidateCertsInChain, SoundChainPasses) {
  const auto cert = test::StoreCertFrom(TestPki::instance().root());
  const auto chain = cert->Handle().GetCertChain();
  ASSERT_NE(chain, nullptr);
  Lines reasons;
  EXPECT_TRUE(TOrvoStoreCertificate::ValidateCertsInChain(chain.get(), reasons));
  EXPECT_THAT(reasons, IsEmpty());
}

TEST(ValidateCertsInChain, CertificateWithoutIssuerIsNamed) {
  const auto unloadedRoot = OwnCa("Store Test Unloaded Root", 20);
  const auto cert = test::StoreCertFrom(LeafOf(unloadedRoot, "orphan.test.local"));
  const auto chain = cert->Handle().GetCertChain();
  ASSERT_NE(chain, nullptr);
  Lines reasons;
  EXPECT_FALSE(TOrvoStoreCertificate::ValidateCertsInChain(chain.get(), reasons));
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_THAT(reasons[0], ::testing::StartsWith("Could not validate the signature of certificate: "
                                                "Certificate for orphan.test.local signed by"));
}

// ---- Keys --------------------------------------------------------------------------

TEST(StoreCertificateKeys, NoKeyStaysNoneUntilAssigned) {
  const auto cert = test::StoreCertFrom(TestPki::instance().server());
  EXPECT_EQ(cert->ExportPrivateKey(), nullptr);
  EXPECT_EQ(cert->ExportPrivateKey(), nullptr);
  auto key = std::make_shared<TOrvoSSLPrivateKey>();
  cert->AssignPrivateKey(key);
  EXPECT_TRUE(cert->HasPrivateKey());
  EXPECT_TRUE(cert->HasExportablePrivateKey());
  EXPECT_EQ(cert->ExportPrivateKey(), key);
  EXPECT_EQ(cert->ExportPrivateKey(), key);
}

TEST(StoreCertificateKeys, KeyOfTheCertificateIsTheSameObjectOnEveryCall) {
  const TempDir dir;
  const auto server = TestPki::instance().server();
  test::writePfx(dir / "server.pfx", server, "pw");
  auto handle = std::make_unique<ck::CkCert>();
  ASSERT_TRUE(handle->LoadPfxFile((dir / "server.pfx").string(), "pw"));
  auto cert = std::make_unique<TOrvoStoreCertificate>(std::move(handle));
  ASSERT_TRUE(cert->HasExportablePrivateKey());
  const auto first = cert->ExportPrivateKey();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cert->ExportPrivateKey(), first);
  // The key outlives the certificate that made it.
  cert.reset();
  EXPECT_FALSE(first->GetXML().empty());
}

// ---- Exports -----------------------------------------------------------------------

TEST(StoreCertificateExports, PemFileHoldsTheCertificate) {
  const TempDir dir;
  const auto issued = TestPki::instance().server();
  const auto cert = test::StoreCertFrom(issued);
  ASSERT_TRUE(cert->ExportToPEMFile((dir / "orvo.crt").string()));
  auto reread = std::make_unique<ck::CkCert>();
  ASSERT_TRUE(reread->LoadFromFile((dir / "orvo.crt").string()));
  EXPECT_EQ(reread->_serialNumber(), issued.serialHex());
}

TEST(StoreCertificateExports, ChainFileStartsWithTheCertificate) {
  const TempDir dir;
  const auto cert = test::StoreCertFrom(TestPki::instance().root());
  const std::string path = (dir / "root.pem").string();
  test::writeFile(path, "old content that must go\n");
  ASSERT_TRUE(cert->ExportCertChainToPEM(path));
  const std::string text = test::ReadFile(path);
  EXPECT_EQ(text.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
  EXPECT_EQ(text.find("old content"), std::string::npos);
}

TEST(StoreCertificateExports, ChainFileThatCannotBeCreatedThrows) {
  const TempDir dir;
  const auto cert = test::StoreCertFrom(TestPki::instance().root());
  Lines reasons;
  EXPECT_THROW((void)cert->ExportCertChainToPEM((dir / "no" / "root.pem").string(), &reasons),
               EFileError);
  EXPECT_FALSE(std::filesystem::exists(dir / "no" / "root.pem"));
}

TEST(StoreCertificateExports, PfxUsesTheFixedPassword) {
  const TempDir dir;
  const auto server = TestPki::instance().server();
  test::writePfx(dir / "in.pfx", server, "pw");
  auto handle = std::make_unique<ck::CkCert>();
  ASSERT_TRUE(handle->LoadPfxFile((dir / "in.pfx").string(), "pw"));
  const TOrvoStoreCertificate cert(std::move(handle));
  ASSERT_TRUE(cert.ExportToPFXFile((dir / "out.pfx").string()));
  ck::CkCert reread;
  EXPECT_FALSE(reread.LoadPfxFile((dir / "out.pfx").string(), "wrong"));
  ASSERT_TRUE(reread.LoadPfxFile((dir / "out.pfx").string(), TOrvoStoreCertificate::kPfxPassword));
  EXPECT_EQ(reread._serialNumber(), server.serialHex());
}

} // namespace
} // namespace orvo
