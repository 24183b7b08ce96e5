// Cross-checks with real peers: the openssl command-line tool's s_client
// against the loopback listener, and the loopback client against s_server
// serving the same files. Each child process is bounded and killed by the
// test. Binds 127.0.0.1:51203 (ctest RESOURCE_LOCK port51203).

#include "tls/ChildProcess.h"
#include "tls/LoopbackFiles.h"
#include "tls/LoopbackTlsServer.h"
#include "tls/LoopbackTlsTest.h"
#include "tls/PortLock.h"
#include "tls/TlsError.h"

#include <gtest/gtest.h>

#include <chrono>

namespace orvo {
namespace {

using namespace std::chrono_literals;

constexpr TLoopbackEndpoint kEndpoint{"127.0.0.1", TLoopbackTlsTest::kPort};

struct ProtocolCase {
  const char* name;
  const char* option;   // the openssl tool's protocol switch
  const char* expected; // the protocol it reports
  test::KeyType keyType = test::KeyType::Rsa;
};

class OpenSSLPeerTest : public ::testing::TestWithParam<ProtocolCase> {
protected:
  void SetUp() override {
    fOpenssl = test::FindProgram("openssl");
    if (fOpenssl.empty()) {
      GTEST_SKIP() << "no openssl tool on PATH";
    }
    test::CertSpec certSpec;
    certSpec.keyType = GetParam().keyType;
    test::TLoopbackFiles::Write(DataPath(), test::TestPki::instance().issue(certSpec));
  }
  std::string DataPath() const { return fData.path().string() + "/"; }
  static void LoopbackOptions(TLSOptions& aOptions) {
    aOptions.SetSSLVersions({TSSLVersion::sslvTLSv1_2, TSSLVersion::sslvTLSv1_3});
  }

  test::TPortLock fPortLock;
  std::string fOpenssl;
  test::TempDir fData;
  test::TempDir fProgram;
};

TEST_P(OpenSSLPeerTest, SClientCompletesAHandshakeWithTheListener) {
  TLoopbackTlsServer server(OpenSSLBinding(), kEndpoint, fProgram.path());
  LoopbackOptions(server.Options());
  server.Options().RootCertFile = DataPath() + "root.pem";
  server.Options().CertFile = DataPath() + "orvo.crt";
  server.Options().KeyFile = DataPath() + "orvo.key";
  server.Start();

  test::TChildProcess client({fOpenssl, "s_client", "-connect", "127.0.0.1:51203", "-brief",
                              GetParam().option, "-CAfile", DataPath() + "root.pem",
                              "-verify_return_error"});
  const int status = client.Wait(10s);
  server.Stop();
  EXPECT_EQ(status, 0) << client.Output();
  EXPECT_NE(client.Output().find("CONNECTION ESTABLISHED"), std::string::npos) << client.Output();
  EXPECT_NE(client.Output().find(std::string("Protocol version: ") + GetParam().expected),
            std::string::npos)
      << client.Output();
  EXPECT_NE(client.Output().find("Verification: OK"), std::string::npos)
      << "the listener must send the chain from root.pem: " << client.Output();
  EXPECT_EQ(server.CompletedHandshakes(), 1);
}

TEST_P(OpenSSLPeerTest, ClientCompletesAHandshakeWithSServer) {
  test::TChildProcess server({fOpenssl, "s_server", "-accept", "127.0.0.1:51203", "-cert",
                              DataPath() + "orvo.crt", "-key", DataPath() + "orvo.key",
                              "-cert_chain", DataPath() + "root.pem", GetParam().option, "-naccept",
                              "1"});
  ASSERT_TRUE(server.WaitForOutput("ACCEPT", 10s)) << server.Output();

  TLoopbackTlsClient client(OpenSSLBinding(), kEndpoint, fProgram.path());
  LoopbackOptions(client.Options());
  try {
    client.Connect();
  } catch (const ETLSError& e) {
    ADD_FAILURE() << e.what() << "\n" << server.Output();
  }
  EXPECT_TRUE(client.Connected());
  client.Disconnect();
  EXPECT_TRUE(server.WaitForOutput("CIPHER is ", 10s)) << server.Output();
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, OpenSSLPeerTest,
    ::testing::Values(ProtocolCase{"Tls12", "-tls1_2", "TLSv1.2"},
                      ProtocolCase{"Tls13", "-tls1_3", "TLSv1.3"},
                      ProtocolCase{"EcP256Tls12", "-tls1_2", "TLSv1.2", test::KeyType::EcP256},
                      ProtocolCase{"EcP256Tls13", "-tls1_3", "TLSv1.3", test::KeyType::EcP256},
                      ProtocolCase{"EcP384Tls12", "-tls1_2", "TLSv1.2", test::KeyType::EcP384},
                      ProtocolCase{"EcP521Tls12", "-tls1_2", "TLSv1.2", test::KeyType::EcP521},
                      ProtocolCase{"RsaPssTls13", "-tls1_3", "TLSv1.3", test::KeyType::RsaPss},
                      ProtocolCase{"Ed25519Tls13", "-tls1_3", "TLSv1.3", test::KeyType::Ed25519}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

} // namespace
} // namespace orvo
