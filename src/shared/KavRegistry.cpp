#include "shared/KavRegistry.h"

#include "files/BoundedRead.h"

#include <climits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string_view>

namespace orvo {

namespace {

constexpr const char* kVendorKey = "\\software\\Tornvale\\";
constexpr const char* kRegPathValue = "RegPath";
constexpr const char* kIniFileName = "pod.reg";
constexpr std::string_view kWow64Node = "\\WOW6432NODE";

// Trimming removes the characters with codes 0 to 32 at both ends.
std::string_view TrimControl(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) {
    s.remove_prefix(1);
  }
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) {
    s.remove_suffix(1);
  }
  return s;
}

// The private-profile reads of file mode. Every read parses the file afresh,
// as private-profile reads see the file's current content; a missing file
// has no entries. Section and entry names ignore letter case; the first
// entry of a name counts; a value in matching quotes loses them.
class IniFile {
public:
  explicit IniFile(std::filesystem::path file) : file_(std::move(file)) {}

  std::optional<std::string> ReadEntry(const std::string& section, const std::string& name) const {
    std::shared_lock lock(lock_);
    // The bounded reader: a FIFO or device named as the INI file reads as
    // no file instead of holding the start-up.
    std::string bytes;
    if (!files::ReadRegularFile(file_.string(), bytes).Ok()) {
      return std::nullopt;
    }
    std::istringstream in(bytes);
    const auto wantedSection = RegFoldCase(section);
    const auto wantedName = RegFoldCase(name);
    bool inSection = false;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
      std::string_view text = line;
      if (first && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
      }
      first = false;
      text = TrimControl(text);
      if (text.empty() || text.front() == ';') {
        continue;
      }
      if (text.front() == '[') {
        const auto close = text.find(']');
        inSection = close != std::string_view::npos &&
                    RegFoldCase(TrimControl(text.substr(1, close - 1))) == wantedSection;
        continue;
      }
      const auto eq = text.find('=');
      if (!inSection || eq == std::string_view::npos ||
          RegFoldCase(TrimControl(text.substr(0, eq))) != wantedName) {
        continue;
      }
      auto value = TrimControl(text.substr(eq + 1));
      if (value.size() >= 2 && value.front() == value.back() &&
          (value.front() == '"' || value.front() == '\'')) {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
    return std::nullopt;
  }

private:
  std::filesystem::path file_;
  mutable std::shared_mutex lock_; // read lock for reads, write lock for writes
};

struct UnitState {
  std::mutex guard;
  bool initialized = false;
  bool fileMode = false;
  std::filesystem::path iniPath;
  std::shared_ptr<const IniFile> ini;
};

UnitState& Unit() {
  static UnitState state;
  return state;
}

// The file-mode folder named by "RegPath", or nothing for registry mode.
std::optional<std::filesystem::path> DecideFileModeFolder() {
  // Full access, creating the vendor key when it is missing; whether that
  // works does not matter (a user without the right keeps registry mode).
  const auto vendor = RegKey::OpenOrCreate(kVendorKey);
  if (!vendor || !vendor->ValueExists(kRegPathValue)) {
    return std::nullopt;
  }
  const auto value = vendor->ReadString(kRegPathValue); // raises for a non-string
  const auto trimmed = TrimControl(value);
  if (trimmed.empty()) {
    return std::nullopt;
  }
  const std::filesystem::path folder{std::string(trimmed)};
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directories(folder, ec);
    // A folder that cannot be made leaves registry mode on, rather than a
    // file mode whose every read finds nothing.
    if (!std::filesystem::is_directory(folder, ec)) {
      return std::nullopt;
    }
  }
  return folder;
}

std::shared_ptr<const IniFile> CurrentIni() {
  auto& unit = Unit();
  std::lock_guard lock(unit.guard);
  return unit.ini;
}

bool WantsWrite(std::uint32_t access) {
  // KEY_SET_VALUE, KEY_CREATE_SUB_KEY, WRITE_DAC, WRITE_OWNER, DELETE
  constexpr std::uint32_t kWriteBits = 0x0002 | 0x0004 | 0x00040000 | 0x00080000 | 0x00010000;
  return (access & kWriteBits) != 0;
}

} // namespace

std::string KavIniSectionName(const std::string& aKey) {
  std::string section;
  const auto folded = RegFoldCase(aKey);
  std::size_t pos = 0;
  while (pos < aKey.size()) {
    if (folded.compare(pos, kWow64Node.size(), kWow64Node) == 0) {
      pos += kWow64Node.size();
    } else {
      section += aKey[pos++];
    }
  }
  return section.empty() ? "root" : section;
}

std::int32_t KavIniInteger(const std::string& aText, std::int32_t aDefault) {
  const auto text = TrimControl(aText);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const auto digits = text.substr(2);
    if (digits.size() > 8) {
      return aDefault;
    }
    std::uint32_t value = 0;
    for (char c : digits) {
      int digit = -1;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      }
      if (digit < 0) {
        return aDefault;
      }
      value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::int32_t>(value);
  }
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) {
    return aDefault;
  }
  std::int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') {
      return aDefault;
    }
    value = value * 10 + (text[pos] - '0');
    if (value > std::int64_t{INT_MAX} + 1) {
      return aDefault;
    }
  }
  value = negative ? -value : value;
  if (value > INT_MAX || value < INT_MIN) {
    return aDefault;
  }
  return static_cast<std::int32_t>(value);
}

TKavRegistry::TKavRegistry(std::uint32_t aAccess) : FAccess(aAccess) {
  kavregistry::Initialize();
  FFileMode = kavregistry::FileMode();
}

void TKavRegistry::SetRootkey(RootKey aRootKey) {
  FRootKey = aRootKey;
  FReg.reset();
  FKey.clear();
}

bool TKavRegistry::OpenKey(const std::string& aKey, bool aCanCreate) {
  if (FFileMode) {
    FKey = KavIniSectionName(aKey);
    return true;
  }
  // The registry file holds HKEY_LOCAL_MACHINE only; other roots are empty.
  if (FRootKey != RootKey::LocalMachine) {
    return false;
  }
  const bool relative = aKey.empty() || aKey.front() != '\\';
  const std::string path =
      relative && FReg ? FReg->path() + "\\" + aKey : RegNormalizeKeyPath(aKey);
  std::optional<RegKey> key;
  if (aCanCreate) {
    key = RegKey::OpenOrCreate(path);
  } else {
    key = RegKey::Open(path, WantsWrite(FAccess) ? RegAccess::ReadWrite : RegAccess::Read);
  }
  if (!key) {
    return false;
  }
  FReg = std::move(key);
  FKey = FReg->path();
  return true;
}

const RegKey* TKavRegistry::CurrentKey() const {
  return FReg ? &*FReg : nullptr;
}

bool TKavRegistry::ValueExists(const std::string& aName) const {
  if (FFileMode) {
    const auto ini = CurrentIni();
    return ini && ini->ReadEntry(FKey, aName).has_value();
  }
  const auto* key = CurrentKey();
  return key != nullptr && key->ValueExists(aName);
}

bool TKavRegistry::ReadBool(const std::string& aName) const {
  if (FFileMode) {
    const auto ini = CurrentIni();
    const auto entry = ini ? ini->ReadEntry(FKey, aName) : std::nullopt;
    return entry && KavIniInteger(*entry, 0) != 0;
  }
  const auto* key = CurrentKey();
  if (key == nullptr) {
    // No key open: the root key itself, which holds no values.
    throw ERegistryException("Failed to get data for '" + aName + "'");
  }
  return key->ReadInteger(aName) != 0;
}

namespace kavregistry {

void Initialize() {
  auto& unit = Unit();
  std::lock_guard lock(unit.guard);
  if (unit.initialized) {
    return;
  }
  const auto folder = DecideFileModeFolder();
  unit.fileMode = folder.has_value();
  if (folder) {
    unit.iniPath = *folder / kIniFileName;
    unit.ini = std::make_shared<const IniFile>(unit.iniPath);
  }
  unit.initialized = true;
}

void Finalize() {
  auto& unit = Unit();
  std::lock_guard lock(unit.guard);
  unit.initialized = false;
  unit.fileMode = false;
  unit.iniPath.clear();
  unit.ini.reset();
}

bool FileMode() {
  auto& unit = Unit();
  std::lock_guard lock(unit.guard);
  return unit.fileMode;
}

std::filesystem::path IniPath() {
  auto& unit = Unit();
  std::lock_guard lock(unit.guard);
  return unit.iniPath;
}

} // namespace kavregistry

} // namespace orvo
