#pragma once
// The three files the verification step stages for the loopback test, made
// from the test PKI: orvo.crt (server certificate), root.pem (intermediate
// and root) and orvo.key.

#include "support/TestPki.h"

#include <string>

namespace orvo::test {

struct TLoopbackFiles {
  // aDataPath ends in '/'.
  static void Write(const std::string& aDataPath, const TestCert& aServer,
                    KeyFormat aKeyFormat = KeyFormat::PemPkcs8, const std::string& aPassword = "") {
    auto& pki = TestPki::instance();
    writeCertPem(aDataPath + "orvo.crt", aServer);
    writeCertsPem(aDataPath + "root.pem", {pki.intermediate(), pki.root()});
    writeKey(aDataPath + "orvo.key", aServer, aKeyFormat, aPassword);
  }
};

} // namespace orvo::test
