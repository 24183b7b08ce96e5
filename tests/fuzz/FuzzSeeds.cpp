// Writes a seed corpus for the fuzz targets: every certificate, key and
// PKCS#12 format the loaders read, made by the test PKI.
//   fuzz_seeds <folder>   writes <folder>/cert, <folder>/key, <folder>/pkcs12
#include "support/TestPki.h"

#include <cstdio>

using namespace orvo::test;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <folder>\n");
    return 2;
  }
  const Path root = argv[1];
  for (const char* sub : {"cert", "key", "pkcs12"}) {
    std::filesystem::create_directories(root / sub);
  }
  auto& pki = TestPki::instance();
  const TestCert server = pki.server();
  const TestCert intermediate = pki.intermediate();
  writeCertPem(root / "cert" / "server.pem", server);
  writeCertDer(root / "cert" / "server.der", server);
  writeCertsPem(root / "cert" / "fullchain.pem", {server, intermediate, pki.root()});
  writePkcs7(root / "cert" / "chain.p7b", {server, intermediate});
  writePkcs7(root / "cert" / "chain.p7c.pem", {server}, true);
  writeFile(root / "cert" / "base64.txt", certBase64Der(server));

  const struct {
    const char* name;
    KeyFormat format;
    const char* password;
  } keys[] = {{"rsa.pem", KeyFormat::PemRsa, ""},
              {"pkcs8.pem", KeyFormat::PemPkcs8, ""},
              {"pkcs8.der", KeyFormat::DerPkcs8, ""},
              {"rsa.der", KeyFormat::DerRsa, ""},
              {"rsa-enc.pem", KeyFormat::PemRsaEncrypted, "fuzz"},
              {"pkcs8-enc.pem", KeyFormat::PemPkcs8Encrypted, "fuzz"},
              {"pkcs8-enc.der", KeyFormat::DerPkcs8Encrypted, "fuzz"},
              {"key.pvk", KeyFormat::Pvk, "fuzz"}};
  for (const auto& k : keys) {
    writeKey(root / "key" / k.name, server, k.format, k.password);
  }
  writePfx(root / "pkcs12" / "modern.pfx", server, "fuzz", {.chain = {intermediate}});
  writePfx(root / "pkcs12" / "legacy.pfx", server, "", {.cipher = PfxCipher::LegacyRc2});
  writePfx(root / "pkcs12" / "3des.p12", server, "fuzz", {.cipher = PfxCipher::Legacy3Des});
  writePfx(root / "pkcs12" / "keyonly.pfx", server, "fuzz", {.withCert = false});
  return 0;
}
