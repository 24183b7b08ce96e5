#include "tls/CryptoPreload.h"

#include "tls/ProgramFolder.h"

#include "files/LibraryTrust.h"

#include <openssl/crypto.h>

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <mutex>
#include <vector>

namespace orvo {

namespace {

// Every live signing component, guarded by one process-wide lock that also
// serialises the components' loads.
std::mutex& ComponentsLock() {
  static std::mutex lock;
  return lock;
}

std::vector<const TOpenSSLSigningComponent*>& Components() {
  static std::vector<const TOpenSSLSigningComponent*> components;
  return components;
}

template <class TFunction> TFunction Lookup(void* aLibrary, const char* aName) {
  return reinterpret_cast<TFunction>(::dlsym(aLibrary, aName));
}

// The version number that OpenSSL reports about itself, as four numbers.
// 1.x and older: 0xMNNFFPPS (major, minor, fix, patch letter);
// 3.x and later: 0xMNN00PP0 (major, minor, patch).
TFileVersion VersionOfLibrary(void* aLibrary) {
  using TVersionFn = unsigned long (*)();
  auto version = Lookup<TVersionFn>(aLibrary, "OpenSSL_version_num");
  if (version == nullptr) {
    version = Lookup<TVersionFn>(aLibrary, "SSLeay");
  }
  if (version == nullptr) {
    return {};
  }
  const unsigned long v = version();
  const int major = static_cast<int>((v >> 28U) & 0xFU);
  const int minor = static_cast<int>((v >> 20U) & 0xFFU);
  if (major >= 3) {
    return {major, minor, static_cast<int>((v >> 4U) & 0xFFU), 0};
  }
  return {major, minor, static_cast<int>((v >> 12U) & 0xFFU), static_cast<int>((v >> 4U) & 0xFFU)};
}

std::string VersionText(const TFileVersion& aVersion) {
  return std::to_string(aVersion[0]) + "." + std::to_string(aVersion[1]) + "." +
         std::to_string(aVersion[2]) + "." + std::to_string(aVersion[3]);
}

void WriteCryptoDebugLog(const std::filesystem::path& aProgramFolder,
                         const std::filesystem::path& aLibraryPath, const TFileVersion& aVersion) {
  // A log that cannot be written is of no consequence: nothing is shown.
  std::ofstream log(aProgramFolder / "CryptoDebug.log", std::ios::trunc);
  log << aLibraryPath.string() << '\n' << VersionText(aVersion) << '\n';
}

} // namespace

TOpenSSLSigningComponent::TOpenSSLSigningComponent() {
  const std::lock_guard lock(ComponentsLock());
  Components().push_back(this);
}

TOpenSSLSigningComponent::~TOpenSSLSigningComponent() {
  const std::lock_guard lock(ComponentsLock());
  Release();
  std::erase(Components(), this);
}

void TOpenSSLSigningComponent::SetLibraryFolder(const std::filesystem::path& aFolder) {
  fLibraryFolder = aFolder;
  if (!fLibraryFolder.empty() && fLibraryFolder.has_filename()) {
    fLibraryFolder += "/";
  }
}

std::filesystem::path TOpenSSLSigningComponent::LibraryPath() const {
  return fLibraryFolder.string() + fLibraryFileName;
}

void TOpenSSLSigningComponent::Clear() {
  const std::lock_guard lock(ComponentsLock());
  Release();
  fLastError.clear();
  fVersion = {};
}

bool TOpenSSLSigningComponent::Load() {
  const std::lock_guard lock(ComponentsLock());
  Release();
  const std::string path = LibraryPath().string();
  // A library beside the program runs with this process's rights (often
  // root): it is loaded only when nobody but root or us could have put it
  // there. A missing file is left to the loader, which says so.
  std::string distrust;
  std::error_code missing;
  if (std::filesystem::exists(path, missing) && !files::IsTrustedLibrary(path, distrust)) {
    fLastError = "Skipped " + path + ": " + distrust;
    std::clog << "Crypto library not loaded. " << fLastError << '\n';
    return false;
  }
  void* const library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* const reason = ::dlerror();
    fLastError = "Could not load " + path + "(" + (reason != nullptr ? reason : "") + ")";
    return false;
  }
  if (::dlsym(library, "RSA_generate_key_ex") == nullptr) {
    fLastError = "Could not load " + path + "(RSA_generate_key_ex is missing)";
    ::dlclose(library);
    return false;
  }
  fHandle = library;
  fVersion = VersionOfLibrary(library);
  InitialiseLibraryOnce();
  return true;
}

void TOpenSSLSigningComponent::InitialiseLibraryOnce() {
  // Only the first component that holds this library initialises it.
  const auto& components = Components();
  const bool shared = std::ranges::any_of(components, [this](const auto* aOther) {
    return aOther != this && aOther->fHandle == fHandle;
  });
  if (shared) {
    return;
  }
  using TInitCryptoFn = int (*)(std::uint64_t, const OPENSSL_INIT_SETTINGS*);
  if (const auto init = Lookup<TInitCryptoFn>(fHandle, "OPENSSL_init_crypto"); init != nullptr) {
    // OpenSSL 1.1 and later: ERR_load_crypto_strings,
    // OPENSSL_add_all_algorithms_noconf and ENGINE_load_builtin_engines
    // are all this one call.
    if (init(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                 OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_ENGINE_ALL_BUILTIN,
             nullptr) <= 0) {
      fLastError = "OPENSSL_init_crypto failed for " + LibraryPath().string();
    }
    return;
  }
  for (const char* name : {"ERR_load_crypto_strings", "OPENSSL_add_all_algorithms_noconf",
                           "ENGINE_load_builtin_engines"}) {
    if (const auto call = Lookup<void (*)()>(fHandle, name); call != nullptr) {
      call();
    }
  }
}

void TOpenSSLSigningComponent::CleanUpLibraryIfLastHolder() {
  const bool shared = std::ranges::any_of(Components(), [this](const auto* aOther) {
    return aOther != this && aOther->fHandle == fHandle;
  });
  // OpenSSL 1.1 and later clean up in their own exit handler; the 1.0 calls
  // below would tear the library down under the rest of the process, which
  // shares it (the certificate layer links the same libcrypto).
  if (shared || ::dlsym(fHandle, "OPENSSL_cleanup") != nullptr) {
    return;
  }
  if (const auto unload = Lookup<void (*)(int)>(fHandle, "CONF_modules_unload");
      unload != nullptr) {
    unload(1);
  }
  for (const char* name :
       {"OBJ_cleanup", "EVP_cleanup", "ENGINE_cleanup", "CRYPTO_cleanup_all_ex_data"}) {
    if (const auto call = Lookup<void (*)()>(fHandle, name); call != nullptr) {
      call();
    }
  }
  if (const auto remove = Lookup<void (*)(void*)>(fHandle, "ERR_remove_thread_state");
      remove != nullptr) {
    remove(nullptr);
  }
  if (const auto freeStrings = Lookup<void (*)()>(fHandle, "ERR_free_strings");
      freeStrings != nullptr) {
    freeStrings();
  }
}

void TOpenSSLSigningComponent::Release() {
  if (fHandle == nullptr) {
    return;
  }
  CleanUpLibraryIfLastHolder();
  ::dlclose(fHandle);
  fHandle = nullptr;
}

std::unique_ptr<TOpenSSLSigningComponent>
PreloadCryptoLibrary(const std::filesystem::path& aProgramFolder) {
  const std::filesystem::path programFolder =
      aProgramFolder.empty() ? RunningProgramFolderForTls() : aProgramFolder;
  auto component = std::make_unique<TOpenSSLSigningComponent>();
  std::error_code error;
  const bool inRedist =
      std::filesystem::exists(programFolder / "redist" / component->LibraryFileName(), error);
  component->SetLibraryFolder(inRedist ? programFolder / "redist" : programFolder);
  component->Clear();
  if (!component->Load()) {
    return component;
  }
  const TFileVersion version = component->LoadedVersion();
  if (version[0] < TOpenSSLSigningComponent::RequiredVersion()[0]) {
    WriteCryptoDebugLog(programFolder, component->LibraryPath(), version);
  }
  return component;
}

} // namespace orvo
