// The run-time binding against the system's OpenSSL 3, with libraries and
// entry points hidden by a scripted loader.

#include "tls/OpenSSLBinding.h"
#include "tls/OpenSSLNames.h"

#include "support/TestPki.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <set>
#include <thread>

namespace orvo {
namespace {

// The system loader, minus the libraries and entry points a test hides.
class TScriptedLibraries final : public TDynamicLibraries {
public:
  struct TLog {
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::vector<std::string> openedNames; // written under the binding's lock
  };

  TScriptedLibraries(std::set<std::string> aHiddenFiles, std::set<std::string> aHiddenSymbols,
                     TLog& aLog)
      : fHiddenFiles(std::move(aHiddenFiles)), fHiddenSymbols(std::move(aHiddenSymbols)),
        fLog(aLog) {}

  void* Open(const std::string& aFileName) override {
    fLog.openedNames.push_back(aFileName);
    if (fHiddenFiles.contains(aFileName)) {
      return nullptr;
    }
    void* const library = fSystem->Open(aFileName);
    if (library != nullptr) {
      ++fLog.opens;
    }
    return library;
  }
  void* Symbol(void* aLibrary, const char* aName) override {
    return fHiddenSymbols.contains(aName) ? nullptr : fSystem->Symbol(aLibrary, aName);
  }
  void Close(void* aLibrary) override {
    ++fLog.closes;
    fSystem->Close(aLibrary);
  }

private:
  std::unique_ptr<TDynamicLibraries> fSystem = SystemLibraries();
  std::set<std::string> fHiddenFiles;
  std::set<std::string> fHiddenSymbols;
  TLog& fLog;
};

class OpenSSLBindingTest : public ::testing::Test {
protected:
  TOpenSSLBinding& Binding(std::set<std::string> aHiddenFiles = {},
                           std::set<std::string> aHiddenSymbols = {}) {
    fBinding = std::make_unique<TOpenSSLBinding>(std::make_unique<TScriptedLibraries>(
        std::move(aHiddenFiles), std::move(aHiddenSymbols), fLog));
    return *fBinding;
  }

  TScriptedLibraries::TLog fLog;
  std::unique_ptr<TOpenSSLBinding> fBinding;
};

// The OpenSSL 3 names of the required entry points of one library, in load
// order, each once.
std::vector<std::string> RequiredNames(TOpenSSLLibrary aLibrary) {
  std::vector<std::string> names;
  for (const TEntryPointName& row : EntryPointNames()) {
    if (row.library == aLibrary && row.need == TEntryPointNeed::Required &&
        !row.currentName.empty() && std::ranges::find(names, row.currentName) == names.end()) {
      names.emplace_back(row.currentName);
    }
  }
  return names;
}

std::filesystem::path LoadedLibraryPath(const char* aName) {
  void* const handle = ::dlopen(aName, RTLD_NOW);
  if (handle == nullptr) {
    return {};
  }
  link_map* map = nullptr;
  ::dlinfo(handle, RTLD_DI_LINKMAP, &map);
  const std::filesystem::path path = map != nullptr ? map->l_name : "";
  ::dlclose(handle);
  return path;
}

TEST_F(OpenSSLBindingTest, SystemOpenSSLLoadsWithEveryEntryPoint) {
  TOpenSSLBinding& binding = Binding();
  ASSERT_TRUE(binding.EnsureOpenSSLLoaded());
  EXPECT_TRUE(binding.MissingEntryPoints().empty());
  const TOpenSSLEntryPoints& api = binding.EntryPoints();
  // Optional and hand-typed ones too: OpenSSL 3.0 still has them all.
  EXPECT_NE(api.PEM_read_bio_X509, nullptr);
  EXPECT_NE(api.PEM_read_bio_DHparams, nullptr);
  EXPECT_NE(api.EC_KEY_new_by_curve_name, nullptr);
  EXPECT_NE(api.ERR_remove_thread_state, nullptr);
  EXPECT_EQ(api.ERR_remove_state, nullptr) << "only looked up without ERR_remove_thread_state";
  EXPECT_EQ(api.OpenSSL_version_num() >> 28U, 3U);
}

TEST(OpenSSLNamesTest, EveryNameOfTheTableExistsInOpenSSL3) {
  // Catches a misspelt successor that would only show as a missing optional.
  void* const crypto = ::dlopen(TOpenSSLBinding::kCryptoLibrary, RTLD_NOW);
  void* const tls = ::dlopen(TOpenSSLBinding::kTlsLibrary, RTLD_NOW);
  ASSERT_NE(crypto, nullptr);
  ASSERT_NE(tls, nullptr);
  std::set<std::string_view> legacy;
  for (const TEntryPointName& row : EntryPointNames()) {
    if (!row.legacyName.empty()) {
      EXPECT_TRUE(legacy.insert(row.legacyName).second) << "twice: " << row.legacyName;
    }
    if (row.currentName.empty()) {
      EXPECT_FALSE(row.why.empty()) << row.legacyName << " is dropped without a reason";
      continue;
    }
    void* const library = row.library == TOpenSSLLibrary::Tls ? tls : crypto;
    EXPECT_NE(::dlsym(library, std::string(row.currentName).c_str()), nullptr) << row.currentName;
  }
  ::dlclose(tls);
  ::dlclose(crypto);
}

TEST_F(OpenSSLBindingTest, WithoutTheTlsLibraryEveryRequiredTlsEntryPointIsMissing) {
  TOpenSSLBinding& binding =
      Binding({TOpenSSLBinding::kTlsLibrary, TOpenSSLBinding::kTlsLibrarySecondName});
  EXPECT_FALSE(binding.EnsureOpenSSLLoaded());
  EXPECT_EQ(binding.MissingEntryPoints(), RequiredNames(TOpenSSLLibrary::Tls));
  EXPECT_EQ(binding.InitialisationCount(), 0);
  EXPECT_EQ(fLog.openedNames,
            (std::vector<std::string>{TOpenSSLBinding::kCryptoLibrary, TOpenSSLBinding::kTlsLibrary,
                                      TOpenSSLBinding::kTlsLibrarySecondName}));
}

TEST(OpenSSLBindingFolderTest, FolderWithoutTheTlsLibraryListsEveryRequiredTlsEntryPoint) {
  test::TempDir folder;
  const std::filesystem::path crypto = LoadedLibraryPath(TOpenSSLBinding::kCryptoLibrary);
  ASSERT_FALSE(crypto.empty());
  std::filesystem::create_symlink(crypto, folder / TOpenSSLBinding::kCryptoLibrary);
  TOpenSSLBinding binding(SystemLibraries(folder.path()));
  EXPECT_FALSE(binding.EnsureOpenSSLLoaded());
  EXPECT_EQ(binding.MissingEntryPoints(), RequiredNames(TOpenSSLLibrary::Tls));
}

TEST_F(OpenSSLBindingTest, TlsLibraryIsLoadedUnderItsSecondName) {
  TOpenSSLBinding& binding = Binding({TOpenSSLBinding::kTlsLibrary});
  EXPECT_TRUE(binding.EnsureOpenSSLLoaded());
  EXPECT_EQ(fLog.openedNames.back(), TOpenSSLBinding::kTlsLibrarySecondName);
}

TEST_F(OpenSSLBindingTest, MissingOptionalEntryPointsStayNullAndTheLoadSucceeds) {
  TOpenSSLBinding& binding =
      Binding({}, {"DTLSv1_method", "PEM_read_bio_X509", "PEM_read_bio_DHparams", "EVP_sha256",
                   "EVP_default_properties_enable_fips", "X509_print"});
  EXPECT_TRUE(binding.EnsureOpenSSLLoaded());
  EXPECT_TRUE(binding.MissingEntryPoints().empty());
  EXPECT_EQ(binding.EntryPoints().PEM_read_bio_X509, nullptr);
  EXPECT_EQ(binding.EntryPoints().PEM_read_bio_DHparams, nullptr);
}

TEST_F(OpenSSLBindingTest, ErrRemoveStateStandsInForErrRemoveThreadState) {
  TOpenSSLBinding& binding = Binding({}, {"ERR_remove_thread_state"});
  EXPECT_TRUE(binding.EnsureOpenSSLLoaded());
  EXPECT_NE(binding.EntryPoints().ERR_remove_state, nullptr);
}

TEST_F(OpenSSLBindingTest, WithoutBothErrRemoveCallsErrRemoveStateIsMissing) {
  TOpenSSLBinding& binding = Binding({}, {"ERR_remove_thread_state", "ERR_remove_state"});
  EXPECT_FALSE(binding.EnsureOpenSSLLoaded());
  EXPECT_EQ(binding.MissingEntryPoints(), std::vector<std::string>{"ERR_remove_state"});
}

TEST_F(OpenSSLBindingTest, MissingRequiredCryptoEntryPointsAreListedInLoadOrder) {
  TOpenSSLBinding& binding = Binding({}, {"OPENSSL_sk_num", "EC_KEY_free", "SSL_CTX_new"});
  EXPECT_FALSE(binding.EnsureOpenSSLLoaded());
  EXPECT_EQ(binding.MissingEntryPoints(),
            (std::vector<std::string>{"SSL_CTX_new", "EC_KEY_free", "OPENSSL_sk_num"}));
  EXPECT_EQ(binding.InitialisationCount(), 0);
}

TEST_F(OpenSSLBindingTest, ConcurrentCallersInitialiseOnce) {
  TOpenSSLBinding& binding = Binding();
  constexpr int kThreads = 12;
  std::barrier start(kThreads);
  std::atomic<int> loaded{0};
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        if (binding.EnsureOpenSSLLoaded()) {
          ++loaded;
        }
      });
    }
  }
  EXPECT_EQ(loaded.load(), kThreads);
  EXPECT_EQ(binding.InitialisationCount(), 1);
  EXPECT_EQ(fLog.opens.load(), 2) << "one crypto and one TLS library";
}

TEST_F(OpenSSLBindingTest, UnloadReleasesBothLibrariesAndClearsTheTable) {
  TOpenSSLBinding& binding = Binding();
  ASSERT_TRUE(binding.EnsureOpenSSLLoaded());
  ASSERT_TRUE(binding.EnsureOpenSSLLoaded());
  EXPECT_EQ(fLog.opens.load(), 2) << "a second call does not touch the libraries";
  binding.UnloadOpenSSL();
  EXPECT_EQ(fLog.closes.load(), 2);
  EXPECT_EQ(binding.EntryPoints().SSL_CTX_new, nullptr);
  binding.UnloadOpenSSL(); // a second unload does nothing
  EXPECT_EQ(fLog.closes.load(), 2);
}

} // namespace
} // namespace orvo
