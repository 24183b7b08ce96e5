// The start-up pre-load of the crypto library. This executable links no
// OpenSSL, so the stand-in library (SONAME libcrypto.so.3, reporting 0.9.8y)
// is the only libcrypto.so.3 in the process and later loads by bare name get it.

#include "tls/CryptoPreload.h"
#include "tls/OpenSSLBinding.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace orvo {
namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
  TempFolder() {
    std::random_device random;
    fPath = fs::temp_directory_path() / ("orvo-preload-" + std::to_string(random()));
    fs::create_directories(fPath);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return fPath; }

private:
  fs::path fPath;
};

std::string ReadFile(const fs::path& aFile) {
  std::ifstream file(aFile);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class CryptoPreloadTest : public ::testing::Test {
protected:
  void PlaceLibrary(const fs::path& aFolder, const char* aBuiltLibrary) const {
    fs::create_directories(aFolder);
    fs::copy_file(aBuiltLibrary, aFolder / "libcrypto.so.3");
  }
  TempFolder fProgram;
};

TEST_F(CryptoPreloadTest, LibraryInRedistIsPreferredAndLaterLoadsByNameGetIt) {
  PlaceLibrary(fProgram.path() / "redist", ORVO_FAKE_OLD_CRYPTO);
  PlaceLibrary(fProgram.path(), ORVO_FAKE_OLD_CRYPTO); // loses against redist/
  const auto component = PreloadCryptoLibrary(fProgram.path());
  ASSERT_TRUE(component->IsLoaded()) << component->LastError();
  EXPECT_EQ(component->LibraryFolder(), fProgram.path() / "redist/");
  EXPECT_EQ(component->LibraryPath(), fProgram.path() / "redist/libcrypto.so.3");

  // The TLS binding's load by bare name obtains the very same module.
  void* const byPath = ::dlopen(component->LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  void* const byName = SystemLibraries()->Open(TOpenSSLBinding::kCryptoLibrary);
  EXPECT_NE(byPath, nullptr);
  EXPECT_EQ(byName, byPath);
  ::dlclose(byName);
  ::dlclose(byPath);
}

TEST_F(CryptoPreloadTest, LibraryOlderThanOneIsRecordedInCryptoDebugLog) {
  PlaceLibrary(fProgram.path(), ORVO_FAKE_OLD_CRYPTO);
  const auto component = PreloadCryptoLibrary(fProgram.path());
  ASSERT_TRUE(component->IsLoaded()) << component->LastError();
  EXPECT_EQ(component->LoadedVersion(), (TFileVersion{0, 9, 8, 25}));
  EXPECT_EQ(ReadFile(fProgram.path() / "CryptoDebug.log"),
            (fProgram.path() / "libcrypto.so.3").string() + "\n0.9.8.25\n");
}

TEST_F(CryptoPreloadTest, LibraryWithoutRsaGenerateKeyExIsReleased) {
  PlaceLibrary(fProgram.path() / "redist", ORVO_FAKE_CRYPTO_WITHOUT_RSA);
  const auto component = PreloadCryptoLibrary(fProgram.path());
  EXPECT_FALSE(component->IsLoaded());
  EXPECT_NE(component->LastError().find("RSA_generate_key_ex"), std::string::npos)
      << component->LastError();
  EXPECT_EQ(::dlopen(component->LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

// A library dropped into a redist/ folder that others may write is never
// loaded into this (often root) process; the reason is kept.
TEST_F(CryptoPreloadTest, LibraryInAFolderOthersMayWriteIsSkipped) {
  PlaceLibrary(fProgram.path() / "redist", ORVO_FAKE_OLD_CRYPTO);
  fs::permissions(fProgram.path() / "redist", fs::perms::all);
  const auto component = PreloadCryptoLibrary(fProgram.path());
  EXPECT_FALSE(component->IsLoaded());
  EXPECT_EQ(component->LastError(),
            "Skipped " + (fProgram.path() / "redist/libcrypto.so.3").string() + ": " +
                (fProgram.path() / "redist").string() + " is writable by others");
  EXPECT_FALSE(fs::exists(fProgram.path() / "CryptoDebug.log"));
}

TEST_F(CryptoPreloadTest, MissingLibraryLeavesOnlyTheErrorText) {
  const auto component = PreloadCryptoLibrary(fProgram.path());
  EXPECT_FALSE(component->IsLoaded());
  const std::string path = (fProgram.path() / "libcrypto.so.3").string();
  const std::string& error = component->LastError();
  EXPECT_EQ(error.rfind("Could not load " + path + "(", 0), 0U) << error;
  EXPECT_EQ(error.back(), ')');
  EXPECT_GT(error.size(), ("Could not load " + path + "()").size())
      << "the loader's text is missing";
  EXPECT_FALSE(fs::exists(fProgram.path() / "CryptoDebug.log"));
}

TEST_F(CryptoPreloadTest, TwoComponentsShareOneLibraryUntilTheLastGoes) {
  PlaceLibrary(fProgram.path(), ORVO_FAKE_OLD_CRYPTO);
  auto first = PreloadCryptoLibrary(fProgram.path());
  auto second = PreloadCryptoLibrary(fProgram.path());
  ASSERT_TRUE(first->IsLoaded());
  ASSERT_TRUE(second->IsLoaded());
  const std::string path = first->LibraryPath().string();
  first.reset();
  void* const stillThere = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(stillThere, nullptr);
  if (stillThere != nullptr) {
    ::dlclose(stillThere);
  }
  second.reset();
  EXPECT_EQ(::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

} // namespace
} // namespace orvo
