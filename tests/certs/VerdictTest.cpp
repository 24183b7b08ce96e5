// The verdicts of the store certificate as a TLS client would give them:
// validity both ways, certificate authorities refused, the path by OpenSSL's
// verifier (cross-signed and re-issued intermediates), issuers fetched over
// authority information access, revocation of the whole path with CRLs given
// beside the certificates, and the host-name warning. The network peers are
// on 127.0.0.1.
#include "certs/OpenSslPtr.h"
#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/Revocation.h"
#include "certs/RevocationPeers.h"
#include "certs/StoreTestSupport.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace orvo {
namespace {

using namespace test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Lines = std::vector<std::string>;

struct Hierarchy {
  TestCert root;
  TestCert intermediate;
  TestCert leaf;
};

// A hierarchy of its own per test: the layer remembers every CA it met.
Hierarchy MakeHierarchy(const std::string& aTag, const CertSpec& aIntermediate = {},
                        const CertSpec& aLeaf = {}) {
  auto& pki = TestPki::instance();
  CertSpec rootSpec;
  rootSpec.commonName = aTag + " Root";
  rootSpec.usage = Usage::Ca;
  rootSpec.notAfter = days(3650);
  rootSpec.keySlot = 0;
  Hierarchy h;
  h.root = pki.selfSigned(rootSpec);
  CertSpec intSpec = aIntermediate;
  intSpec.commonName = aTag + " Intermediate";
  intSpec.usage = Usage::Ca;
  intSpec.keySlot = 1;
  h.intermediate = pki.issue(intSpec, h.root);
  CertSpec leafSpec = aLeaf;
  leafSpec.commonName = aTag + ".test.local";
  h.leaf = pki.issue(leafSpec, h.intermediate);
  return h;
}

std::unique_ptr<TOrvoStoreCertificate> Load(TOrvoCertStore& aStore, const Path& aFile) {
  std::unique_ptr<TOrvoStoreCertificate> cert;
  EXPECT_TRUE(aStore.createCertFromFile(aFile.string(), cert)) << aFile;
  return cert;
}

std::string Heading(const TOrvoStoreCertificate& aCert) {
  return "--> " + aCert.DisplayText();
}

int CountOf(const std::string& aText, const std::string& aPart) {
  int n = 0;
  for (auto at = aText.find(aPart); at != std::string::npos; at = aText.find(aPart, at + 1)) {
    ++n;
  }
  return n;
}

// A CRL of aIssuer listing aRevoked, in force from aFrom to aUntil (relative to now).
std::string CrlDer(const TestCert& aIssuer, const std::vector<TestCert>& aRevoked, Seconds aFrom,
                   Seconds aUntil) {
  const ssl::X509_CRLPtr crl(X509_CRL_new());
  const std::time_t now = std::time(nullptr);
  const ssl::ASN1_TIMEPtr from(ASN1_TIME_adj(nullptr, now, 0, static_cast<long>(aFrom.count())));
  const ssl::ASN1_TIMEPtr until(ASN1_TIME_adj(nullptr, now, 0, static_cast<long>(aUntil.count())));
  EXPECT_EQ(X509_CRL_set_version(crl.get(), 1), 1);
  EXPECT_EQ(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(aIssuer.x509())), 1);
  EXPECT_EQ(X509_CRL_set1_lastUpdate(crl.get(), from.get()), 1);
  EXPECT_EQ(X509_CRL_set1_nextUpdate(crl.get(), until.get()), 1);
  for (const TestCert& c : aRevoked) {
    X509_REVOKED* entry = X509_REVOKED_new();
    EXPECT_EQ(X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(c.x509())), 1);
    EXPECT_EQ(X509_REVOKED_set_revocationDate(entry, from.get()), 1);
    EXPECT_EQ(X509_CRL_add0_revoked(crl.get(), entry), 1);
  }
  EXPECT_EQ(X509_CRL_sort(crl.get()), 1);
  EXPECT_GT(X509_CRL_sign(crl.get(), aIssuer.pkey(), EVP_sha256()), 0);
  unsigned char* der = nullptr;
  const int len = i2d_X509_CRL(crl.get(), &der);
  std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return out;
}

class Verdicts : public ::testing::Test {
protected:
  Verdicts() {
    // Loopback peers are asked directly, never through a proxy of the machine.
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    ck::detail::clearRevocationCache();
  }

  TestPki& pki = TestPki::instance();
  TempDir dir;
  TOrvoCertStore store{dir.path().string()};
  Lines reasons;
  Lines warnings;
};

// ---- Validity and certificate authorities -----------------------------------------------

struct RefusedCase {
  const char* name;
  Usage usage;
  Seconds notBefore;
  Seconds notAfter;
  const char* reason;
};

class RefusedCertificate : public Verdicts, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedCertificate, HasItsReason) {
  CertSpec certSpec;
  certSpec.commonName = kTestHostName;
  certSpec.usage = GetParam().usage;
  certSpec.notBefore = GetParam().notBefore;
  certSpec.notAfter = GetParam().notAfter;
  certSpec.keySlot = 5;
  const TestCert refused = pki.issue(certSpec);
  writeCertsPem(dir / "cert.pem", {refused, pki.intermediate(), pki.root()});
  const auto cert = Load(store, dir / "cert.pem");
  EXPECT_FALSE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(reasons, ElementsAre(Heading(*cert), GetParam().reason));
  if (GetParam().usage == Usage::CaServer) {
    EXPECT_THAT(warnings, IsEmpty()); // never a server certificate, so nothing to warn about
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCertificate,
    ::testing::Values(
        RefusedCase{"ValidFromNextMonth", Usage::Server, days(30), days(90), "   is not yet valid"},
        RefusedCase{"Expired", Usage::Server, -days(30), -days(1), "   is expired"},
        RefusedCase{"CaWithServerAuthentication", Usage::CaServer, -days(1), days(90),
                    "   is a certificate authority (CA:TRUE), not a server certificate"}),
    [](const auto& info) { return std::string(info.param.name); });

// A time that cannot be read counts as outside the validity period.
TEST_F(Verdicts, UnreadableTimesCountAsInvalid) {
  CertSpec certSpec;
  certSpec.commonName = kTestHostName;
  certSpec.keySlot = 5;
  for (const bool before : {true, false}) {
    ssl::X509Ptr broken(X509_dup(pki.issue(certSpec).x509()));
    ASN1_TIME* time = before ? X509_getm_notBefore(broken.get()) : X509_getm_notAfter(broken.get());
    ASSERT_EQ(ASN1_STRING_set(time, "not a time", 10), 1);
    ASSERT_GT(X509_sign(broken.get(), pki.intermediate().pkey(), EVP_sha256()), 0);
    ssl::BIOPtr bio(BIO_new_file((dir / "broken.pem").c_str(), "w"));
    ASSERT_EQ(PEM_write_bio_X509(bio.get(), broken.get()), 1);
    bio.reset();
    const auto cert = Load(store, dir / "broken.pem");
    Lines lines;
    EXPECT_FALSE(cert->MatchesOrvoRequirements(&lines, nullptr));
    EXPECT_THAT(lines, Contains(before ? "   is not yet valid" : "   is expired"));
  }
}

// CA:TRUE certificates never make the machine store's list, whatever their purpose.
TEST_F(Verdicts, MachineStoreListsNoCertificateAuthority) {
  CertSpec certSpec;
  certSpec.commonName = "acme intermediate";
  certSpec.usage = Usage::CaServer;
  certSpec.keySlot = 1;
  const TestCert ca = pki.issue(certSpec, pki.root());
  std::filesystem::create_directories(dir / "certs");
  writeCertPem(dir / "certs/a-ca.pem", ca);
  const TestCert server = pki.server(kTestHostName);
  writeCertPem(dir / "certs/b-server.pem", server);
  const ScopedEnv machine("ORVO_MACHINE_STORE", (dir / "certs").string());
  const ScopedEnv user("ORVO_USER_NSSDB", (dir / "no-nssdb").string());
  ASSERT_EQ(store.ReadCertificatesFromStore(), 1);
  EXPECT_EQ(store.GetCertByIndex(0)->SerialNumber(), server.serialHex());
}

// ---- Paths ------------------------------------------------------------------------------------

// The root is also cross-signed by a root nobody has, for longer: a walk that
// takes the longest-lived issuer ends there; the verifier takes the root.
TEST_F(Verdicts, CrossSignedRootLeavesTheVerifiedPathIntact) {
  const Hierarchy h = MakeHierarchy("cross");
  CertSpec oldSpec;
  oldSpec.commonName = "cross Old Root";
  oldSpec.usage = Usage::Ca;
  oldSpec.keySlot = 7;
  const TestCert oldRoot = pki.selfSigned(oldSpec);
  CertSpec crossSpec;
  crossSpec.commonName = "cross Root";
  crossSpec.usage = Usage::Ca;
  crossSpec.keySlot = 0; // the root's key, under the old root's signature
  crossSpec.notAfter = days(9000);
  const TestCert crossSigned = pki.issue(crossSpec, oldRoot);
  writeCertsPem(dir / "chain.pem", {h.leaf, h.intermediate, crossSigned});
  writeCertPem(dir / "root.pem", h.root);
  (void)Load(store, dir / "root.pem");
  const auto cert = Load(store, dir / "chain.pem");
  EXPECT_TRUE(cert->ValidateCertChain(reasons)) << ::testing::PrintToString(reasons);
  std::filesystem::create_directories(dir / "out");
  ASSERT_TRUE(store.ExportCertificateAndChain((dir / "out/").string(), *cert, &reasons));
  const std::string chain = ReadFile(dir / "out/root.pem");
  EXPECT_EQ(CountOf(chain, "BEGIN CERTIFICATE"), 3);
  EXPECT_THAT(chain, HasSubstr(certPem(h.root).substr(28, 64))); // the self-signed root ends it
}

// A re-issued intermediate beside its expired predecessor: the path takes the
// new one, and the old one is a warning.
TEST_F(Verdicts, ReissuedIntermediateWarnsAboutThePredecessor) {
  const Hierarchy h = MakeHierarchy("reissued");
  CertSpec oldSpec;
  oldSpec.commonName = "reissued Intermediate";
  oldSpec.usage = Usage::Ca;
  oldSpec.keySlot = 1;
  oldSpec.notBefore = -days(400);
  oldSpec.notAfter = -days(5);
  const TestCert predecessor = pki.issue(oldSpec, h.root);
  writeCertsPem(dir / "chain.pem", {h.leaf, predecessor, h.intermediate, h.root});
  const auto cert = Load(store, dir / "chain.pem");
  EXPECT_TRUE(cert->ValidateCertChain(reasons)) << ::testing::PrintToString(reasons);
  EXPECT_TRUE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(warnings,
              ElementsAre(Heading(*cert),
                          "    We could not determine if the issuer of your certificate is a "
                          "trusted authority.",
                          "    the chain certificate Certificate for reissued Intermediate signed "
                          "by Orvo Test is expired"));
}

TEST_F(Verdicts, NotYetValidIntermediateFailsTheChain) {
  CertSpec future;
  future.notBefore = days(10);
  future.notAfter = days(400);
  const Hierarchy h = MakeHierarchy("future", future);
  writeCertsPem(dir / "chain.pem", {h.leaf, h.intermediate, h.root});
  const auto cert = Load(store, dir / "chain.pem");
  EXPECT_FALSE(cert->ValidateCertChain(reasons));
  EXPECT_THAT(reasons, ElementsAre("--> Certificate for future Intermediate signed by Orvo Test",
                                   "   is not yet valid"));
}

TEST_F(Verdicts, IssuerThatIsNoCertificateAuthorityFailsTheChain) {
  auto& p = pki;
  CertSpec notCa;
  notCa.commonName = "plain issuer";
  notCa.usage = Usage::Server;
  notCa.keySlot = 1;
  const TestCert issuer = p.issue(notCa, p.root());
  CertSpec leafSpec;
  leafSpec.commonName = kTestHostName;
  leafSpec.keySlot = 5;
  const TestCert leaf = p.issue(leafSpec, issuer);
  writeCertsPem(dir / "chain.pem", {leaf, issuer, p.root()});
  const auto cert = Load(store, dir / "chain.pem");
  EXPECT_FALSE(cert->ValidateCertChain(reasons));
  EXPECT_THAT(reasons, Contains(HasSubstr("the certificate chain is not valid: ")));
}

// ---- Names ----------------------------------------------------------------------------------

struct NameCase {
  const char* name;
  std::vector<std::string> dnsNames;
  std::vector<std::string> emails;
  std::string commonName;
  bool named;
};

class HostName : public Verdicts, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostName, WarnsWhenNoNameMatches) {
  CertSpec certSpec;
  certSpec.commonName = GetParam().commonName;
  certSpec.dnsNames = GetParam().dnsNames;
  certSpec.emails = GetParam().emails;
  certSpec.keySlot = 5;
  writeCertsPem(dir / "cert.pem", {pki.issue(certSpec), pki.intermediate(), pki.root()});
  const auto cert = Load(store, dir / "cert.pem");
  EXPECT_TRUE(cert->MatchesOrvoRequirements(reasons, warnings));
  const std::string line = std::string("    does not name this computer (") + kTestHostName + ")";
  if (GetParam().named) {
    EXPECT_THAT(warnings, Not(Contains(line)));
  } else {
    EXPECT_THAT(warnings, Contains(line));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostName,
    ::testing::Values(
        NameCase{"AnotherName", {"other.test.local"}, {}, "other.test.local", false},
        NameCase{"ExactName", {"other.test.local", kTestHostName}, {}, "other", true},
        NameCase{"WildcardLabel", {"*.test.local"}, {}, "wild", true},
        NameCase{"PartialWildcard", {"h*.test.local"}, {}, "partial", false},
        NameCase{"WildcardDeeper", {"*.host.test.local"}, {}, "deeper", false},
        NameCase{"CommonNameWithoutDnsNames", {}, {"admin@test.local"}, kTestHostName, true},
        NameCase{
            "CommonNameIgnoredBesideDnsNames", {"other.test.local"}, {}, kTestHostName, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Issuers fetched over authority information access ----------------------------------

enum class IssuerForm { Der, Pem, Pkcs7 };

struct FetchCase {
  const char* name;
  IssuerForm form;
};

class FetchedIssuer : public Verdicts, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(FetchedIssuer, CompletesThePathAndJoinsRootPem) {
  HttpFileServer server;
  CertSpec leafSpec;
  leafSpec.caIssuersUrl = server.url("/issuer");
  const Hierarchy h = MakeHierarchy(std::string("aia") + GetParam().name, {}, leafSpec);
  switch (GetParam().form) {
  case IssuerForm::Der:
    server.setBody("/issuer", certDer(h.intermediate));
    break;
  case IssuerForm::Pem:
    server.setBody("/issuer", certPem(h.intermediate));
    break;
  case IssuerForm::Pkcs7:
    writePkcs7(dir / "issuer.p7c", {h.intermediate});
    server.setBody("/issuer", ReadFile(dir / "issuer.p7c"));
    break;
  }
  writeCertPem(dir / "root.cer", h.root);
  writeCertPem(dir / "leaf.cer", h.leaf);
  (void)Load(store, dir / "root.cer");
  const auto cert = Load(store, dir / "leaf.cer");
  EXPECT_TRUE(cert->ValidateCertChain(reasons)) << ::testing::PrintToString(reasons);
  std::filesystem::create_directories(dir / "out");
  ASSERT_TRUE(store.ExportCertificateAndChain((dir / "out/").string(), *cert, &reasons));
  const std::string chain = ReadFile(dir / "out/root.pem");
  EXPECT_EQ(CountOf(chain, "BEGIN CERTIFICATE"), 3);
  EXPECT_EQ(server.requests("/issuer"), 1); // fetched once, remembered afterwards
}

INSTANTIATE_TEST_SUITE_P(Forms, FetchedIssuer,
                         ::testing::Values(FetchCase{"Der", IssuerForm::Der},
                                           FetchCase{"Pem", IssuerForm::Pem},
                                           FetchCase{"Pkcs7", IssuerForm::Pkcs7}),
                         [](const auto& info) { return std::string(info.param.name); });

// A fetch that brings no issuer, or an address of another scheme, leaves the
// path short; every fetch is bounded.
TEST_F(Verdicts, FailedFetchLeavesThePathShort) {
  HttpFileServer server;
  server.setBody("/issuer", "no certificate here");
  for (const std::string& url : {server.url("/issuer"), std::string("https://127.0.0.1:1/x"),
                                 std::string("ldap://127.0.0.1/cn=x")}) {
    CertSpec leafSpec;
    leafSpec.caIssuersUrl = url;
    const Hierarchy h = MakeHierarchy("nofetch" + std::to_string(url.size()), {}, leafSpec);
    writeCertPem(dir / "leaf.cer", h.leaf);
    const auto cert = Load(store, dir / "leaf.cer");
    Lines lines;
    EXPECT_FALSE(cert->ValidateCertChain(lines));
    EXPECT_THAT(lines, ElementsAre("the certificate chain does not reach a root certificate"));
  }
  EXPECT_EQ(server.requests(), 1);
}

// ---- Revocation -------------------------------------------------------------------------------

TEST_F(Verdicts, RevokedIntermediateRevokesTheLeaf) {
  HttpFileServer server;
  CertSpec intSpec;
  intSpec.crlUrl = server.url("/root.crl");
  CertSpec leafSpec;
  leafSpec.commonName = kTestHostName;
  const Hierarchy h = MakeHierarchy("revokedint", intSpec, leafSpec);
  server.setBody("/root.crl", CrlDer(h.root, {h.intermediate}, -days(1), days(7)));
  writeCertsPem(dir / "chain.pem", {h.leaf, h.intermediate, h.root});
  const auto cert = Load(store, dir / "chain.pem");
  EXPECT_FALSE(cert->MatchesOrvoRequirements(reasons, warnings));
  EXPECT_THAT(reasons, ElementsAre(Heading(*cert), "   has been revoked"));
}

// A CRL file beside the certificates answers without any network; one out of
// date answers nothing, which is a warning.
TEST_F(Verdicts, CrlFileBesideTheCertificatesIsUsedWhileCurrent) {
  struct Case {
    Seconds from;
    Seconds until;
    bool revoked;
  };
  int n = 0;
  for (const Case& c : {Case{-days(1), days(7), true}, Case{-days(9), -days(2), false},
                        Case{days(1), days(7), false}}) {
    TempDir folder;
    const Hierarchy h = MakeHierarchy("localcrl" + std::to_string(n++));
    writeFile(folder / "intermediate.crl", CrlDer(h.intermediate, {h.leaf}, c.from, c.until));
    writeCertsPem(folder / "chain.pem", {h.leaf, h.intermediate, h.root});
    TOrvoCertStore local(folder.path().string());
    const auto cert = Load(local, folder / "chain.pem");
    Lines r;
    Lines w;
    EXPECT_EQ(cert->MatchesOrvoRequirements(r, w), !c.revoked);
    if (c.revoked) {
      EXPECT_THAT(r, Contains("   has been revoked"));
    } else {
      EXPECT_THAT(w, Contains("    revocation could not be checked"));
    }
  }
}

// Silent responders cost one time-out for all certificates together, and the
// waiting thread gets to run its callback meanwhile.
TEST_F(Verdicts, CandidatesAreCheckedTogetherWithinOneTimeOut) {
  std::vector<std::unique_ptr<HttpFileServer>> silent;
  TOrvoCertList certs;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(std::make_unique<HttpFileServer>(HttpFileServer::Mode::Silent));
    CertSpec certSpec;
    certSpec.commonName = kTestHostName;
    certSpec.crlUrl = silent.back()->url("/c.crl");
    certSpec.keySlot = 5;
    writeCertsPem(dir / ("c" + std::to_string(i) + ".pem"),
                  {pki.issue(certSpec), pki.intermediate(), pki.root()});
    certs.push_back(Load(store, dir / ("c" + std::to_string(i) + ".pem")));
  }
  int waits = 0;
  store.SetOnWait([&waits] { ++waits; });
  const auto start = std::chrono::steady_clock::now();
  store.CheckRevocation(certs);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, 2 * ck::detail::kRevocationTimeout);
  EXPECT_GT(waits, 0);
  for (const auto& cert : certs) {
    Lines w;
    EXPECT_TRUE(cert->MatchesOrvoRequirements(nullptr, &w));
    EXPECT_THAT(w, ElementsAre(Heading(*cert),
                               "    We could not determine if the issuer of your certificate is "
                               "a trusted authority.",
                               "    revocation could not be checked"));
  }
}

} // namespace
} // namespace orvo
