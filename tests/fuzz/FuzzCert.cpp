// Certificate loaders (PEM, DER, PKCS#7, bundles, pasted text) and the facts
// and texts of whatever loads. Revocation is left out: it would go to the
// network addresses that the input names.
#include "FuzzInput.h"

#include "certs/CkToolkit.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const orvo::fuzz::MemoryFile file(data, size);
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (int how = 0; how < 3; ++how) {
    orvo::ck::CkCert cert;
    const bool loaded = how == 0   ? cert.LoadFromFile(file.path())
                        : how == 1 ? cert.LoadFromBase64(text)
                                   : cert.LoadFromDer(text);
    if (!loaded) {
      continue;
    }
    (void)cert._subjectDN();
    (void)cert._subjectCN();
    (void)cert._issuerO();
    (void)cert._rfc822Name();
    (void)cert._serialNumber();
    (void)cert._validToStr();
    (void)cert._exportCertPem();
    (void)cert.getSelfSigned();
    (void)cert.getIsRoot();
    (void)cert.getForServerAuthentication();
    (void)cert.getExpired();
    (void)cert.VerifySignature();
    if (const auto chain = cert.GetCertChain()) {
      (void)chain->VerifyCertSignatures();
      (void)chain->getNumExpiredCerts();
    }
    if (const auto pub = cert.ExportPublicKey()) {
      orvo::ck::CkRsa rsa;
      if (rsa.ImportPublicKey(pub->_getXml())) {
        (void)rsa._encryptStringENC("fuzz", false);
      }
    }
  }
  return 0;
}
