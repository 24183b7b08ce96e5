// Revoked certificates as the store and the store certificate treat them: a
// CRL served on 127.0.0.1 lists the certificate.

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/RevocationPeers.h"
#include "certs/StoreTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace orvo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::TestPki;
using ::testing::ElementsAre;
using Lines = std::vector<std::string>;

class StoreRevocation : public ::testing::Test {
protected:
  StoreRevocation() {
    // Loopback peers are asked directly, never through a proxy of the machine.
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
  }

  test::TestCert Issue(const std::string& aName, bool aExpired = false) {
    test::CertSpec certSpec;
    certSpec.commonName = aName;
    certSpec.crlUrl = server.url("/intermediate.crl");
    if (aExpired) {
      certSpec.notBefore = -test::days(30);
      certSpec.notAfter = -test::days(1);
    }
    return pki.issue(certSpec);
  }

  void Revoke(const std::vector<test::TestCert>& aCerts) {
    test::writeCrlDer(dir / "crl.der", pki.crl(pki.intermediate(), aCerts).get());
    server.setBody(test::ReadFile(dir / "crl.der"));
  }

  TestPki& pki = TestPki::instance();
  TempDir dir;
  test::HttpFileServer server;
  // The issuer must be known for the revocation question to be asked.
  std::unique_ptr<TOrvoStoreCertificate> intermediate = test::StoreCertFrom(pki.intermediate());
};

TEST_F(StoreRevocation, RevokedCertificateHasItsReason) {
  const auto revoked = Issue("revoked.test.local");
  Revoke({revoked});
  const auto cert = test::StoreCertFrom(revoked);
  EXPECT_TRUE(cert->IsRevoked());
  Lines reasons;
  Lines warnings;
  EXPECT_FALSE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(reasons, ElementsAre("--> " + cert->DisplayText(), "   has been revoked"));
}

TEST_F(StoreRevocation, MachineStoreKeepsOnlyUsableCertificates) {
  const auto revoked = Issue("revoked.test.local");
  const auto good = Issue("good.test.local");
  Revoke({revoked});
  fs::create_directories(dir / "certs");
  test::writeCertPem(dir / "certs/a-revoked.pem", revoked);
  test::writeCertPem(dir / "certs/b-good.pem", good);
  const test::ScopedEnv machine("ORVO_MACHINE_STORE", (dir / "certs").string());
  const test::ScopedEnv user("ORVO_USER_NSSDB", (dir / "no-nssdb").string());
  TOrvoCertStore store(dir.path().string());
  ASSERT_EQ(store.ReadCertificatesFromStore(), 1);
  EXPECT_EQ(store.GetCertByIndex(0)->SerialNumber(), good.serialHex());
}

} // namespace
} // namespace orvo
