// The test PKI makes what it promises: a chain that OpenSSL verifies, the
// variants' validity and usage, and files that OpenSSL reads back.
#include "support/TestPki.h"

#include "certs/OpenSslPtr.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/provider.h>

#include <fstream>
#include <sstream>

using namespace orvo::test;
using namespace orvo::ssl;

namespace {

std::string slurp(const Path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

BIOPtr fileBio(const Path& p) {
  return BIOPtr(BIO_new_file(p.c_str(), "rb"));
}

int verify(const TestCert& leaf, const std::vector<TestCert>& untrusted, const TestCert& anchor) {
  X509_STOREPtr store(X509_STORE_new());
  X509_STORE_add_cert(store.get(), anchor.x509());
  X509StackRefPtr chain(sk_X509_new_null());
  for (const auto& c : untrusted) {
    sk_X509_push(chain.get(), c.x509());
  }
  X509_STORE_CTXPtr ctx(X509_STORE_CTX_new());
  X509_STORE_CTX_init(ctx.get(), store.get(), leaf.x509(), chain.get());
  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
  X509_verify_cert(ctx.get());
  return X509_STORE_CTX_get_error(ctx.get());
}

} // namespace

TEST(TestPki, ServerChainVerifiesUpToTheRoot) {
  auto& pki = TestPki::instance();
  const TestCert server = pki.server();
  EXPECT_EQ(verify(server, {pki.intermediate()}, pki.root()), X509_V_OK);
  EXPECT_EQ(X509_check_host(server.x509(), "server.test.local", 0, 0, nullptr), 1);
  EXPECT_EQ(pki.rsaKey(2048).get(), server.pkey()); // the cached key is reused
}

TEST(TestPki, VariantsHaveTheirFaults) {
  auto& pki = TestPki::instance();
  CertSpec expired;
  expired.notBefore = -days(30);
  expired.notAfter = -days(1);
  EXPECT_EQ(verify(pki.issue(expired), {pki.intermediate()}, pki.root()),
            X509_V_ERR_CERT_HAS_EXPIRED);

  CertSpec future;
  future.notBefore = days(1);
  EXPECT_EQ(verify(pki.issue(future), {pki.intermediate()}, pki.root()),
            X509_V_ERR_CERT_NOT_YET_VALID);

  CertSpec client;
  client.usage = Usage::Client;
  EXPECT_EQ(verify(pki.issue(client), {pki.intermediate()}, pki.root()),
            X509_V_ERR_INVALID_PURPOSE);

  CertSpec small;
  small.keyBits = 1023;
  EXPECT_EQ(EVP_PKEY_get_bits(pki.issue(small).pkey()), 1023);

  const TestCert self = pki.selfSigned(CertSpec{});
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(self.x509()), X509_get_issuer_name(self.x509())),
            0);
  EXPECT_EQ(X509_verify(self.x509(), self.pkey()), 1);
}

TEST(TestPki, FilesReadBackWithOpenSsl) {
  auto& pki = TestPki::instance();
  const TestCert server = pki.server();
  TempDir dir;

  writeCertsPem(dir / "fullchain.pem", {server, pki.intermediate()});
  EXPECT_NE(slurp(dir / "fullchain.pem").find("BEGIN CERTIFICATE"), std::string::npos);

  writeCertDer(dir / "c.der", server);
  EXPECT_NE(X509Ptr(d2i_X509_bio(fileBio(dir / "c.der").get(), nullptr)), nullptr);

  writePkcs7(dir / "c.p7b", {server, pki.intermediate()});
  PKCS7Ptr p7(d2i_PKCS7_bio(fileBio(dir / "c.p7b").get(), nullptr));
  ASSERT_NE(p7, nullptr);
  EXPECT_EQ(sk_X509_num(p7->d.sign->cert), 2);

  writePfx(dir / "c.pfx", server, "secret", {.chain = {pki.intermediate()}});
  PKCS12Ptr p12(d2i_PKCS12_bio(fileBio(dir / "c.pfx").get(), nullptr));
  ASSERT_NE(p12, nullptr);
  EXPECT_EQ(PKCS12_verify_mac(p12.get(), "secret", -1), 1);
  EXPECT_EQ(PKCS12_verify_mac(p12.get(), "wrong", -1), 0);

  writePfx(dir / "legacy.pfx", server, "secret", {.cipher = PfxCipher::LegacyRc2});
  EXPECT_GT(std::filesystem::file_size(dir / "legacy.pfx"), 0u);

  const std::string encrypted = keyText(server.pkey(), KeyFormat::PemRsaEncrypted, "pw");
  EXPECT_NE(encrypted.find("Proc-Type: 4,ENCRYPTED"), std::string::npos);
  EXPECT_NE(keyText(server.pkey(), KeyFormat::PemRsa).find("BEGIN RSA PRIVATE KEY"),
            std::string::npos);
  EXPECT_NE(keyText(server.pkey(), KeyFormat::PemPkcs8Encrypted, "pw")
                .find("BEGIN ENCRYPTED PRIVATE KEY"),
            std::string::npos);
  EXPECT_FALSE(keyText(server.pkey(), KeyFormat::Pvk, "pw").empty());

  auto crl = pki.crl(pki.intermediate(), {server});
  writeCrlPem(dir / "crl.pem", crl.get());
  EXPECT_NE(slurp(dir / "crl.pem").find("BEGIN X509 CRL"), std::string::npos);
  ERR_clear_error();
}

TEST(TestPki, EveryKeyTypeMakesAVerifyingServerCertificate) {
  auto& pki = TestPki::instance();
  for (const KeyType type :
       {KeyType::RsaPss, KeyType::EcP256, KeyType::EcP384, KeyType::EcP521, KeyType::EcSecp256k1,
        KeyType::Ed25519, KeyType::Ed448, KeyType::Dsa}) {
    CertSpec certSpec;
    certSpec.keyType = type;
    const TestCert leaf = pki.issue(certSpec);
    EXPECT_EQ(verify(leaf, {pki.intermediate()}, pki.root()), X509_V_OK) << static_cast<int>(type);
    EXPECT_EQ(X509_check_private_key(leaf.x509(), leaf.pkey()), 1) << static_cast<int>(type);
    EXPECT_EQ(pki.key(type), leaf.key) << "keys are cached";
  }
  // An Ed25519 CA signs without a digest.
  CertSpec caSpec;
  caSpec.commonName = "Orvo Test Ed25519 CA";
  caSpec.usage = Usage::Ca;
  caSpec.keyType = KeyType::Ed25519;
  caSpec.keySlot = 3;
  const TestCert ca = pki.issue(caSpec, pki.root());
  CertSpec leafSpec;
  leafSpec.keyType = KeyType::Ed25519;
  EXPECT_EQ(verify(pki.issue(leafSpec, ca), {ca, pki.intermediate()}, pki.root()), X509_V_OK);
  ERR_clear_error();
}

TEST(TestPki, EcKeysHaveTheirTraditionalAndLegacyForms) {
  EVP_PKEY* ec = TestPki::instance().key(KeyType::EcP256).get();
  EXPECT_NE(keyText(ec, KeyFormat::PemSec1).find("BEGIN EC PRIVATE KEY"), std::string::npos);
  const std::string des = keyText(ec, KeyFormat::PemDesEncrypted, "pw");
  EXPECT_NE(des.find("DEK-Info: DES-CBC,"), std::string::npos) << des;
  EXPECT_NE(keyText(ec, KeyFormat::PemDes3Encrypted, "pw").find("DEK-Info: DES-EDE3-CBC,"),
            std::string::npos);
  EXPECT_NE(keyText(ec, KeyFormat::PemPkcs8Pbes1, "pw").find("BEGIN ENCRYPTED PRIVATE KEY"),
            std::string::npos);
  const std::string der = keyText(ec, KeyFormat::DerSec1);
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  EXPECT_NE(EVP_PKEYPtr(d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(der.size()))),
            nullptr);
  ERR_clear_error();
}
