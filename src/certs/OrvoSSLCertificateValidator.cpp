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

// The public half of an RSA key as the toolkit's XML form shows it (modulus
// and exponent), to rule out pairs cheaply before the encryption proof. None
// when the XML does not have that form; such keys are always proved.
std::optional<std::string> PublicPart(const std::string& aXml) {
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
  if (!modulus || !exponent || modulus->empty()) {
    return std::nullopt;
  }
  return *modulus + "/" + *exponent;
}

std::optional<std::string> PublicPartOf(const TOrvoStoreCertificate& aCert) {
  const std::unique_ptr<ck::CkPublicKey> publicKey = aCert.ExportPublicKey();
  return publicKey ? PublicPart(publicKey->_getXml()) : std::nullopt;
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
  const bool considered = ext.find("TXT") != std::string::npos ||
                          ext.find("KEY") != std::string::npos ||
                          ext.find("PEM") != std::string::npos;
  if (!considered) {
    return false;
  }
  // One read for all three markers; the answer is the same as scanning for
  // each in turn.
  const files::SecretText text(ReadText(aFileName));
  for (const char* marker :
       {"BEGIN RSA PRIVATE KEY", "BEGIN PRIVATE KEY", "BEGIN ENCRYPTED PRIVATE KEY"}) {
    if (TextContains(text.Text(), marker, false)) {
      return true;
    }
  }
  return false;
}

bool TOrvoSSLCertificateValidator::RequestPassword(const std::string& aFileName,
                                                   std::string& password,
                                                   bool aWasWrongPassword) const {
  return fOnPassword ? fOnPassword(aFileName, password, aWasWrongPassword) : false;
}

bool TOrvoSSLCertificateValidator::ReadPKFromFile(const std::string& aFileName) {
  if (!FileExists(aFileName)) {
    return false;
  }
  auto key = std::make_shared<TOrvoSSLPrivateKey>();
  if (!LoadPKFromFile(*key, aFileName)) {
    return false;
  }
  fPK = std::move(key);
  return true;
}

bool TOrvoSSLCertificateValidator::LoadPKFromFile(TOrvoSSLPrivateKey& key,
                                                  const std::string& path) {
  const bool encrypted = ScanFile(path, "ENCRYPTED", false);
  if (!encrypted &&
      (key.LoadPEMFile(path) || key.LoadPkcs8File(path) || key.LoadRsaDerFile(path))) {
    return true;
  }
  const std::string bareName = fs::path(path).filename().string();
  std::string passphrase;
  bool first = true;
  for (;;) {
    if (!RequestPassword(bareName, passphrase, !first)) {
      return false;
    }
    if (key.LoadPemFileWithPW(path, passphrase) || key.LoadPkcs8FileWithPW(path, passphrase)) {
      return true;
    }
    first = false;
  }
}

bool TOrvoSSLCertificateValidator::ReadPKFromString(const std::string& aPKString) {
  if (aPKString.empty()) {
    return false;
  }
  auto key = std::make_shared<TOrvoSSLPrivateKey>();
  if (!LoadPKFromString(*key, aPKString)) {
    return false;
  }
  fPK = std::move(key);
  return true;
}

bool TOrvoSSLCertificateValidator::LoadPKFromString(TOrvoSSLPrivateKey& key,
                                                    const std::string& text) {
  const bool encrypted = StringContains(text, "ENCRYPTED", false);
  if (!encrypted && key.LoadPemFromString(text)) {
    return true;
  }
  std::string passphrase;
  bool first = true;
  for (;;) {
    if (!RequestPassword("", passphrase, !first)) {
      return false;
    }
    if (key.LoadPemFromStringWithPW(text, passphrase)) {
      return true;
    }
    first = false;
  }
}

bool TOrvoSSLCertificateValidator::CheckPKMatchesCert(const TOrvoStoreCertificate* aCert,
                                                      const TOrvoSSLPrivateKey* aPK) const {
  if (aCert == nullptr || aPK == nullptr) {
    return false;
  }
  ck::CkRsa encryptor;
  ck::CkRsa decryptor;
  encryptor.putEncodingMode("hex");
  decryptor.putEncodingMode("hex");
  const std::unique_ptr<ck::CkPublicKey> publicKey = aCert->ExportPublicKey();
  if (!publicKey) {
    return false;
  }
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
    if (std::optional<std::string> part = PublicPart(keys[k]->GetXML())) {
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
