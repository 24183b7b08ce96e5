#include "system/OrvoRegistryAccess.h"

#include "system/Registry.h"

namespace orvo {

namespace {
constexpr const char* kSoftwareRoot = "\\SOFTWARE";
constexpr const char* kCoreKey = "\\Tornvale\\Orvo Network Monitor\\Server\\Core";
constexpr const char* kExePathValue = "Exepath";
} // namespace

bool GetCoreExePath(std::string& path) {
  path.clear();
  const auto key = RegKey::Open(std::string(kSoftwareRoot) + kCoreKey, RegAccess::Read);
  if (!key) {
    return false;
  }
  path = key->ReadString(kExePathValue);
  return true;
}

std::string CoreCertFolder(const std::string& exePath) {
  std::string folder = exePath;
  if (folder.empty() || folder.back() != '/') {
    folder += '/';
  }
  return folder + "cert/";
}

} // namespace orvo
