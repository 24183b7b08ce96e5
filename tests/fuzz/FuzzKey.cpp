// Private-key loaders of every format, with and without a passphrase, and the
// XML key form and RSA object of whatever loads.
#include "FuzzInput.h"

#include "certs/CkToolkit.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const orvo::fuzz::MemoryFile file(data, size);
  const std::string path = file.path();
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (int how = 0; how < 8; ++how) {
    orvo::ck::CkPrivateKey key;
    bool loaded = false;
    switch (how) {
    case 0:
      loaded = key.LoadPemFile(path);
      break;
    case 1:
      loaded = key.LoadPkcs8File(path);
      break;
    case 2:
      loaded = key.LoadRsaDerFile(path);
      break;
    case 3:
      loaded = key.LoadEncryptedPemFile(path, "fuzz");
      break;
    case 4:
      loaded = key.LoadPkcs8EncryptedFile(path, "fuzz");
      break;
    case 5:
      loaded = key.LoadPvkFile(path, "fuzz");
      break;
    case 6:
      loaded = key.LoadPem(text);
      break;
    default:
      loaded = key.LoadEncryptedPem(text, "");
      break;
    }
    if (!loaded) {
      continue;
    }
    orvo::ck::CkRsa rsa;
    if (rsa.ImportPrivateKey(key._getXml())) {
      (void)rsa._decryptStringENC(rsa._encryptStringENC("fuzz", false), true);
    }
    (void)key._getRsaPem();
  }
  return 0;
}
