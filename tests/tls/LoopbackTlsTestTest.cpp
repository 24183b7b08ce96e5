// The loopback self-test against files from the test PKI. Every test here
// binds 127.0.0.1:51203 (ctest RESOURCE_LOCK port51203).

#include "tls/LoopbackTlsTest.h"

#include "support/TestPki.h"
#include "tls/LoopbackFiles.h"
#include "tls/PortLock.h"
#include "tls/TlsContext.h"
#include "tls/TlsSocket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace orvo {
namespace {

using test::KeyFormat;
using test::TestPki;
using test::TLoopbackFiles;

bool StartsWith(const std::string& aText, const std::string& aPrefix) {
  return aText.rfind(aPrefix, 0) == 0;
}

class LoopbackTlsTestTest : public ::testing::Test {
protected:
  std::string DataPath() const { return fData.path().string() + "/"; }
  bool Exists(const char* aName) const { return std::filesystem::exists(fData / aName); }
  void ExpectStagedFilesGone() const {
    EXPECT_FALSE(Exists("root.pem"));
    EXPECT_FALSE(Exists("orvo.crt"));
    EXPECT_FALSE(Exists("orvo.key"));
  }
  test::TestCert Server() const { return TestPki::instance().server(); }
  // A key of another pair than Server()'s certificate.
  test::TestCert OtherKey() const {
    test::CertSpec certSpec;
    certSpec.keySlot = 7;
    return TestPki::instance().issue(certSpec);
  }
  bool Verify(std::vector<std::string>& aReasons) {
    return fTest.VerifySSLConnectionIsPossible(DataPath(), aReasons);
  }

  test::TPortLock fPortLock;
  test::TempDir fData;
  test::TempDir fProgram; // no cert/dh.pem unless a test writes one
  TLoopbackTlsTest fTest{fProgram.path()};
};

TEST_F(LoopbackTlsTestTest, MatchingCertificateChainAndKeyConnect) {
  TLoopbackFiles::Write(DataPath(), Server());
  std::vector<std::string> reasons{"kept"};
  EXPECT_TRUE(Verify(reasons));
  EXPECT_EQ(reasons, std::vector<std::string>{"kept"});
  ExpectStagedFilesGone();
}

// The client does not connect when the server could not start: it would meet
// nothing, or another program's server.
TEST_F(LoopbackTlsTestTest, KeyOfAnotherPairFailsTheStartAndNoClientConnects) {
  TLoopbackFiles::Write(DataPath(), Server());
  test::writeKey(fData / "orvo.key", OtherKey(), KeyFormat::PemPkcs8);
  std::vector<std::string> reasons;
  EXPECT_FALSE(Verify(reasons));
  ASSERT_EQ(reasons.size(), 1U);
  const std::string start = "Error starting Server: Could not load key, check password.\r\n";
  EXPECT_TRUE(StartsWith(reasons[0], start)) << reasons[0];
  EXPECT_GT(reasons[0].size(), start.size()) << "OpenSSL's text is missing";
  ExpectStagedFilesGone();
}

TEST_F(LoopbackTlsTestTest, PortInUseReportsTheBindAndDoesNotConnectToTheOtherProgram) {
  // Another program holds the port; it drops every connection at once.
  const TSocket blocker = ListenOn("127.0.0.1", TLoopbackTlsTest::kPort, 4);
  std::atomic<int> accepted{0};
  std::jthread dropper([&](std::stop_token aStop) {
    while (!aStop.stop_requested()) {
      pollfd entry{blocker.Fd(), POLLIN, 0};
      if (::poll(&entry, 1, 20) > 0) {
        TSocket connection(::accept(blocker.Fd(), nullptr, nullptr));
        ++accepted;
      }
    }
  });
  TLoopbackFiles::Write(DataPath(), Server());
  std::vector<std::string> reasons;
  EXPECT_FALSE(Verify(reasons));
  dropper.request_stop();
  dropper.join();
  ASSERT_EQ(reasons.size(), 1U);
  EXPECT_EQ(reasons[0],
            "Error starting Server: Could not bind socket. Address and port are already in use.");
  EXPECT_EQ(accepted.load(), 0);
  ExpectStagedFilesGone();
}

// The security level of a context made with the system's configuration
// (/etc/ssl/openssl.cnf, OPENSSL_CONF), as the server makes its own.
int SystemSecurityLevel() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  const int level = ctx != nullptr ? SSL_CTX_get_security_level(ctx) : 0;
  SSL_CTX_free(ctx);
  return level;
}

// The contexts keep the system's configuration and security level, so a key
// that the level refuses fails here as it would fail the server, and the
// reason is OpenSSL's.
TEST_F(LoopbackTlsTestTest, KeyBelowTheSystemSecurityLevelFailsWithOpenSslsReason) {
  test::CertSpec certSpec;
  certSpec.keyBits = 1024;
  certSpec.keySlot = 3;
  TLoopbackFiles::Write(DataPath(), TestPki::instance().issue(certSpec));
  std::vector<std::string> reasons;
  const bool connected = Verify(reasons);
  if (SystemSecurityLevel() >= 2) { // 112 bits: RSA 2048 and more
    EXPECT_FALSE(connected);
    ASSERT_EQ(reasons.size(), 1U);
    EXPECT_THAT(reasons[0], ::testing::StartsWith("Error starting Server: "));
    EXPECT_THAT(reasons[0], ::testing::HasSubstr("ee key too small"));
  } else {
    EXPECT_TRUE(connected) << ::testing::PrintToString(reasons);
  }
  ExpectStagedFilesGone();
}

struct BadFileCase {
  const char* name;
  const char* fileToBreak;
  bool remove; // remove the file; otherwise fill it with text that is no PEM
  const char* message;
};

class LoopbackBadFileTest : public LoopbackTlsTestTest,
                            public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(LoopbackBadFileTest, StartFailsWithTheFilesMessageAndEveryFileIsDeleted) {
  const BadFileCase& c = GetParam();
  TLoopbackFiles::Write(DataPath(), Server());
  if (c.remove) {
    std::filesystem::remove(fData / c.fileToBreak);
  } else {
    test::writeFile(fData / c.fileToBreak, "not a PEM file\n");
  }
  std::vector<std::string> reasons;
  EXPECT_FALSE(Verify(reasons));
  ASSERT_EQ(reasons.size(), 1U);
  const std::string start = std::string("Error starting Server: ") + c.message + "\r\n";
  EXPECT_TRUE(StartsWith(reasons[0], start)) << reasons[0];
  EXPECT_GT(reasons[0].size(), start.size());
  ExpectStagedFilesGone();
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoopbackBadFileTest,
    ::testing::Values(
        BadFileCase{"MissingRoot", "root.pem", true, "Could not load root certificate."},
        BadFileCase{"GarbageRoot", "root.pem", false, "Could not load root certificate."},
        BadFileCase{"MissingCertificate", "orvo.crt", true, "Could not load certificate."},
        BadFileCase{"GarbageCertificate", "orvo.crt", false, "Could not load certificate."},
        BadFileCase{"MissingKey", "orvo.key", true, "Could not load key, check password."},
        BadFileCase{"GarbageKey", "orvo.key", false, "Could not load key, check password."}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

TEST_F(LoopbackTlsTestTest, SecondCallAfterAFailedStartBuildsItsServerAnew) {
  TLoopbackFiles::Write(DataPath(), Server());
  test::writeKey(fData / "orvo.key", OtherKey(), KeyFormat::PemPkcs8);
  std::vector<std::string> first;
  EXPECT_FALSE(Verify(first));
  EXPECT_EQ(first.size(), 1U);

  // Another failure reports only its own lines ...
  TLoopbackFiles::Write(DataPath(), Server());
  std::filesystem::remove(fData / "root.pem");
  std::vector<std::string> second;
  EXPECT_FALSE(Verify(second));
  ASSERT_EQ(second.size(), 1U);
  EXPECT_TRUE(StartsWith(second[0], "Error starting Server: Could not load root certificate."));

  // ... and good files succeed with the same object.
  TLoopbackFiles::Write(DataPath(), Server());
  std::vector<std::string> third;
  EXPECT_TRUE(Verify(third));
  EXPECT_TRUE(third.empty()) << third.front();
}

struct KeyCase {
  const char* name;
  KeyFormat format;
  const char* password;
  bool connects;
};

class LoopbackKeyFormatTest : public LoopbackTlsTestTest,
                              public ::testing::WithParamInterface<KeyCase> {};

TEST_P(LoopbackKeyFormatTest, KeyIsReadWithTheFixedPassphrase) {
  const KeyCase& c = GetParam();
  TLoopbackFiles::Write(DataPath(), Server(), c.format, c.password);
  std::vector<std::string> reasons;
  EXPECT_EQ(Verify(reasons), c.connects);
  if (c.connects) {
    EXPECT_TRUE(reasons.empty()) << reasons.front();
  } else {
    ASSERT_FALSE(reasons.empty());
    EXPECT_TRUE(
        StartsWith(reasons[0], "Error starting Server: Could not load key, check password."))
        << reasons[0];
  }
  ExpectStagedFilesGone();
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LoopbackKeyFormatTest,
    ::testing::Values(KeyCase{"PemRsa", KeyFormat::PemRsa, "", true},
                      KeyCase{"RsaEncryptedWithKqzv", KeyFormat::PemRsaEncrypted, "kqzv", true},
                      KeyCase{"Pkcs8EncryptedWithKqzv", KeyFormat::PemPkcs8Encrypted, "kqzv", true},
                      KeyCase{"Pkcs8EncryptedOtherwise", KeyFormat::PemPkcs8Encrypted, "secret",
                              false},
                      KeyCase{"DerIsNoPem", KeyFormat::DerPkcs8, "", false}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

struct KeyTypeCase {
  const char* name;
  test::KeyType type;
  KeyFormat format; // as the key step writes orvo.key for the type
};

class LoopbackKeyTypeTest : public LoopbackTlsTestTest,
                            public ::testing::WithParamInterface<KeyTypeCase> {};

TEST_P(LoopbackKeyTypeTest, CertificateAndKeyOfTheTypeConnect) {
  test::CertSpec certSpec;
  certSpec.keyType = GetParam().type;
  TLoopbackFiles::Write(DataPath(), TestPki::instance().issue(certSpec), GetParam().format);
  std::vector<std::string> reasons;
  EXPECT_TRUE(Verify(reasons));
  EXPECT_TRUE(reasons.empty()) << reasons.front();
  ExpectStagedFilesGone();
}

INSTANTIATE_TEST_SUITE_P(
    KeyTypes, LoopbackKeyTypeTest,
    ::testing::Values(KeyTypeCase{"RsaPss", test::KeyType::RsaPss, KeyFormat::PemPkcs8},
                      KeyTypeCase{"EcP256", test::KeyType::EcP256, KeyFormat::PemPkcs8},
                      KeyTypeCase{"EcP256Sec1", test::KeyType::EcP256, KeyFormat::PemSec1},
                      KeyTypeCase{"EcP384", test::KeyType::EcP384, KeyFormat::PemPkcs8},
                      KeyTypeCase{"EcP521", test::KeyType::EcP521, KeyFormat::PemPkcs8},
                      KeyTypeCase{"Ed25519", test::KeyType::Ed25519, KeyFormat::PemPkcs8},
                      KeyTypeCase{"Ed448", test::KeyType::Ed448, KeyFormat::PemPkcs8}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

TEST_F(LoopbackTlsTestTest, DhParametersBesideTheProgramAreUsed) {
  // Parameters from a fixed, well-known group keep the test fast.
  std::filesystem::create_directories(fProgram / "cert");
  test::writeFile(fProgram / "cert" / "dh.pem",
                  "-----BEGIN DH PARAMETERS-----\n"
                  "MIIBCAKCAQEA//////////+t+FRYortKmq/cViAnPTzx2LnFg84tNpWp4TZBFGQz\n"
                  "+8yTnc4kmz75fS/jY2MMddj2gbICrsRhetPfHtXV/WVhJDP1H18GbtCFY2VVPe0a\n"
                  "87VXE15/V8k1mE8McODmi3fipona8+/och3xWKE2rec1MKzKT0g6eXq8CrGCsyT7\n"
                  "YdEIqUuyyOP7uWrat2DX9GgdT0Kj3jlN9K5W7edjcrsZCwenyO4KbXCeAvzhzffi\n"
                  "7MA0BM0oNC9hkXL+nOmFg/+OTxIy7vKBg8P+OxtMb61zO7X8vC7CIAXFjvGDfRaD\n"
                  "ssbzSibBsu/6iGtCOGEoXJf//////////wIBAg==\n"
                  "-----END DH PARAMETERS-----\n");
  TLoopbackFiles::Write(DataPath(), Server());
  std::vector<std::string> reasons;
  EXPECT_TRUE(Verify(reasons));
  EXPECT_TRUE(reasons.empty()) << reasons.front();
  EXPECT_NE(OpenSSLBinding().DhParameters(TTLSContext::DhParameterFile(fProgram.path())), nullptr);
}

TEST(DhParameterFileTest, SixtyFourBitFolderLooksOneLevelUp) {
  EXPECT_EQ(TTLSContext::DhParameterFile("/opt/orvo/bin"), "/opt/orvo/bin/cert/dh.pem");
  EXPECT_EQ(TTLSContext::DhParameterFile("/opt/orvo/64 bit"), "/opt/orvo/64 bit/../cert/dh.pem");
}

} // namespace
} // namespace orvo
