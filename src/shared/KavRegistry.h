#pragma once
// The server product's registry facade. It works in one of two modes, fixed
// for the life of the process by the unit's start-up (kavregistry::Initialize):
//  - registry mode: plain reads under HKEY_LOCAL_MACHINE (the .reg stand-in
//    of system/Registry.h);
//  - file mode, when the vendor key \software\Tornvale\ holds a non-blank
//    string "RegPath": the INI file "pod.reg" in that folder replaces the
//    registry. Key paths become section names with every "\WoW6432Node"
//    removed, so 32- and 64-bit paths of one key meet in one section.
// The INI file is guarded by one process-wide reader-writer lock.

#include "system/Registry.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace orvo {

// Access rights as the server's code passes them (Windows values). The
// stand-in tells reading from writing by the write bits.
inline constexpr std::uint32_t KEY_READ = 0x20019;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0xF003F;
inline constexpr std::uint32_t KEY_WOW64_32KEY = 0x0200;

enum class RootKey : std::uint32_t {
  ClassesRoot = 0x80000000,
  CurrentUser = 0x80000001,
  LocalMachine = 0x80000002,
  Users = 0x80000003,
};

class TKavRegistry {
public:
  // Runs the unit's mode decision first if it has not run yet.
  explicit TKavRegistry(std::uint32_t aAccess = KEY_ALL_ACCESS);

  RootKey Rootkey() const { return FRootKey; }
  void SetRootkey(RootKey aRootKey);

  // Registry mode: opens aKey ("\..." absolute, else below the open key),
  // creating it when aCanCreate; false when it cannot be opened with the
  // access given at construction. File mode: always true; aKey becomes the
  // section name ("root" when empty).
  [[nodiscard]] bool OpenKey(const std::string& aKey, bool aCanCreate);
  const std::string& CurrentPath() const { return FKey; }

  bool ValueExists(const std::string& aName) const;
  // Registry mode: a 32-bit number value is True when not 0; raises
  // ERegistryException for a missing value or one of another type (see
  // RegKey::ReadInteger). File mode: the INI entry as a decimal or "0x" hex
  // number, True when not 0; anything else is False.
  bool ReadBool(const std::string& aName) const;

private:
  const RegKey* CurrentKey() const;

  std::uint32_t FAccess;
  bool FFileMode;
  std::optional<RegKey> FReg; // the open key in registry mode
  RootKey FRootKey = RootKey::LocalMachine;
  std::string FKey;
};

// The section name file mode uses for a key path.
std::string KavIniSectionName(const std::string& aKey);

// Reads an INI entry as an integer as the facade does: decimal, or
// hexadecimal after "0x"; aDefault when the text is no 32-bit number.
std::int32_t KavIniInteger(const std::string& aText, std::int32_t aDefault);

namespace kavregistry {

// The unit's start-up: the mode decision, once per process (later calls do
// nothing). Opens, and when missing creates, \software\Tornvale\. Raises
// ERegistryException when "RegPath" exists but is no string.
void Initialize();
// The unit's shut-down: forgets the decision; the next Initialize decides again.
void Finalize();

bool FileMode();
// pod.reg in the RegPath folder (file mode only).
std::filesystem::path IniPath();

} // namespace kavregistry

} // namespace orvo
