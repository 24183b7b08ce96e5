// The current user's certificate store: the NSS shared database in which
// desktop browsers and tools keep the user's certificates and keys
// ($HOME/.pki/nssdb, sql: format; ORVO_USER_NSSDB names another folder).
//
// Note to maintainers: NSS keeps process-wide state. The database is opened
// through an NSS init context (not NSS_Initialize) so that another NSS user in
// the process keeps its own initialisation, and the context is shut down
// before the reader returns; every NSS object is released first, because NSS
// refuses to shut down while one is still held. The database is opened read
// only, without the module database (no PKCS#11 modules of the user's
// configuration are loaded) and without the built-in roots, so exactly the
// certificates stored in the database are listed. A password-protected
// database is never logged into: its certificates are public objects and are
// listed; its keys are private objects, counted as present through NSS's
// user-certificate mark, but not exported. NSS would ask for the password
// through the password callback, which is set to one that never answers.
//
// Keys leave NSS the way NSS allows sensitive keys out: as an encrypted
// PKCS#8 blob under a random one-time password, which OpenSSL decrypts.

#include "certs/StoreSources.h"

#include "certs/OpenSslPtr.h"

#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <secasn1.h>
#include <secmodt.h>
#include <secoid.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace orvo::ck {
namespace {

namespace fs = std::filesystem;

// Owning pointers for NSS objects, built like the OpenSSL ones.
template <typename T, void (*Free)(T*)> using Ptr = ssl::Ptr<T, Free>;

// NSS_ShutdownContext fails only while an NSS object is still held; every
// object below is released before the context (see ReadCurrentUserStore).
void shutdownContext(NSSInitContext* context) {
  (void)NSS_ShutdownContext(context);
}
void destroyCertList(CERTCertList* list) {
  CERT_DestroyCertList(list);
}
void freeSlot(PK11SlotInfo* slot) {
  PK11_FreeSlot(slot);
}
void destroyPrivateKey(SECKEYPrivateKey* key) {
  SECKEY_DestroyPrivateKey(key);
}
void destroyEncryptedKeyInfo(SECKEYEncryptedPrivateKeyInfo* info) {
  SECKEY_DestroyEncryptedPrivateKeyInfo(info, PR_TRUE);
}
void freeItem(SECItem* item) {
  SECITEM_FreeItem(item, PR_TRUE);
}

using NssContextPtr = Ptr<NSSInitContext, shutdownContext>;
using CertListPtr = Ptr<CERTCertList, destroyCertList>;
using SlotPtr = Ptr<PK11SlotInfo, freeSlot>;
using PrivateKeyPtr = Ptr<SECKEYPrivateKey, destroyPrivateKey>;
using EncryptedKeyInfoPtr = Ptr<SECKEYEncryptedPrivateKeyInfo, destroyEncryptedKeyInfo>;
using SecItemPtr = Ptr<SECItem, freeItem>;

// Text that held key material is wiped before its memory is returned.
struct WipedString {
  std::string text;
  WipedString() = default;
  WipedString(const WipedString&) = delete;
  WipedString& operator=(const WipedString&) = delete;
  ~WipedString() { OPENSSL_cleanse(text.data(), text.size()); }
};

// NSS calls this when it wants the database password. Returning nothing
// makes the login fail; the user is never asked.
char* noPassword(PK11SlotInfo* /*slot*/, PRBool /*retry*/, void* /*arg*/) {
  return nullptr;
}

std::optional<fs::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return fs::path(home);
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384U);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return std::nullopt;
  }
  return fs::path(found->pw_dir);
}

// ORVO_USER_NSSDB, with or without NSS's "sql:" prefix, or the user's
// default database folder.
std::optional<fs::path> userDatabaseFolder() {
  if (const char* named = std::getenv("ORVO_USER_NSSDB"); named != nullptr && *named != '\0') {
    std::string_view folder(named);
    if (folder.starts_with("sql:")) {
      folder.remove_prefix(4);
    }
    return fs::path(folder);
  }
  const std::optional<fs::path> home = homeFolder();
  if (!home) {
    return std::nullopt;
  }
  return *home / ".pki" / "nssdb";
}

// Only a folder holding an sql: certificate database is handed to NSS, so a
// missing database is never created or replaced by an empty one. The files
// NSS opens must be regular files (or, but for cert9.db, missing): NSS opens
// them blocking, and a FIFO or device put there would hold the window.
bool holdsSqlDatabase(const fs::path& folder) {
  std::error_code error;
  if (!fs::is_directory(folder, error) || !fs::is_regular_file(folder / "cert9.db", error)) {
    return false;
  }
  for (const char* name : {"key4.db", "pkcs11.txt", "cert9.db-journal", "key4.db-journal"}) {
    const fs::file_status status = fs::status(folder / name, error);
    if (status.type() != fs::file_type::not_found && status.type() != fs::file_type::regular) {
      return false;
    }
  }
  return true;
}

NssContextPtr openReadOnly(const fs::path& folder) {
  NSSInitParameters parameters{};
  parameters.length = sizeof parameters;
  const std::string configDir = "sql:" + folder.string();
  constexpr PRUint32 flags =
      NSS_INIT_READONLY | NSS_INIT_NOMODDB | NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE;
  PK11_SetPasswordFunc(noPassword);
  return NssContextPtr(NSS_InitContext(configDir.c_str(), "", "", "", &parameters, flags));
}

// A one-time password for the key's trip from NSS to OpenSSL: 32 random
// bytes as hex, so both sides read the same bytes.
[[nodiscard]] bool makeTransportPassword(WipedString& password) {
  std::array<unsigned char, 32> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    return false;
  }
  static constexpr std::string_view digits = "0123456789abcdef";
  password.text.reserve(2 * bytes.size());
  for (const unsigned char byte : bytes) {
    password.text.push_back(digits[byte >> 4U]);
    password.text.push_back(digits[byte & 0x0FU]);
  }
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return true;
}

// The key as an encrypted PKCS#8 blob (DER), or nothing when NSS does not
// let it out (a key marked not extractable).
SecItemPtr exportEncryptedKey(PK11SlotInfo* slot, SECKEYPrivateKey* key,
                              const std::string& password) {
  SECItem passwordItem{siBuffer,
                       reinterpret_cast<unsigned char*>(const_cast<char*>(password.data())),
                       static_cast<unsigned int>(password.size())};
  // PBES2 with AES-256-CBC and HMAC-SHA256; one iteration is enough for a
  // random password that never leaves this process.
  const EncryptedKeyInfoPtr info(
      PK11_ExportEncryptedPrivKeyInfoV2(slot, SEC_OID_AES_256_CBC, SEC_OID_AES_256_CBC,
                                        SEC_OID_HMAC_SHA256, &passwordItem, key, 1, nullptr));
  if (!info) {
    return nullptr;
  }
  return SecItemPtr(SEC_ASN1EncodeItem(nullptr, nullptr, info.get(),
                                       SEC_ASN1_GET(SECKEY_EncryptedPrivateKeyInfoTemplate)));
}

// The encrypted blob decrypted by OpenSSL, as "BEGIN PRIVATE KEY" PEM text.
[[nodiscard]] bool decryptToPkcs8Pem(const SECItem& der, const std::string& password,
                                     WipedString& pem) {
  const unsigned char* cursor = der.data;
  const ssl::X509_SIGPtr encrypted(d2i_X509_SIG(nullptr, &cursor, static_cast<long>(der.len)));
  if (!encrypted) {
    return false;
  }
  const ssl::PKCS8_PRIV_KEY_INFOPtr plain(
      PKCS8_decrypt(encrypted.get(), password.data(), static_cast<int>(password.size())));
  if (!plain) {
    return false;
  }
  const ssl::BIOPtr bio(BIO_new(BIO_s_secmem()));
  if (!bio || PEM_write_bio_PKCS8_PRIV_KEY_INFO(bio.get(), plain.get()) != 1) {
    return false;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  if (length <= 0 || data == nullptr) {
    return false;
  }
  pem.text.assign(data, static_cast<std::size_t>(length));
  return true;
}

// The key as the toolkit's private key object, or nullptr when NSS keeps it.
std::unique_ptr<CkPrivateKey> exportKey(PK11SlotInfo* slot, SECKEYPrivateKey* key) {
  WipedString password;
  if (!makeTransportPassword(password)) {
    return nullptr;
  }
  const SecItemPtr blob = exportEncryptedKey(slot, key, password.text);
  if (!blob) {
    return nullptr;
  }
  WipedString pem;
  if (!decryptToPkcs8Pem(*blob, password.text, pem)) {
    return nullptr;
  }
  auto result = std::make_unique<CkPrivateKey>();
  if (!result->LoadPem(pem.text)) {
    return nullptr;
  }
  return result;
}

// Attaches the certificate's key as the database holds it. A database that
// needs a login (it has a password) is not logged into: its keys are then
// known only by NSS's user-certificate mark and cannot be exported.
void attachKey(PK11SlotInfo* slot, bool loggedIn, CERTCertificate* nssCert, CkCert& cert) {
  const PrivateKeyPtr key(loggedIn ? PK11_FindKeyByAnyCert(nssCert, nullptr) : nullptr);
  if (!key) {
    if (CERT_IsUserCert(nssCert) == PR_TRUE) {
      cert.AttachPrivateKey(nullptr, false);
    }
    return;
  }
  // Softoken lets a key marked not extractable out through a wrap all the
  // same; the mark is the owner's wish and is kept here.
  const bool extractable =
      PK11_HasAttributeSet(key->pkcs11Slot, key->pkcs11ID, CKA_EXTRACTABLE, PR_FALSE) == PR_TRUE;
  std::unique_ptr<CkPrivateKey> exported = extractable ? exportKey(slot, key.get()) : nullptr;
  const bool exportable = exported != nullptr;
  cert.AttachPrivateKey(std::move(exported), exportable);
}

// Appends the database's certificates, in the database's order, to out.
// Certificates that are not valid DER for the toolkit are skipped.
bool readOpenDatabase(CertList& out) {
  const SlotPtr slot(PK11_GetInternalKeySlot());
  if (!slot) {
    return false;
  }
  const CertListPtr list(PK11_ListCertsInSlot(slot.get()));
  if (!list) {
    return false;
  }
  const bool loggedIn =
      PK11_NeedLogin(slot.get()) == PR_FALSE || PK11_IsLoggedIn(slot.get(), nullptr) == PR_TRUE;
  CertList read;
  for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
       node = CERT_LIST_NEXT(node)) {
    const SECItem& der = node->cert->derCert;
    auto cert = std::make_unique<CkCert>();
    if (!cert->LoadFromDer(std::string(reinterpret_cast<const char*>(der.data), der.len))) {
      continue;
    }
    attachKey(slot.get(), loggedIn, node->cert, *cert);
    read.push_back(std::move(cert));
  }
  for (auto& cert : read) {
    out.push_back(std::move(cert));
  }
  return true;
}

} // namespace

bool ReadCurrentUserStore(CertList& out) {
  const std::optional<fs::path> folder = userDatabaseFolder();
  if (!folder || !holdsSqlDatabase(*folder)) {
    return false;
  }
  // The context is declared first so that it is shut down last, after
  // readOpenDatabase has released every NSS object it took.
  const NssContextPtr context = openReadOnly(*folder);
  if (!context) {
    return false;
  }
  return readOpenDatabase(out);
}

} // namespace orvo::ck
