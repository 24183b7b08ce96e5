// The local machine store: the server certificates of the system's
// certificate folders (CA certificates in them are left out), with the
// private key attached where a key that pairs with a certificate lies beside
// it or in the matching private folder (../private).
//
// Note to maintainers: a stock CA folder holds about 150 certificates behind
// twice as many links plus a bundle of all of them, and the store is read
// when the wizard starts. So every file is identified by device and inode and
// read once however many links lead to it, PEM blocks are only base64-decoded
// (not parsed), CA certificates are recognised by a DER walk without parsing
// them, certificates are
// compared by their DER bytes so that bundles add nothing twice, and public
// keys are compared only when some folder actually holds key files.

#include "certs/StoreSources.h"

#include "certs/CkData.h"
#include "certs/OpenSslPtr.h"
#include "certs/SslSupport.h"

#include "files/BoundedRead.h"
#include "files/UniqueFd.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace orvo::ck {

namespace {

namespace fs = std::filesystem;

using BioPtr = ssl::BIOPtr;
using X509Ptr = ssl::X509Ptr;
using PkeyPtr = ssl::EVP_PKEYPtr;

// Files larger than this are no certificate or key files; they are skipped
// unread.
constexpr off_t kMaxFileSize = 8 * 1024 * 1024;

struct FoundCert {
  std::string der;
  std::set<std::string> stems;   // file names without extension it came from
  std::set<std::string> folders; // canonical folders it was found in
};

struct FoundKey {
  // Parsed once: every certificate that pairs with it gets a reference, since
  // parsing a key again per certificate costs more than the whole rest of a
  // certificate's reading.
  PkeyPtr key;
  std::string folder; // canonical folder of the key file
};

// Everything the folders hold, in the store's order.
struct Harvest {
  std::vector<FoundCert> certs;
  std::unordered_map<std::string, std::size_t> certByDer;
  // Public key (SubjectPublicKeyInfo DER) -> keys with it.
  std::unordered_map<std::string, std::vector<FoundKey>> keysByPublic;
  // Key files that exist but cannot be read (permissions, passphrase): stem
  // -> canonical folders. They pair with a certificate by name only.
  std::unordered_map<std::string, std::set<std::string>> lockedKeys;
  std::set<std::pair<dev_t, ino_t>> filesSeen;
  bool anyKeys() const { return !keysByPublic.empty() || !lockedKeys.empty(); }
};

std::vector<std::string> Split(std::string_view aText, char aSeparator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= aText.size()) {
    const std::size_t end = std::min(aText.find(aSeparator, start), aText.size());
    if (end > start) {
      parts.emplace_back(aText.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

std::vector<std::string> SortedSubfolders(const std::string& aFolder) {
  std::vector<std::string> folders;
  std::error_code ec;
  for (fs::directory_iterator it(aFolder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError)) {
      folders.push_back(it->path().string());
    }
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

std::vector<std::string> StoreFolders() {
  if (const char* configured = std::getenv("ORVO_MACHINE_STORE")) {
    return Split(configured, ':');
  }
  std::vector<std::string> folders = {"/etc/ssl/certs", "/etc/pki/tls/certs"};
  for (std::string& live : SortedSubfolders("/etc/letsencrypt/live")) {
    folders.push_back(std::move(live));
  }
  return folders;
}

std::string Canonical(const std::string& aFolder) {
  std::error_code ec;
  const fs::path canonical = fs::canonical(aFolder, ec);
  return ec ? aFolder : canonical.string();
}

// The names of a folder's entries, sorted; nullopt when it cannot be listed.
std::optional<std::vector<std::string>> SortedNames(const std::string& aFolder) {
  std::error_code ec;
  fs::directory_iterator it(aFolder, ec);
  if (ec) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!name.starts_with('.')) {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

enum class ReadResult { Ok, Skip, Denied };

// Reads a plain file once per device and inode; links to a file already read
// are skipped.
ReadResult ReadOnce(const std::string& aPath, Harvest& aHarvest, std::string& aContent) {
  // Opened non-blocking: a FIFO among the certificates must not wait for a writer.
  const files::UniqueFd fd(::open(aPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.Valid()) {
    return errno == EACCES ? ReadResult::Denied : ReadResult::Skip;
  }
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return ReadResult::Skip;
  }
  if (!aHarvest.filesSeen.insert({info.st_dev, info.st_ino}).second) {
    return ReadResult::Skip;
  }
  const files::ReadOptions capped{static_cast<std::size_t>(kMaxFileSize), files::Links::Follow};
  return files::ReadOpenFile(fd.Get(), aPath, aContent, capped).Ok() ? ReadResult::Ok
                                                                     : ReadResult::Skip;
}

std::string Stem(const std::string& aName) {
  return fs::path(aName).stem().string();
}

void AddCert(std::string aDer, const std::string& aStem, const std::string& aFolder,
             Harvest& aHarvest) {
  auto [it, isNew] = aHarvest.certByDer.try_emplace(aDer, aHarvest.certs.size());
  if (isNew) {
    aHarvest.certs.push_back(FoundCert{std::move(aDer), {}, {}});
  }
  FoundCert& cert = aHarvest.certs[it->second];
  cert.stems.insert(aStem);
  cert.folders.insert(aFolder);
}

std::string PublicKeyDer(EVP_PKEY* aKey) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(aKey, &der);
  if (len <= 0) {
    return {};
  }
  const ssl::OpensslBytes owned(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
}

void AddKey(PkeyPtr aKey, const std::string& aFolder, Harvest& aHarvest) {
  std::string publicDer = PublicKeyDer(aKey.get());
  if (!publicDer.empty()) {
    aHarvest.keysByPublic[std::move(publicDer)].push_back(FoundKey{std::move(aKey), aFolder});
  }
}

// A key handle of its own that shares the parsed key.
std::unique_ptr<CkPrivateKey> KeyHandle(const FoundKey& aKey) {
  if (EVP_PKEY_up_ref(aKey.key.get()) != 1) {
    return nullptr;
  }
  auto handle = std::make_unique<CkPrivateKey>();
  handle->data().key = PkeyPtr(aKey.key.get());
  return handle;
}

PkeyPtr ParsePrivateKeyDer(const unsigned char* aData, long aLen) {
  const unsigned char* p = aData;
  return PkeyPtr(d2i_AutoPrivateKey(nullptr, &p, aLen));
}

// Collects the certificates (when `aTakeCerts`) and the private keys of one
// file's PEM blocks. Blocks are only decoded here; keys are parsed, since
// their public half is needed for pairing.
void HarvestPem(const std::string& aContent, const std::string& aStem, const std::string& aFolder,
                bool aTakeCerts, Harvest& aHarvest) {
  const BioPtr bio = detail::readOnlyBio(aContent);
  detail::forEachPemBlock(bio.get(), [&](const detail::PemBlock& block) {
    const std::string_view kind = block.name;
    if (kind == "CERTIFICATE" || kind == "X509 CERTIFICATE") {
      if (aTakeCerts) {
        AddCert(std::string(reinterpret_cast<const char*>(block.data),
                            static_cast<std::size_t>(block.len)),
                aStem, aFolder, aHarvest);
      }
    } else if (kind == "ENCRYPTED PRIVATE KEY" ||
               (kind.ends_with("PRIVATE KEY") &&
                block.header.find("ENCRYPTED") != std::string_view::npos)) {
      aHarvest.lockedKeys[aStem].insert(aFolder);
    } else if (kind.ends_with("PRIVATE KEY")) {
      if (PkeyPtr key = ParsePrivateKeyDer(block.data, block.len)) {
        AddKey(std::move(key), aFolder, aHarvest);
      }
    }
    return true;
  });
}

// A file without PEM blocks may be one DER certificate or DER key.
void HarvestDer(const std::string& aContent, const std::string& aStem, const std::string& aFolder,
                bool aTakeCerts, Harvest& aHarvest) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(aContent.data());
  const auto len = static_cast<long>(aContent.size());
  const unsigned char* p = bytes;
  if (const X509Ptr cert(d2i_X509(nullptr, &p, len)); cert) {
    if (aTakeCerts) {
      AddCert(aContent.substr(0, static_cast<std::size_t>(p - bytes)), aStem, aFolder, aHarvest);
    }
    return;
  }
  if (PkeyPtr key = ParsePrivateKeyDer(bytes, len)) {
    AddKey(std::move(key), aFolder, aHarvest);
  }
}

// ---- Telling CA certificates apart without parsing them -------------------
//
// Parsing a certificate with OpenSSL 3 decodes its public key, which costs
// far more than everything else here; a CA folder would spend most of its
// time on certificates that are then left out. So the basic constraints are
// read with a small DER walker over the certificate's extensions.

struct Tlv {
  unsigned char tag = 0;
  std::string_view content;
  std::size_t size = 0; // header and content
};

// One DER element at the start of `aIn`; nullopt when it is malformed.
std::optional<Tlv> ReadTlv(std::string_view aIn) {
  if (aIn.size() < 2) {
    return std::nullopt;
  }
  const auto byte = [&aIn](std::size_t i) { return static_cast<unsigned char>(aIn[i]); };
  std::size_t header = 2;
  std::size_t length = byte(1);
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    if (count == 0 || count > 4 || aIn.size() < 2 + count) {
      return std::nullopt;
    }
    length = 0;
    for (std::size_t i = 0; i < count; ++i) {
      length = (length << 8) | byte(2 + i);
    }
    header += count;
  }
  if (length > aIn.size() - header) {
    return std::nullopt;
  }
  return Tlv{byte(0), aIn.substr(header, length), header + length};
}

// The elements of a constructed value, in order; stops at a malformed one.
std::vector<Tlv> Elements(std::string_view aContent) {
  std::vector<Tlv> out;
  while (!aContent.empty()) {
    const std::optional<Tlv> tlv = ReadTlv(aContent);
    if (!tlv) {
      break;
    }
    out.push_back(*tlv);
    aContent.remove_prefix(tlv->size);
  }
  return out;
}

// True when the certificate's basic constraints say it is a CA.
bool IsCaCertificate(std::string_view aDer) {
  constexpr unsigned char kSequence = 0x30;
  constexpr unsigned char kExtensionsTag = 0xA3;                   // [3] EXPLICIT in TBSCertificate
  constexpr std::string_view kBasicConstraints("\x55\x1D\x13", 3); // 2.5.29.19
  const std::optional<Tlv> cert = ReadTlv(aDer);
  const std::optional<Tlv> tbs = cert ? ReadTlv(cert->content) : std::nullopt;
  if (!cert || cert->tag != kSequence || !tbs || tbs->tag != kSequence) {
    return false;
  }
  for (const Tlv& field : Elements(tbs->content)) {
    if (field.tag != kExtensionsTag) {
      continue;
    }
    const std::optional<Tlv> list = ReadTlv(field.content);
    if (!list || list->tag != kSequence) {
      return false;
    }
    for (const Tlv& extension : Elements(list->content)) {
      const std::vector<Tlv> parts = Elements(extension.content);
      if (parts.size() < 2 || parts.front().tag != 0x06 ||
          parts.front().content != kBasicConstraints) {
        continue;
      }
      const Tlv& value = parts.back(); // OCTET STRING after the optional critical flag
      const std::optional<Tlv> constraints =
          value.tag == 0x04 ? ReadTlv(value.content) : std::nullopt;
      if (!constraints || constraints->tag != kSequence) {
        return false;
      }
      const std::vector<Tlv> members = Elements(constraints->content);
      // cA BOOLEAN DEFAULT FALSE comes first when present.
      return !members.empty() && members.front().tag == 0x01 &&
             members.front().content.size() == 1 && members.front().content[0] != 0;
    }
  }
  return false;
}

// Reads one folder's files. Certificates are taken only from the store's own
// folders, keys from those and from their private folders. False when the
// folder cannot be listed.
bool HarvestFolder(const std::string& aFolder, bool aTakeCerts, Harvest& aHarvest) {
  const std::optional<std::vector<std::string>> names = SortedNames(aFolder);
  if (!names) {
    return false;
  }
  const std::string canonical = Canonical(aFolder);
  std::string content;
  for (const std::string& name : *names) {
    const std::string path = aFolder + "/" + name;
    const ReadResult result = ReadOnce(path, aHarvest, content);
    // A file we may not read is taken for a key only where keys are kept:
    // in a private folder, or named as a key file.
    if (result == ReadResult::Denied && (!aTakeCerts || fs::path(name).extension() == ".key")) {
      aHarvest.lockedKeys[Stem(name)].insert(canonical);
    }
    if (result != ReadResult::Ok) {
      continue;
    }
    if (content.find("-----BEGIN ") != std::string::npos) {
      HarvestPem(content, Stem(name), canonical, aTakeCerts, aHarvest);
    } else {
      HarvestDer(content, Stem(name), canonical, aTakeCerts, aHarvest);
    }
  }
  ERR_clear_error(); // the readers leave end-of-data and parse errors behind
  return true;
}

// The folders a certificate's key may lie in: its own folders and their
// private folders.
std::set<std::string> KeyFolders(const FoundCert& aCert) {
  std::set<std::string> folders = aCert.folders;
  for (const std::string& folder : aCert.folders) {
    folders.insert(Canonical(folder + "/../private"));
  }
  return folders;
}

// The loaded certificate's public key, without parsing its DER again.
std::string CertPublicKeyDer(const CkCert& aCert) {
  EVP_PKEY* publicKey = aCert.data().cert ? X509_get0_pubkey(aCert.data().cert.get()) : nullptr;
  return publicKey != nullptr ? PublicKeyDer(publicKey) : std::string();
}

// Attaches the key that pairs with the certificate, if one lies where its key
// may: readable keys by their public half, unreadable key files by name (they
// count as present but not exportable).
void AttachKey(const FoundCert& aFound, const Harvest& aHarvest, CkCert& aCert) {
  const std::set<std::string> keyFolders = KeyFolders(aFound);
  if (const auto keys = aHarvest.keysByPublic.find(CertPublicKeyDer(aCert));
      keys != aHarvest.keysByPublic.end()) {
    for (const FoundKey& key : keys->second) {
      if (keyFolders.contains(key.folder)) {
        if (auto handle = KeyHandle(key)) {
          aCert.AttachPrivateKey(std::move(handle), true);
        } else {
          aCert.AttachPrivateKey(nullptr, false);
        }
        return;
      }
    }
  }
  for (const std::string& stem : aFound.stems) {
    const auto locked = aHarvest.lockedKeys.find(stem);
    if (locked == aHarvest.lockedKeys.end()) {
      continue;
    }
    for (const std::string& folder : locked->second) {
      if (keyFolders.contains(folder)) {
        aCert.AttachPrivateKey(nullptr, false);
        return;
      }
    }
  }
}

bool Shares(const std::set<std::string>& aOne, const std::set<std::string>& aOther) {
  return std::any_of(aOne.begin(), aOne.end(),
                     [&aOther](const std::string& aItem) { return aOther.contains(aItem); });
}

// The CA certificates that an ACME client leaves with a server certificate:
// those of a file that also holds it (fullchain.pem) and those of a
// chain.pem beside it. They build its chain, which root.pem is made of. CA
// certificates elsewhere in the folders (the system's trust folder) are not
// parsed here; the chain walk finds trusted roots on its own.
std::vector<X509Ptr> ChainCompanions(const FoundCert& aCert,
                                     const std::vector<const FoundCert*>& aCaCerts) {
  std::vector<X509Ptr> companions;
  for (const FoundCert* ca : aCaCerts) {
    const bool sameFile = Shares(ca->stems, aCert.stems);
    if ((sameFile || ca->stems.contains("chain")) && Shares(ca->folders, aCert.folders)) {
      const auto* p = reinterpret_cast<const unsigned char*>(ca->der.data());
      if (X509Ptr parsed{d2i_X509(nullptr, &p, static_cast<long>(ca->der.size()))}) {
        companions.push_back(std::move(parsed));
      }
    }
  }
  return companions;
}

} // namespace

bool ReadMachineStore(CertList& out) {
  Harvest harvest;
  bool anyRead = false;
  std::set<std::string> privateFolders;
  for (const std::string& folder : StoreFolders()) {
    if (HarvestFolder(folder, true, harvest)) {
      anyRead = true;
      privateFolders.insert(Canonical(folder + "/../private"));
    }
  }
  for (const std::string& folder : privateFolders) {
    (void)HarvestFolder(folder, false, harvest);
  }

  std::vector<const FoundCert*> caCerts;
  std::vector<const FoundCert*> serverCerts;
  for (const FoundCert& found : harvest.certs) {
    // The store holds server certificates: the CA certificates that share
    // the system's folders are no candidates for the server's certificate.
    (IsCaCertificate(found.der) ? caCerts : serverCerts).push_back(&found);
  }
  for (const FoundCert* foundCert : serverCerts) {
    const FoundCert& found = *foundCert;
    auto cert = std::make_unique<CkCert>();
    if (!cert->LoadFromDer(found.der)) {
      continue;
    }
    cert->data().companions = ChainCompanions(found, caCerts);
    if (harvest.anyKeys()) {
      AttachKey(found, harvest, *cert);
    }
    out.push_back(std::move(cert));
  }
  ERR_clear_error();
  return anyRead;
}

} // namespace orvo::ck
