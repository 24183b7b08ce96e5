#include "system/Registry.h"

#include "files/BoundedRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace orvo {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kLocalMachineShort = "HKLM";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && RegFoldCase(text.substr(0, prefix.size())) == prefix;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 code units to UTF-8; stops at the first NUL. Unpaired surrogates
// become U+FFFD.
std::string Utf16ToUtf8(const std::vector<char16_t>& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp == 0) {
      break;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

// UTF-8 to UTF-16 code units; invalid sequences become U+FFFD.
std::vector<char16_t> Utf8ToUtf16(std::string_view text) {
  std::vector<char16_t> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      extra = -1;
    }
    bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::vector<char16_t> BytesToUnits(std::string_view bytes) {
  std::vector<char16_t> units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return units;
}

bool IsUtf16Le(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

// The file's text as UTF-8, without a byte order mark.
std::string DecodeFileText(std::string_view bytes) {
  if (IsUtf16Le(bytes)) {
    auto units = BytesToUnits(bytes.substr(2));
    // A NUL would end the conversion early; the text has none of its own.
    std::replace(units.begin(), units.end(), u'\0', u'\uFFFD');
    return Utf16ToUtf8(units);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }
  return std::string(bytes);
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, bool& missing) {
  // A FIFO or device named as the registry file must not hold the program,
  // and a huge file is refused before it is read.
  std::string bytes;
  const files::ReadResult read = files::ReadRegularFile(file.string(), bytes);
  missing = read.status == files::ReadStatus::Missing;
  if (!read.Ok()) {
    return std::nullopt;
  }
  return bytes;
}

// A quoted string starting at text[pos] == '"'; pos ends after the closing
// quote. Backslash escapes the next character. Nothing when unterminated.
std::optional<std::string> ParseQuoted(std::string_view text, std::size_t& pos) {
  std::string out;
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      out += text[++i];
    } else if (text[i] == '"') {
      pos = i + 1;
      return out;
    } else {
      out += text[i];
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  auto flush = [&]() -> bool {
    if (digits.empty()) {
      return false;
    }
    if (digits.size() > 2) {
      return false;
    }
    int value = 0;
    for (char c : digits) {
      value = value * 16 + HexDigit(c);
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
    digits.clear();
    return true;
  };
  for (char c : text) {
    if (c == ',') {
      if (!flush()) {
        return std::nullopt;
      }
    } else if (HexDigit(c) >= 0) {
      digits += c;
    } else if (!IsBlank(c) && c != '\\' && c != '\r' && c != '\n') {
      return std::nullopt;
    }
  }
  if (!digits.empty() && !flush()) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<RegValue> ParseData(std::string_view data) {
  RegValue value;
  if (!data.empty() && data.front() == '"') {
    std::size_t pos = 0;
    auto text = ParseQuoted(data, pos);
    if (!text || !Trim(data.substr(pos)).empty()) {
      return std::nullopt;
    }
    value.type = regtype::Sz;
    value.data = RegStringData(*text);
    return value;
  }
  if (StartsWithFolded(data, "DWORD:")) {
    const auto digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) {
      return std::nullopt;
    }
    std::uint32_t number = 0;
    for (char c : digits) {
      if (HexDigit(c) < 0) {
        return std::nullopt;
      }
      number = number * 16 + static_cast<std::uint32_t>(HexDigit(c));
    }
    value.type = regtype::Dword;
    for (int i = 0; i < 4; ++i) {
      value.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
    }
    return value;
  }
  if (StartsWithFolded(data, "HEX")) {
    std::size_t colon = data.find(':');
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    const auto kind = data.substr(3, colon - 3);
    if (kind.empty()) {
      value.type = regtype::Binary;
    } else {
      if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10) {
        return std::nullopt;
      }
      std::uint32_t type = 0;
      for (char c : kind.substr(1, kind.size() - 2)) {
        if (HexDigit(c) < 0) {
          return std::nullopt;
        }
        type = type * 16 + static_cast<std::uint32_t>(HexDigit(c));
      }
      value.type = type;
    }
    auto bytes = ParseHexBytes(data.substr(colon + 1));
    if (!bytes) {
      return std::nullopt;
    }
    value.data = std::move(*bytes);
    return value;
  }
  return std::nullopt;
}

// A section header's key path below HKEY_LOCAL_MACHINE; nothing for keys of
// other roots.
std::optional<std::string> LocalMachinePath(std::string_view full) {
  const auto slash = full.find('\\');
  const auto root = RegFoldCase(full.substr(0, slash));
  if (root != kLocalMachine && root != kLocalMachineShort) {
    return std::nullopt;
  }
  return RegNormalizeKeyPath(slash == std::string_view::npos ? std::string_view{}
                                                             : full.substr(slash + 1));
}

bool IsParentOrSame(const std::string& folded, const std::string& candidate) {
  return candidate == folded ||
         (candidate.size() > folded.size() && candidate.compare(0, folded.size(), folded) == 0 &&
          candidate[folded.size()] == '\\');
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string EncodeLike(std::string_view utf8, bool utf16) {
  if (!utf16) {
    return std::string(utf8);
  }
  std::string out;
  for (char16_t unit : Utf8ToUtf16(utf8)) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
  return out;
}

} // namespace

std::string RegFoldCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

std::string RegNormalizeKeyPath(std::string_view path) {
  std::string out;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto end = std::min(path.find('\\', start), path.size());
    const auto part = path.substr(start, end - start);
    if (!part.empty()) {
      if (!out.empty()) {
        out += '\\';
      }
      out += part;
    }
    start = end + 1;
  }
  return out;
}

std::vector<std::uint8_t> RegStringData(std::string_view utf8) {
  std::vector<std::uint8_t> data;
  for (char16_t unit : Utf8ToUtf16(utf8)) {
    data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::string RegDataToString(const std::vector<std::uint8_t>& utf16le) {
  const std::string_view bytes(reinterpret_cast<const char*>(utf16le.data()), utf16le.size());
  return Utf16ToUtf8(BytesToUnits(bytes));
}

RegistryContents RegistryContents::Load(const std::filesystem::path& file) {
  bool missing = false;
  const auto bytes = ReadWholeFile(file, missing);
  if (!bytes) {
    RegistryContents contents;
    contents.state_ = missing ? FileState::Missing : FileState::Unreadable;
    return contents;
  }
  return Parse(*bytes);
}

RegistryContents RegistryContents::Parse(std::string_view bytes) {
  RegistryContents contents;
  contents.state_ = FileState::Read;
  contents.ParseLines(DecodeFileText(bytes));
  return contents;
}

void RegistryContents::ParseLines(std::string_view text) {
  std::optional<std::string> current; // folded key path of the section
  bool inForeignSection = false;
  std::size_t lineNo = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto end = text.find('\n', pos);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string line(Trim(text.substr(pos, end - pos)));
    pos = end + 1;
    ++lineNo;
    const auto firstLine = lineNo;
    // Binary data continues on the next line after a trailing backslash. The
    // marker is looked for once, not in the growing line, so that a long
    // value costs time in proportion to its length.
    const bool binary = line.find("=hex") != std::string::npos;
    while (binary && !line.empty() && line.back() == '\\' && pos < text.size()) {
      end = text.find('\n', pos);
      if (end == std::string_view::npos) {
        end = text.size();
      }
      line.pop_back();
      line += Trim(text.substr(pos, end - pos));
      pos = end + 1;
      ++lineNo;
    }
    if (line.empty() || line.front() == ';' || line == kHeader || line == kHeader4) {
      continue;
    }
    if (line.front() == '[') {
      current.reset();
      inForeignSection = false;
      if (line.back() != ']') {
        problems_.push_back("line " + std::to_string(firstLine) + ": section without ']'");
        inForeignSection = true;
        continue;
      }
      std::string_view name(line);
      name = name.substr(1, name.size() - 2);
      const bool remove = !name.empty() && name.front() == '-';
      if (remove) {
        name.remove_prefix(1);
      }
      const auto path = LocalMachinePath(name);
      if (!path) {
        inForeignSection = true;
        continue;
      }
      const auto folded = RegFoldCase(*path);
      if (remove) {
        EraseKeyAndSubkeys(folded);
        inForeignSection = true;
        continue;
      }
      keys_[folded];
      current = folded;
      continue;
    }
    if (inForeignSection) {
      continue;
    }
    ParseValueLine(line, firstLine, current ? &*current : nullptr);
  }
}

// The key and its subkeys form two ranges of the sorted map: the key itself,
// and the paths that start with the key and a backslash (']' follows '\\').
void RegistryContents::EraseKeyAndSubkeys(const std::string& aFolded) {
  keys_.erase(aFolded);
  keys_.erase(keys_.lower_bound(aFolded + '\\'), keys_.lower_bound(aFolded + ']'));
}

void RegistryContents::ParseValueLine(const std::string& line, std::size_t lineNo,
                                      const std::string* key) {
  const auto problem = [&](const std::string& what) {
    problems_.push_back("line " + std::to_string(lineNo) + ": " + what);
  };
  if (key == nullptr) {
    problem("value outside a key section");
    return;
  }
  std::string name;
  std::size_t pos = 0;
  if (line.front() == '@') {
    pos = 1;
  } else if (line.front() == '"') {
    auto quoted = ParseQuoted(line, pos);
    if (!quoted) {
      problem("unterminated value name");
      return;
    }
    name = std::move(*quoted);
  } else {
    problem("not a key or value line");
    return;
  }
  const auto rest = Trim(std::string_view(line).substr(pos));
  if (rest.empty() || rest.front() != '=') {
    problem("missing '=' after the value name");
    return;
  }
  const auto data = Trim(rest.substr(1));
  auto& values = keys_[*key];
  if (data == "-") {
    values.erase(RegFoldCase(name));
    return;
  }
  auto value = ParseData(data);
  if (!value) {
    problem("unreadable data of value '" + name + "'");
    return;
  }
  values[RegFoldCase(name)] = std::move(*value);
}

bool RegistryContents::KeyExists(std::string_view keyPath) const {
  const auto folded = RegFoldCase(RegNormalizeKeyPath(keyPath));
  if (folded.empty()) {
    return true;
  }
  const auto it = keys_.lower_bound(folded);
  return it != keys_.end() && IsParentOrSame(folded, it->first);
}

const std::map<std::string, RegValue>* RegistryContents::Values(std::string_view keyPath) const {
  const auto it = keys_.find(RegFoldCase(RegNormalizeKeyPath(keyPath)));
  return it == keys_.end() ? nullptr : &it->second;
}

std::filesystem::path RegistryFilePath() {
  const char* env = std::getenv("ORVO_REGISTRY_FILE");
  if (env != nullptr && *env != '\0') {
    return env;
  }
  return "/etc/tornvale/hklm.reg";
}

std::optional<RegKey> RegKey::Open(std::string_view keyPath, RegAccess access,
                                   const std::filesystem::path& file) {
  const auto contents = RegistryContents::Load(file);
  if (contents.state() == RegistryContents::FileState::Unreadable) {
    return std::nullopt;
  }
  // Writing needs a file that may be written; the root key of a missing
  // file can still be read.
  if (access == RegAccess::ReadWrite && ::access(file.c_str(), W_OK) != 0) {
    return std::nullopt;
  }
  if (!contents.KeyExists(keyPath)) {
    return std::nullopt;
  }
  const auto* values = contents.Values(keyPath);
  return RegKey(RegNormalizeKeyPath(keyPath),
                values != nullptr ? *values : std::map<std::string, RegValue>{});
}

std::optional<RegKey> RegKey::OpenOrCreate(std::string_view keyPath,
                                           const std::filesystem::path& file) {
  if (auto key = Open(keyPath, RegAccess::ReadWrite, file)) {
    return key;
  }
  const auto contents = RegistryContents::Load(file);
  if (contents.state() == RegistryContents::FileState::Unreadable || contents.KeyExists(keyPath)) {
    return std::nullopt; // unreadable, or present but not writable
  }
  if (!RegCreateKeyInFile(file, keyPath)) {
    return std::nullopt;
  }
  return Open(keyPath, RegAccess::ReadWrite, file);
}

bool RegKey::ValueExists(std::string_view name) const {
  return Value(name) != nullptr;
}

const RegValue* RegKey::Value(std::string_view name) const {
  const auto it = values_.find(RegFoldCase(name));
  return it == values_.end() ? nullptr : &it->second;
}

std::string RegKey::ReadString(std::string_view name) const {
  const auto* value = Value(name);
  if (value == nullptr || value->data.empty()) {
    return {};
  }
  if (value->type != regtype::Sz && value->type != regtype::ExpandSz) {
    throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
  }
  return RegDataToString(value->data);
}

std::int32_t RegKey::ReadInteger(std::string_view name) const {
  const auto* value = Value(name);
  // The data is read into a 4-byte buffer: a missing value or longer data
  // fails the read itself, before its type is looked at.
  if (value == nullptr || value->data.size() > 4) {
    throw ERegistryException("Failed to get data for '" + std::string(name) + "'");
  }
  if (value->type != regtype::Dword) {
    throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
  }
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < value->data.size(); ++i) {
    number |= static_cast<std::uint32_t>(value->data[i]) << (8 * i);
  }
  return static_cast<std::int32_t>(number);
}

bool RegCreateKeyInFile(const std::filesystem::path& file, std::string_view keyPath) {
  const auto path = RegNormalizeKeyPath(keyPath);
  bool missing = false;
  const auto existing = ReadWholeFile(file, missing);
  if (!existing && !missing) {
    return false;
  }
  if (!existing) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      return false;
    }
    const std::string text =
        std::string(kHeader) + "\n\n[" + std::string(kLocalMachine) + "\\" + path + "]\n";
    const bool ok = WriteAll(fd, text);
    return ::close(fd) == 0 && ok;
  }
  // Append, so that everything already in the file stays as it is.
  const bool utf16 = IsUtf16Le(*existing);
  const auto decoded = DecodeFileText(*existing);
  const std::string eol = decoded.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string text;
  if (!decoded.empty() && decoded.back() != '\n') {
    text += eol;
  }
  text += eol + "[" + std::string(kLocalMachine) + "\\" + path + "]" + eol;
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool ok = WriteAll(fd, EncodeLike(text, utf16));
  return ::close(fd) == 0 && ok;
}

} // namespace orvo
