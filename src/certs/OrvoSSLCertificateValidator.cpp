#include "certs/OrvoSSLCertificateValidator.h"

#include "certs/CertFileUtils.h"
#include "certs/CkToolkit.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "files/BoundedRead.h"
#include "files/Secret.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unordered_map>

namespace orvo {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kProofText = "Orvo is cool!";

std::string UpperAscii(std::string_view aText) {
  std::string upper(aText);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : char(c); });
  return upper;
}

// The extension with its dot, upper-cased: from the last dot of the name,
// also when the name starts with it; empty when the name has none.
std::string UpperExtension(const std::string& aFileName) {
  const std::string name = fs::path(aFileName).filename().string();
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : UpperAscii(name.substr(dot));
}

bool FileExists(const std::string& aFileName) {
  std::error_code ec;
  return fs::exists(aFileName, ec) && !fs::is_directory(aFileName, ec);
}

void AppendUtf8(std::string& aOut, char32_t aCode) {
  if (aCode < 0x80) {
    aOut += static_cast<char>(aCode);
  } else if (aCode < 0x800) {
    aOut += static_cast<char>(0xC0 | (aCode >> 6));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else if (aCode < 0x10000) {
    aOut += static_cast<char>(0xE0 | (aCode >> 12));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (aCode >> 18));
    aOut += static_cast<char>(0x80 | ((aCode >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  }
}

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD and an odd last byte is
// dropped.
std::string DecodeUtf16(std::string_view aBytes, bool aBigEndian) {
  std::string out;
  out.reserve(aBytes.size() / 2);
  const auto unit = [&](std::size_t i) -> char16_t {
    const auto hi = static_cast<unsigned char>(aBytes[aBigEndian ? i : i + 1]);
    const auto lo = static_cast<unsigned char>(aBytes[aBigEndian ? i + 1 : i]);
    return static_cast<char16_t>((hi << 8) | lo);
  };
  for (std::size_t i = 0; i + 1 < aBytes.size(); i += 2) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < aBytes.size()) {
      const char16_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(low) - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? char32_t(0xFFFD) : char32_t(u));
  }
  return out;
}

// The file's text: a byte-order mark selects UTF-8 or UTF-16 (little or big
// endian); text without one is taken byte for byte, as the system's code
// page (UTF-8 on Linux) would. A FIFO, a device or a file above the reader's
// cap is no certificate or key file: its text is empty, and it is never read
// whole. The raw bytes may be key text and are wiped.
std::string ReadText(const std::string& aFileName) {
  files::SecretText raw;
  std::string& bytes = raw.Text();
  const files::ReadResult read = files::ReadRegularFile(aFileName, bytes);
  if (read.status == files::ReadStatus::NotRegular || read.status == files::ReadStatus::TooLarge) {
    return {};
  }
  if (!read.Ok()) {
    throw EFileError("Cannot open file \"" + aFileName + "\". " + read.error);
  }
  const std::string_view view(bytes);
  if (view.starts_with("\xEF\xBB\xBF")) {
    return bytes.substr(3);
  }
  if (view.starts_with("\xFF\xFE")) {
    return DecodeUtf16(view.substr(2), false);
  }
  if (view.starts_with("\xFE\xFF")) {
    return DecodeUtf16(view.substr(2), true);
  }
  return bytes;
}

// True when some line of `aText` contains the pattern, which is already
// upper-cased unless `aCaseSensitive`. CR, LF and CR LF all end a line.
bool AnyLineContains(std::string_view aText, std::string_view aPattern, bool aCaseSensitive) {
  if (aPattern.empty()) {
    return false; // an empty pattern is found nowhere
  }
  std::size_t start = 0;
  while (start <= aText.size()) {
    const std::size_t end = std::min(aText.find_first_of("\r\n", start), aText.size());
    const std::string_view line = aText.substr(start, end - start);
    if (aCaseSensitive ? line.find(aPattern) != std::string_view::npos
                       : UpperAscii(line).find(aPattern) != std::string::npos) {
      return true;
    }
    if (end == aText.size()) {
      break;
    }
    start =
        end + ((aText[end] == '\r' && end + 1 < aText.size() && aText[end + 1] == '\n') ? 2 : 1);
  }
  return false;
}

bool TextContains(std::string_view aText, const std::string& aPattern, bool aCaseSensitive) {
  return AnyLineContains(aText, aCaseSensitive ? aPattern : UpperAscii(aPattern), aCaseSensitive);
}

// The plain files of a folder in the file system's order, as full paths:
// sub-folders, hidden files (names starting with a dot) and special files
// such as sockets and devices are left out. Links to plain files count as
// plain files.
std::vector<std::string> ListPlainFiles(const std::string& aDir) {
  std::string folder = aDir;
  if (!folder.empty() && folder.back() != '/') {
    folder += '/';
  }
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code statError;
    if (name.starts_with('.') || !it->is_regular_file(statError)) {
      continue;
    }
    files.push_back(folder + name);
  }
  return files;
}

// The public half of a key, to rule out pairs cheaply before the proof: for
// RSA modulus and exponent as the toolkit's XML form shows them, for other
// types the SubjectPublicKeyInfo. None when neither can be read; such keys
// are always proved.
std::optional<std::string> PublicPart(const std::string& aXml, const std::string& aDer) {
  const auto element = [&aXml](std::string_view aName) -> std::optional<std::string> {
    const std::string open = "<" + std::string(aName) + ">";
    const std::string close = "</" + std::string(aName) + ">";
    const std::size_t from = aXml.find(open);
    if (from == std::string::npos) {
      return std::nullopt;
    }
    const std::size_t begin = from + open.size();
    const std::size_t to = aXml.find(close, begin);
    if (to == std::string::npos) {
      return std::nullopt;
    }
    return aXml.substr(begin, to - begin);
  };
  const auto modulus = element("Modulus");
  const auto exponent = element("Exponent");
  if (modulus && exponent && !modulus->empty()) {
    return "rsa:" + *modulus + "/" + *exponent;
  }
  if (!aDer.empty()) {
    return "der:" + aDer;
  }
  return std::nullopt;
}

std::optional<std::string> PublicPartOf(const TOrvoStoreCertificate& aCert) {
  const std::unique_ptr<ck::CkPublicKey> publicKey = aCert.ExportPublicKey();
  return publicKey ? PublicPart(publicKey->_getXml(), publicKey->_getDer()) : std::nullopt;
}

std::optional<std::string> PublicPartOf(const TOrvoSSLPrivateKey& aKey) {
  const ck::CkPrivateKey* handle = aKey.Handle();
  return PublicPart(aKey.GetXML(), handle != nullptr ? handle->_publicKeyDer() : std::string());
}

// What a file holds, told from its bytes (bounded as ReadText reads them;
// they may be key text and are wiped).
ck::CkKeyContent InspectFile(const std::string& aFileName) {
  files::SecretText raw;
  if (!files::ReadRegularFile(aFileName, raw.Text()).Ok()) {
    return ck::CkKeyContent::Unknown;
  }
  return ck::InspectKeyContent(raw.Text());
}

// Why content that no passphrase can open is no usable key, with `aWhat`
// naming the file or the text.
std::string NotAKeyReason(ck::CkKeyContent aContent, const std::string& aWhat) {
  switch (aContent) {
  case ck::CkKeyContent::PublicKey:
    return aWhat + " holds a public key, not a private key.";
  case ck::CkKeyContent::Certificate:
    return aWhat + " holds a certificate, not a private key.";
  case ck::CkKeyContent::CertificateRequest:
    return aWhat + " holds a certificate request, not a private key.";
  case ck::CkKeyContent::Parameters:
    return aWhat + " holds key parameters (DH, DSA or EC), not a private key.";
  case ck::CkKeyContent::OpenSshKey:
    return aWhat + " holds an OpenSSH key, not a PEM or PKCS#8 private key.";
  case ck::CkKeyContent::Pkcs12:
    return aWhat + " is a PKCS#12 file; choose it as the certificate source in step 1.";
  case ck::CkKeyContent::PrivateKey:
  case ck::CkKeyContent::EncryptedPrivateKey:
  case ck::CkKeyContent::Unknown:
    break;
  }
  return aWhat + " is not a private key.";
}

// Certificate key types other than RSA and RSA-PSS (which the key size
// decides): those that pass, and those that pass with a warning because
// browsers refuse them.
constexpr std::array<std::string_view, 2> kAcceptedKeyTypes = {"EC P-256", "EC P-384"};
constexpr std::array<std::string_view, 3> kBrowserRefusedKeyTypes = {"EC P-521", "Ed25519",
                                                                     "Ed448"};

bool IsSizeRuledKeyType(std::string_view aKeyType) {
  return aKeyType == "RSA" || aKeyType == "RSA-PSS";
}

bool Contains(const auto& aList, std::string_view aValue) {
  return std::find(aList.begin(), aList.end(), aValue) != aList.end();
}

} // namespace

TOrvoSSLCertificateValidator::TOrvoSSLCertificateValidator() = default;
TOrvoSSLCertificateValidator::~TOrvoSSLCertificateValidator() = default;

bool TOrvoSSLCertificateValidator::ScanFile(const std::string& aFileName,
                                            const std::string& aPattern, bool CaseSensitive) {
  return TextContains(ReadText(aFileName), aPattern, CaseSensitive);
}

bool TOrvoSSLCertificateValidator::StringContains(const std::string& text,
                                                  const std::string& pattern, bool CaseSensitive) {
  return TextContains(text, pattern, CaseSensitive);
}

bool TOrvoSSLCertificateValidator::IsCertificateFile(const std::string& aFileName) {
  static constexpr std::array<std::string_view, 9> kCertificateExtensions = {
      ".CER", ".CRT", ".CERT", ".DER", ".P12", ".PFX", ".P7B", ".P7C", ".PEM"};
  const std::string ext = UpperExtension(aFileName);
  if (std::find(kCertificateExtensions.begin(), kCertificateExtensions.end(), ext) !=
      kCertificateExtensions.end()) {
    return true;
  }
  return ext == ".TXT" && ScanFile(aFileName, "BEGIN CERTIFICATE", false);
}

bool TOrvoSSLCertificateValidator::IsKeyFile(const std::string& aFileName) {
  const std::string ext = UpperExtension(aFileName);
  const bool considered =
      ext.find("TXT") != std::string::npos || ext.find("KEY") != std::string::npos ||
      ext.find("PEM") != std::string::npos || ext.find("DER") != std::string::npos;
  if (!considered) {
    return false;
  }
  // One read for all markers; the answer is the same as scanning for each in
  // turn.
  const files::SecretText text(ReadText(aFileName));
  for (const char* marker : {"BEGIN RSA PRIVATE KEY", "BEGIN PRIVATE KEY",
                             "BEGIN ENCRYPTED PRIVATE KEY", "BEGIN EC PRIVATE KEY"}) {
    if (TextContains(text.Text(), marker, false)) {
      return true;
    }
  }
  if (text.Text().find("-----BEGIN ") != std::string::npos) {
    return false; // PEM without a private-key block
  }
  const ck::CkKeyContent content = InspectFile(aFileName);
  return content == ck::CkKeyContent::PrivateKey ||
         content == ck::CkKeyContent::EncryptedPrivateKey;
}

bool TOrvoSSLCertificateValidator::RequestPassword(const std::string& aFileName,
                                                   std::string& password,
                                                   bool aWasWrongPassword) const {
  return fOnPassword ? fOnPassword(aFileName, password, aWasWrongPassword) : false;
}

bool TOrvoSSLCertificateValidator::Refuse(std::string aProblem) {
  fLastReadProblem = std::move(aProblem);
  return false;
}

bool TOrvoSSLCertificateValidator::KeepSupportedKey(std::shared_ptr<TOrvoSSLPrivateKey> aKey) {
  const std::string type = aKey->KeyType();
  if (!IsSupportedKeyType(type)) {
    return Refuse("The key type " + type + " is not supported.");
  }
  fPK = std::move(aKey);
  return true;
}

template <typename Load>
bool TOrvoSSLCertificateValidator::AskPassphraseUntilLoaded(const std::string& aName,
                                                            Load aLoad) const {
  std::string passphrase;
  bool first = true;
  for (;;) {
    if (!RequestPassword(aName, passphrase, !first)) {
      return false;
    }
    if (aLoad(passphrase)) {
      return true;
    }
    first = false;
  }
}

bool TOrvoSSLCertificateValidator::ReadPKFromFile(const std::string& aFileName) {
  fLastReadProblem.clear();
  if (!FileExists(aFileName)) {
    return false;
  }
  auto key = std::make_shared<TOrvoSSLPrivateKey>();
  if (!LoadPKFromFile(*key, aFileName)) {
    return false;
  }
  return KeepSupportedKey(std::move(key));
}

bool TOrvoSSLCertificateValidator::LoadPKFromFile(TOrvoSSLPrivateKey& key,
                                                  const std::string& path) {
  const bool encrypted = ScanFile(path, "ENCRYPTED", false);
  if (!encrypted && (key.LoadPEMFile(path) || key.LoadPkcs8File(path) || key.LoadRsaDerFile(path) ||
                     key.LoadDerFile(path))) {
    return true;
  }
  // A passphrase can only open an encrypted key; a file that mentions
  // encryption beside a plain key is opened the same way, as it always was.
  const ck::CkKeyContent content = InspectFile(path);
  if (content != ck::CkKeyContent::EncryptedPrivateKey &&
      !(encrypted && content == ck::CkKeyContent::PrivateKey)) {
    return Refuse(NotAKeyReason(content, "File '" + path + "'"));
  }
  return AskPassphraseUntilLoaded(fs::path(path).filename().string(),
                                  [&](const std::string& aPassphrase) {
                                    return key.LoadPemFileWithPW(path, aPassphrase) ||
                                           key.LoadPkcs8FileWithPW(path, aPassphrase);
                                  });
}

bool TOrvoSSLCertificateValidator::ReadPKFromString(const std::string& aPKString) {
  fLastReadProblem.clear();
  if (aPKString.empty()) {
    return false;
  }
  auto key = std::make_shared<TOrvoSSLPrivateKey>();
  if (!LoadPKFromString(*key, aPKString)) {
    return false;
  }
  return KeepSupportedKey(std::move(key));
}

bool TOrvoSSLCertificateValidator::LoadPKFromString(TOrvoSSLPrivateKey& key,
                                                    const std::string& text) {
  const bool encrypted = StringContains(text, "ENCRYPTED", false);
  if (!encrypted && key.LoadPemFromString(text)) {
    return true;
  }
  const ck::CkKeyContent content = ck::InspectKeyContent(text);
  if (content != ck::CkKeyContent::EncryptedPrivateKey &&
      !(encrypted && content == ck::CkKeyContent::PrivateKey)) {
    return Refuse(NotAKeyReason(content, "The provided text"));
  }
  return AskPassphraseUntilLoaded("", [&](const std::string& aPassphrase) {
    return key.LoadPemFromStringWithPW(text, aPassphrase);
  });
}

bool TOrvoSSLCertificateValidator::CheckPKMatchesCert(const TOrvoStoreCertificate* aCert,
                                                      const TOrvoSSLPrivateKey* aPK) const {
  if (aCert == nullptr || aPK == nullptr || aPK->Handle() == nullptr) {
    return false;
  }
  const std::unique_ptr<ck::CkPublicKey> publicKey = aCert->ExportPublicKey();
  if (!publicKey) {
    return false;
  }
  const ck::CkPrivateKey& privateKey = *aPK->Handle();
  if (publicKey->_keyType() == "RSA" && privateKey._keyType() == "RSA") {
    ck::CkRsa encryptor;
    ck::CkRsa decryptor;
    encryptor.putEncodingMode("hex");
    decryptor.putEncodingMode("hex");
    if (!encryptor.ImportPublicKey(publicKey->_getXml()) ||
        !decryptor.ImportPrivateKey(aPK->GetXML())) {
      return false;
    }
    const std::string cipherText = encryptor._encryptStringENC(std::string(kProofText), false);
    if (cipherText.empty()) {
      return false;
    }
    return decryptor._decryptStringENC(cipherText, true) == kProofText;
  }
  // Keys that cannot encrypt (EC, Ed25519, RSA-PSS) prove the pair by
  // signing: a fresh challenge, so that no stored signature can stand in.
  const std::string publicDer = publicKey->_getDer();
  if (publicDer.empty() || publicDer != privateKey._publicKeyDer()) {
    return false;
  }
  const std::string challenge = ck::RandomBytes(32);
  return !challenge.empty() && publicKey->VerifyBytes(challenge, privateKey._signBytes(challenge));
}

bool TOrvoSSLCertificateValidator::GetCertKeyNumBits(const TOrvoStoreCertificate* aCert,
                                                     int& aCertKeyBitSize) const {
  if (aCert == nullptr) {
    return false;
  }
  try {
    const std::unique_ptr<ck::CkPublicKey> publicKey = aCert->ExportPublicKey();
    if (!publicKey) {
      return false;
    }
    if (publicKey->_keyType() == "RSA-PSS") {
      aCertKeyBitSize = publicKey->getNumBits(); // same numbers, no RSA-object form
      return aCertKeyBitSize > 0;
    }
    ck::CkRsa rsa;
    rsa.putEncodingMode("hex");
    // A key the RSA object cannot take has no size to tell; reporting 0 bits
    // would read as a weak key instead of an unreadable one.
    if (!rsa.ImportPublicKey(publicKey->_getXml())) {
      return false;
    }
    aCertKeyBitSize = rsa.getNumBits();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

TKeyTypeVerdict
TOrvoSSLCertificateValidator::CheckCertKeyType(const TOrvoStoreCertificate& aCert,
                                               std::vector<std::string>& aErrors,
                                               std::vector<std::string>& aWarnings) const {
  const std::string type = aCert.Handle()._publicKeyType();
  if (IsSizeRuledKeyType(type)) {
    return TKeyTypeVerdict::SizeRules;
  }
  if (Contains(kAcceptedKeyTypes, type)) {
    return TKeyTypeVerdict::Accepted;
  }
  if (Contains(kBrowserRefusedKeyTypes, type)) {
    aWarnings.push_back("The key type " + type + " is not accepted by common browsers.");
    return TKeyTypeVerdict::Accepted;
  }
  aErrors.push_back("The key type " + (type.empty() ? std::string("unknown") : type) +
                    " is not supported.");
  return TKeyTypeVerdict::Refused;
}

bool TOrvoSSLCertificateValidator::IsSupportedKeyType(const std::string& aKeyType) {
  return IsSizeRuledKeyType(aKeyType) || Contains(kAcceptedKeyTypes, aKeyType) ||
         Contains(kBrowserRefusedKeyTypes, aKeyType);
}

std::vector<std::shared_ptr<TOrvoSSLPrivateKey>>
TOrvoSSLCertificateValidator::ReadPKsFromFiles(const std::vector<std::string>& aFiles) {
  std::vector<std::shared_ptr<TOrvoSSLPrivateKey>> found;
  for (const std::string& file : aFiles) {
    if (IsKeyFile(file) && ReadPKFromFile(file)) {
      found.push_back(fPK);
    }
  }
  return found;
}

bool TOrvoSSLCertificateValidator::FindMatchingPKinDir(const std::string& aDir,
                                                       const TOrvoCertList& aCerts,
                                                       TOrvoStoreCertificate*& acert,
                                                       std::shared_ptr<TOrvoSSLPrivateKey>& aPK) {
  aPK.reset();
  const std::vector<std::string> files = ListPlainFiles(aDir);
  if (files.empty()) {
    return false;
  }
  const std::vector<std::shared_ptr<TOrvoSSLPrivateKey>> keys = ReadPKsFromFiles(files);
  if (keys.empty()) {
    return false;
  }

  // The answer is the first certificate in list order that has any matching
  // key, with its first matching key in the order found. A key can only pair
  // with a certificate of the same public key, so the slow encryption proof
  // runs only where the public parts agree (or cannot be compared). Each
  // public part is read once and looked up by hash: the cost grows with
  // certificates plus keys, not with their product.
  std::unordered_map<std::string, std::vector<std::size_t>> keysByPart;
  std::vector<std::size_t> uncomparable;
  std::vector<std::size_t> all;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    all.push_back(k);
    if (std::optional<std::string> part = PublicPartOf(*keys[k])) {
      keysByPart[*part].push_back(k);
    } else {
      uncomparable.push_back(k);
    }
  }
  for (const auto& cert : aCerts) {
    if (!cert) {
      continue;
    }
    std::vector<std::size_t> candidates = uncomparable;
    if (const std::optional<std::string> certPart = PublicPartOf(*cert)) {
      if (const auto same = keysByPart.find(*certPart); same != keysByPart.end()) {
        candidates.insert(candidates.end(), same->second.begin(), same->second.end());
        std::sort(candidates.begin(), candidates.end());
      }
    } else {
      candidates = all;
    }
    for (const std::size_t k : candidates) {
      if (CheckPKMatchesCert(cert.get(), keys[k].get())) {
        acert = cert.get();
        aPK = keys[k];
        return true;
      }
    }
  }
  return false;
}

} // namespace orvo
