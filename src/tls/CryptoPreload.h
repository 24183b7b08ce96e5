#pragma once
// Start-up pre-load of the OpenSSL crypto library from the program folder.
//
// The shared units' start-up calls PreloadCryptoLibrary() once, before the
// main window exists, and keeps the returned component until shut-down. The
// folder rule decides which copy of libcrypto the whole process uses: a
// library that sits in "redist/" below the program folder is loaded by full
// path, and the TLS binding's later load by bare name ("libcrypto.so.3")
// then gets that same module. Nothing here is ever shown to the user: a
// failed load only leaves its text in LastError().

#include <array>
#include <filesystem>
#include <memory>
#include <string>

namespace orvo {

// Four numbers of a library version: major, minor, release, build.
using TFileVersion = std::array<int, 4>;

// One OpenSSL signing component of the crypto unit: owns one reference to the
// crypto library from a successful load until it is destroyed. Every live
// component is registered in one process-wide list (guarded by one lock); the
// library's own clean-up calls run only when the last component holding a
// library lets it go. Not copyable; destroy it on the thread that made it.
class TOpenSSLSigningComponent {
public:
  TOpenSSLSigningComponent();
  ~TOpenSSLSigningComponent();
  TOpenSSLSigningComponent(const TOpenSSLSigningComponent&) = delete;
  TOpenSSLSigningComponent& operator=(const TOpenSSLSigningComponent&) = delete;

  // Folder the library is loaded from; ends in '/' when not empty.
  void SetLibraryFolder(const std::filesystem::path& aFolder);
  [[nodiscard]] const std::filesystem::path& LibraryFolder() const { return fLibraryFolder; }
  [[nodiscard]] const std::string& LibraryFileName() const { return fLibraryFileName; }
  [[nodiscard]] std::filesystem::path LibraryPath() const;

  // Releases the library (if loaded) and clears the last error.
  void Clear();
  // Loads the library by its full path. False with LastError() set when the
  // file cannot be loaded, is not trusted (see PreloadCryptoLibrary) or lacks
  // RSA_generate_key_ex.
  [[nodiscard]] bool Load();
  [[nodiscard]] bool IsLoaded() const { return fHandle != nullptr; }
  [[nodiscard]] const std::string& LastError() const { return fLastError; }
  // Version the loaded library reports about itself; 0.0.0.0 when unknown.
  [[nodiscard]] TFileVersion LoadedVersion() const { return fVersion; }
  [[nodiscard]] static constexpr TFileVersion RequiredVersion() { return {1, 0, 0, 0}; }

private:
  void Release();
  void InitialiseLibraryOnce();
  void CleanUpLibraryIfLastHolder();

  std::filesystem::path fLibraryFolder;
  std::string fLibraryFileName = "libcrypto.so.3";
  void* fHandle = nullptr;
  std::string fLastError;
  TFileVersion fVersion{};
};

// Runs the crypto unit's pre-load:
//  1. library folder = aProgramFolder + "redist/" when "redist/libcrypto.so.3"
//     exists there, otherwise aProgramFolder itself (an empty aProgramFolder
//     means the folder of the running executable);
//  2. loads the library by full path; a failure stays in LastError():
//     "Could not load " + path + "(" + loader's text + ")"; a library that
//     someone other than root or the running user owns or may write (the
//     file or a folder above it) is skipped: "Skipped " + path + ": " +
//     reason, also written to the standard error stream;
//  3. when the loaded library reports a major version below 1, writes
//     "CryptoDebug.log" into the program folder: the library path, then the
//     version as "a.b.c.d", one per line.
// Never throws for a missing or unusable library. Returns the component,
// loaded or not (never null); keep it until process shut-down.
[[nodiscard]] std::unique_ptr<TOpenSSLSigningComponent>
PreloadCryptoLibrary(const std::filesystem::path& aProgramFolder = {});

} // namespace orvo
