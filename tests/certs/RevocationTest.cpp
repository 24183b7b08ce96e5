// getRevoked against real peers on 127.0.0.1: an `openssl ocsp` responder and
// an HTTP server that serves the issuer's CRL.
#include "certs/Revocation.h"
#include "certs/CkToolkit.h"

#include "RevocationPeers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace orvo::test;
using orvo::ck::CkCert;

namespace {

class Revocation : public ::testing::Test {
protected:
  void SetUp() override {
    orvo::ck::detail::clearRevocationCache();
    // Loopback peers are asked directly, never through a proxy of the machine.
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
  }

  // A server certificate of the intermediate with the given addresses.
  TestCert issue(const std::string& ocspUrl, const std::string& crlUrl, Usage usage = Usage::Server,
                 bool expired = false) {
    CertSpec certSpec;
    certSpec.commonName = "revocation.test.local";
    certSpec.ocspUrl = ocspUrl;
    certSpec.crlUrl = crlUrl;
    certSpec.usage = usage;
    if (expired) {
      certSpec.notBefore = -days(30);
      certSpec.notAfter = -days(1);
    }
    return pki_.issue(certSpec);
  }

  // What the layer answers for cert, loaded with its issuer beside it.
  bool revoked(const TestCert& cert) {
    writeCertsPem(dir_ / "full.pem", {cert, pki_.intermediate()});
    CkCert loaded;
    EXPECT_TRUE(loaded.LoadFromFile((dir_ / "full.pem").string()));
    return loaded.getRevoked();
  }

  std::string crlOf(const std::vector<TestCert>& revokedCerts, const TestCert* issuer = nullptr) {
    const auto crl = pki_.crl(issuer ? *issuer : pki_.intermediate(), revokedCerts);
    writeCrlDer(dir_ / "crl.der", crl.get());
    std::ifstream in(dir_ / "crl.der", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TestPki& pki_ = TestPki::instance();
  TempDir dir_;
};

TEST_F(Revocation, OcspAnswersGoodAndRevoked) {
  const int port = freeLoopbackPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const TestCert good = issue(url, "");
  const TestCert bad = issue(url, "");
  OcspResponder responder(port, pki_.intermediate(), pki_.intermediate(),
                          {{good, false}, {bad, true}});
  EXPECT_FALSE(revoked(good));
  EXPECT_TRUE(revoked(bad));
  // Unknown to the responder: no definite answer.
  EXPECT_FALSE(revoked(issue(url, "")));
}

TEST_F(Revocation, OcspAnswerOfADelegatedResponderCounts) {
  const int port = freeLoopbackPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const TestCert bad = issue(url, "");
  CertSpec certSpec;
  certSpec.commonName = "Orvo Test OCSP Responder";
  certSpec.usage = Usage::OcspSigning;
  certSpec.keySlot = 4;
  const TestCert delegated = pki_.issue(certSpec); // by the intermediate
  OcspResponder responder(port, pki_.intermediate(), delegated, {{bad, true}});
  EXPECT_TRUE(revoked(bad));
}

TEST_F(Revocation, OcspAnswerSignedByAnotherCaIsIgnored) {
  const int port = freeLoopbackPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const TestCert bad = issue(url, "");
  // The root signs answers about the intermediate's certificate: not its issuer.
  {
    OcspResponder responder(port, pki_.intermediate(), pki_.root(), {{bad, true}});
    EXPECT_FALSE(revoked(bad));
  }
  // A certificate of the issuer that was not made for OCSP signing.
  orvo::ck::detail::clearRevocationCache();
  OcspResponder responder(port, pki_.intermediate(), pki_.server("not-a-responder.test"),
                          {{bad, true}});
  EXPECT_FALSE(revoked(bad));
}

TEST_F(Revocation, NamedHostsAreResolved) {
  HttpFileServer server;
  const TestCert listed = issue("", "http://localhost:" + std::to_string(server.port()) + "/c");
  server.setBody(crlOf({listed}));
  EXPECT_TRUE(revoked(listed));
}

TEST_F(Revocation, CrlIsAskedWithoutOcspOrWhenTheResponderIsDown) {
  const std::string down = "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/";
  HttpFileServer server;
  const std::string url = server.url("/intermediate.crl");
  const TestCert listed = issue("", url);
  const TestCert listedBehindDeadResponder = issue(down, url);
  const TestCert notListed = issue("", url);
  server.setBody(crlOf({listed, listedBehindDeadResponder}));

  EXPECT_TRUE(revoked(listed));
  EXPECT_TRUE(revoked(listedBehindDeadResponder));
  EXPECT_FALSE(revoked(notListed));
  // One fetch serves every certificate the list covers.
  EXPECT_EQ(server.requests(), 1);
}

TEST_F(Revocation, CrlOfAnotherIssuerOrGarbageIsIgnored) {
  HttpFileServer foreign;
  const TestCert a = issue("", foreign.url("/x.crl"));
  foreign.setBody(crlOf({a}, &pki_.root())); // the root's list, not the issuer's
  EXPECT_FALSE(revoked(a));

  HttpFileServer garbage;
  garbage.setBody("this is no CRL");
  EXPECT_FALSE(revoked(issue("", garbage.url("/y.crl"))));
}

TEST_F(Revocation, AnswersAreCachedAndOnlyUsableServerCertificatesAreAsked) {
  HttpFileServer server;
  const std::string url = server.url("/c.crl");
  const TestCert listed = issue("", url);
  const TestCert clientOnly = issue("", url, Usage::Client);
  const TestCert expired = issue("", url, Usage::Server, true);
  server.setBody(crlOf({listed, clientOnly, expired}));

  EXPECT_FALSE(revoked(clientOnly));
  EXPECT_FALSE(revoked(expired));
  EXPECT_EQ(server.requests(), 0);

  EXPECT_TRUE(revoked(listed));
  server.setBody("");
  EXPECT_TRUE(revoked(listed)); // from the cache
  EXPECT_EQ(server.requests(), 1);
}

// A peer that accepts and never answers: the check gives up after its time-out
// and counts the certificate as not revoked.
TEST_F(Revocation, SilentPeersCostOneTimeOutAndMeanNotRevoked) {
  HttpFileServer silent(HttpFileServer::Mode::Silent);
  const TestCert cert = issue(silent.url("/ocsp"), silent.url("/c.crl"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(revoked(cert));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, orvo::ck::detail::kRevocationTimeout + std::chrono::seconds(2));
  EXPECT_EQ(silent.requests(), 1); // the CRL was not asked: no time left
}

} // namespace
