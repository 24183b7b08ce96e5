#pragma once
// HKEY_LOCAL_MACHINE as this program sees it, read from a registry export file
// in the Windows ".reg" text format (default /etc/tornvale/hklm.reg, or the
// file that ORVO_REGISTRY_FILE names).
//
// Note to maintainers: the code above this layer was written against the
// Windows registry, and its error behaviour depends on value types and data
// sizes (a one-character string fits into four bytes, a longer one does not).
// Values are therefore kept as Windows stores them: a type code and the raw
// data, strings as UTF-16LE with their terminating NUL. Key paths and value
// names compare without regard to (ASCII) letter case, as on Windows. A
// missing file is an empty registry. Every open reads the file afresh.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// The registry error of a value read that does not match the value's type.
class ERegistryException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Windows value type codes (REG_*); other codes are kept as they are.
namespace regtype {
inline constexpr std::uint32_t None = 0;
inline constexpr std::uint32_t Sz = 1;
inline constexpr std::uint32_t ExpandSz = 2;
inline constexpr std::uint32_t Binary = 3;
inline constexpr std::uint32_t Dword = 4;
inline constexpr std::uint32_t MultiSz = 7;
inline constexpr std::uint32_t Qword = 11;
} // namespace regtype

struct RegValue {
  std::uint32_t type = regtype::None;
  std::vector<std::uint8_t> data;
};

// Upper-cases ASCII letters; registry names compare in this form.
std::string RegFoldCase(std::string_view text);

// The key path in canonical form: components joined by one backslash, no
// leading or trailing backslash ("\SOFTWARE\\X\" gives "SOFTWARE\X").
std::string RegNormalizeKeyPath(std::string_view path);

// The HKEY_LOCAL_MACHINE keys of one registry file.
class RegistryContents {
public:
  enum class FileState { Read, Missing, Unreadable };

  // Parses a file; a missing file gives an empty registry. Lines that cannot
  // be parsed are skipped and described in problems().
  static RegistryContents Load(const std::filesystem::path& file);
  // Parses text (UTF-8, or UTF-16LE with its byte order mark).
  static RegistryContents Parse(std::string_view bytes);

  FileState state() const { return state_; }
  // A key exists when it is named in a section or is a parent of one.
  bool KeyExists(std::string_view keyPath) const;
  // The values of a key; nullptr when the key has no section of its own.
  const std::map<std::string, RegValue>* Values(std::string_view keyPath) const;
  const std::vector<std::string>& problems() const { return problems_; }

private:
  void ParseLines(std::string_view text);
  void ParseValueLine(const std::string& line, std::size_t lineNo, const std::string* key);
  void EraseKeyAndSubkeys(const std::string& aFolded);

  FileState state_ = FileState::Missing;
  // Folded key path -> folded value name -> value.
  std::map<std::string, std::map<std::string, RegValue>> keys_;
  std::vector<std::string> problems_;
};

// ORVO_REGISTRY_FILE when set and not empty, else /etc/tornvale/hklm.reg.
std::filesystem::path RegistryFilePath();

enum class RegAccess { Read, ReadWrite };

// One open key under HKEY_LOCAL_MACHINE, with the value reads of the
// registry object the server's code uses. The key's values are a snapshot
// taken when it was opened.
class RegKey {
public:
  // The key, or nothing when it is missing or the file does not allow the
  // access (an unreadable file; ReadWrite on a file that is not writable).
  [[nodiscard]] static std::optional<RegKey>
  Open(std::string_view keyPath, RegAccess access,
       const std::filesystem::path& file = RegistryFilePath());

  // Opens the key for reading and writing, first writing it into the file
  // when it is missing. Nothing when the file cannot be written.
  [[nodiscard]] static std::optional<RegKey>
  OpenOrCreate(std::string_view keyPath, const std::filesystem::path& file = RegistryFilePath());

  const std::string& path() const { return path_; }
  bool ValueExists(std::string_view name) const;
  const RegValue* Value(std::string_view name) const;

  // A string value up to its first NUL; "" for a missing or empty value.
  // Throws "Invalid data type for '<name>'" when the value is no string.
  std::string ReadString(std::string_view name) const;
  // A 32-bit number value. Throws "Failed to get data for '<name>'" when the
  // value is missing or its data is longer than 4 bytes, else "Invalid data
  // type for '<name>'" when it is no REG_DWORD.
  std::int32_t ReadInteger(std::string_view name) const;

private:
  RegKey(std::string path, std::map<std::string, RegValue> values)
      : path_(std::move(path)), values_(std::move(values)) {}

  std::string path_;
  std::map<std::string, RegValue> values_;
};

// Writes a key into the registry file (with the file's encoding and line
// ends; a missing file is created with the format's header line). Parent
// keys need no sections of their own. False when the file cannot be written.
[[nodiscard]] bool RegCreateKeyInFile(const std::filesystem::path& file, std::string_view keyPath);

// Text conversions of registry string data.
std::vector<std::uint8_t> RegStringData(std::string_view utf8);
std::string RegDataToString(const std::vector<std::uint8_t>& utf16le);

} // namespace orvo
