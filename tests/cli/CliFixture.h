#pragma once
// What the command line's tests share: a temporary server installation with
// old certificate files, a registry file naming it, an empty machine store,
// the test root as the machine's trust anchor, and an ACME client's live
// folder.

#include "support/TestPki.h"
#include "tls/PortLock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace orvo::test {

class CliFixture : public ::testing::Test {
protected:
  CliFixture() {
    namespace fs = std::filesystem;
    server = tmp / "orvo-server";
    fs::create_directories(server / "cert");
    writeFile(server / "cert" / "orvo.crt", "old certificate\r\n");
    writeFile(server / "cert" / "root.pem", "old chain\r\n");
    writeFile(server / "cert" / "orvo.key", "old key\r\n");
    std::ofstream reg(tmp / "hklm.reg");
    reg << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\r\n"
        << "\"Exepath\"=\"" << server.string() << "\"\r\n";
    fs::create_directories(tmp / "machine-store");
    writeCertPem(tmp / "trust.pem", pki.root());
  }

  // certbot's live folder: cert.pem, chain.pem, fullchain.pem, privkey.pem.
  Path LiveFolder(const TestCert& aLeaf) {
    const Path live = tmp / "letsencrypt" / "live" / "cli.test.local";
    std::filesystem::create_directories(live);
    writeCertPem(live / "cert.pem", aLeaf);
    writeCertsPem(live / "chain.pem", {pki.intermediate()});
    writeCertsPem(live / "fullchain.pem", {aLeaf, pki.intermediate()});
    writeKey(live / "privkey.pem", aLeaf, KeyFormat::PemPkcs8);
    return live;
  }

  static std::string ReadAll(const Path& aFile) {
    std::ifstream in(aFile, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  int Backups() const {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(server / "cert")) {
      count += entry.path().filename().string().rfind("Backup_", 0) == 0 ? 1 : 0;
    }
    return count;
  }

  TPortLock portLock; // the TLS test uses the fixed port
  TestPki& pki = TestPki::instance();
  TempDir tmp;
  Path server;
  TestCert leaf = pki.server("cli.test.local");
};

} // namespace orvo::test
