// The PKCS#12 loader with an empty and a non-empty passphrase, and the key and
// chain of whatever loads.
#include "FuzzInput.h"

#include "certs/CkToolkit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const orvo::fuzz::MemoryFile file(data, size);
  for (const char* password : {"", "fuzz"}) {
    orvo::ck::CkCert cert;
    if (!cert.LoadPfxFile(file.path(), password)) {
      continue;
    }
    if (const auto key = cert.ExportPrivateKey()) {
      (void)key->_getXml();
    }
    if (const auto chain = cert.GetCertChain()) {
      (void)chain->getReachesRoot();
    }
    (void)cert._serialNumber();
  }
  return 0;
}
