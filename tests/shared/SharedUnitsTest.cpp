#include "shared/SharedUnits.h"
#include "shared/KavRegistry.h"
#include "shared/StartupSequence.h"
#include "shared/SyncLog.h"

#include "shared/SharedTestSupport.h"
#include "system/ScratchDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

namespace orvo {
namespace {

using test::Eventually;
using test::IsOpenInThisProcess;
using test::ReadFile;
using test::ScopedEnv;
using test::ScratchDir;
using test::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kHead = "Windows Registry Editor Version 5.00\n\n";
constexpr const char* kVendor = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale]\n";
constexpr const char* kDebug =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Debug]\n";

// A scratch registry file and program folder; every test shuts the units down.
class SharedUnitsTest : public ::testing::Test {
protected:
  void SetUp() override { std::filesystem::create_directory(program_); }
  void TearDown() override { FinalizeSharedUnits(); }

  void Registry(const std::string& sections) { WriteFile(registry_, kHead + sections); }
  void Start() { InitSharedUnits({.programFolder = program_}); }
  std::string StartError() {
    try {
      Start();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
  }
  std::filesystem::path LogFile() const { return program_ / "buffer_core (1).log"; }
  bool AnyLogFile() const {
    for (const auto& entry : std::filesystem::directory_iterator(program_)) {
      if (entry.path().filename().string().starts_with("buffer_core")) {
        return true;
      }
    }
    return false;
  }

  ScratchDir dir_;
  std::filesystem::path registry_ = dir_ / "hklm.reg";
  std::filesystem::path program_ = dir_ / "program";
  ScopedEnv env_{"ORVO_REGISTRY_FILE", registry_.string()};
};

TEST_F(SharedUnitsTest, NoDebugKeyStartsNoWriterAndMakesNoFile) {
  Registry(kVendor);
  Start();
  EXPECT_EQ(synclog::Writer(), nullptr);
  EXPECT_FALSE(kavregistry::FileMode());
  EXPECT_FALSE(AnyLogFile());
}

TEST_F(SharedUnitsTest, MissingVendorKeyIsCreated) {
  Start(); // no registry file at all
  EXPECT_THAT(ReadFile(registry_), HasSubstr("[HKEY_LOCAL_MACHINE\\software\\Tornvale]"));
  EXPECT_TRUE(RegKey::Open("SOFTWARE\\TORNVALE", RegAccess::Read, registry_));
}

TEST_F(SharedUnitsTest, DebugSwitchCreatesAnEmptyLogFileThatIsClosedAtOnce) {
  Registry(std::string(kVendor) + kDebug + "\"buffer\"=dword:00000001\n");
  Start();
  ASSERT_NE(synclog::Writer(), nullptr);
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(LogFile()); }));
  EXPECT_TRUE(
      Eventually([&] { return !IsOpenInThisProcess(LogFile()); }, std::chrono::milliseconds(1000)));
  EXPECT_EQ(ReadFile(LogFile()), "");
  FinalizeSharedUnits(); // stops and joins the writer
  EXPECT_EQ(synclog::Writer(), nullptr);

  // A second start reuses the file.
  Start();
  ASSERT_NE(synclog::Writer(), nullptr);
  EXPECT_EQ(synclog::Writer()->filename(), LogFile().string());
}

TEST_F(SharedUnitsTest, DebugSwitchZeroIsOff) {
  Registry(std::string(kVendor) + kDebug + "\"buffer\"=dword:00000000\n");
  Start();
  EXPECT_EQ(synclog::Writer(), nullptr);
  EXPECT_FALSE(AnyLogFile());
}

TEST_F(SharedUnitsTest, DebugKeyThatCannotBeOpenedWithFullAccessLeavesTheSwitchOff) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "file permissions do not bind root";
  }
  Registry(std::string(kVendor) + kDebug + "\"buffer\"=dword:00000001\n");
  std::filesystem::permissions(registry_, std::filesystem::perms::owner_read);
  Start();
  EXPECT_EQ(synclog::Writer(), nullptr);
  EXPECT_FALSE(AnyLogFile());
}

// Where this machine's libcrypto lives; empty when it has none.
std::filesystem::path SystemCryptoLibrary() {
  void* handle = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    return {};
  }
  link_map* map = nullptr;
  std::filesystem::path path;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
    path = map->l_name;
  }
  ::dlclose(handle);
  return path;
}

bool MappedIntoThisProcess(const std::filesystem::path& file) {
  return ReadFile("/proc/self/maps").find(file.string()) != std::string::npos;
}

TEST_F(SharedUnitsTest, CryptoLibraryIsPreloadedFromTheProgramFolder) {
  const auto system = SystemCryptoLibrary();
  if (system.empty()) {
    GTEST_SKIP() << "no libcrypto.so.3 on this machine";
  }
  const auto redist = program_ / "redist";
  std::filesystem::create_directory(redist);
  std::filesystem::copy_file(system, redist / "libcrypto.so.3");
  Registry(kVendor);
  ASSERT_FALSE(MappedIntoThisProcess(redist / "libcrypto.so.3"));
  Start();
  EXPECT_TRUE(MappedIntoThisProcess(redist / "libcrypto.so.3"));
}

struct BadSwitchCase {
  const char* name;
  const char* data;
  const char* error;
};

class BadDebugSwitchTest : public SharedUnitsTest,
                           public ::testing::WithParamInterface<BadSwitchCase> {};

TEST_P(BadDebugSwitchTest, StopsTheStartUpWithTheRegistryError) {
  Registry(std::string(kVendor) + kDebug + "\"buffer\"=" + GetParam().data + "\n");
  EXPECT_EQ(StartError(), GetParam().error);
  EXPECT_EQ(synclog::Writer(), nullptr);
  EXPECT_FALSE(AnyLogFile());
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadDebugSwitchTest,
    ::testing::Values(BadSwitchCase{"OneCharString", "\"1\"", "Invalid data type for 'buffer'"},
                      BadSwitchCase{"LongerString", "\"10\"", "Failed to get data for 'buffer'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SharedUnitsTest, RegPathThatIsNoStringStopsTheStartUp) {
  Registry(std::string(kHead) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale]\n\"RegPath\"=dword:1\n");
  EXPECT_EQ(StartError(), "Invalid data type for 'RegPath'");
}

TEST_F(SharedUnitsTest, BlankRegPathOrOneThatCannotBeMadeKeepsRegistryMode) {
  Registry(std::string(kVendor) + "\"RegPath\"=\" \t \"\n");
  Start();
  EXPECT_FALSE(kavregistry::FileMode());
  FinalizeSharedUnits();

  WriteFile(dir_ / "plain", "not a folder");
  Registry(std::string(kVendor) + "\"RegPath\"=\"" + (dir_ / "plain" / "pod").string() + "\"\n");
  Start();
  EXPECT_FALSE(kavregistry::FileMode());
}

class FileModeTest : public SharedUnitsTest {
protected:
  void SetUp() override {
    SharedUnitsTest::SetUp();
    Registry(std::string(kVendor) + "\"RegPath\"=\"" + pod_.string() + "\"\n");
  }
  void Pod(const std::string& text) {
    std::filesystem::create_directories(pod_);
    WriteFile(pod_ / "pod.reg", text);
  }
  std::filesystem::path pod_ = dir_ / "data" / "pod";
};

TEST_F(FileModeTest, RegPathFolderIsCreatedAndPodRegReplacesTheRegistry) {
  Start();
  EXPECT_TRUE(kavregistry::FileMode());
  EXPECT_TRUE(std::filesystem::is_directory(pod_));
  EXPECT_EQ(kavregistry::IniPath(), pod_ / "pod.reg");
  EXPECT_FALSE(std::filesystem::exists(pod_ / "pod.reg")); // not touched until read
  EXPECT_EQ(synclog::Writer(), nullptr);
}

struct PodSwitchCase {
  const char* name;
  const char* entry;
  bool on;
};

class PodDebugSwitchTest : public FileModeTest,
                           public ::testing::WithParamInterface<PodSwitchCase> {};

TEST_P(PodDebugSwitchTest, ReadsTheEntryAsANumber) {
  Pod(std::string("[\\software\\Tornvale\\Orvo Network Monitor\\Debug]\n") + GetParam().entry +
      "\n");
  Start();
  EXPECT_EQ(synclog::Writer() != nullptr, GetParam().on);
}

INSTANTIATE_TEST_SUITE_P(Entries, PodDebugSwitchTest,
                         ::testing::Values(PodSwitchCase{"True", "buffer=true", false},
                                           PodSwitchCase{"One", "buffer=1", true},
                                           PodSwitchCase{"Hex", "Buffer = 0x10", true},
                                           PodSwitchCase{"Zero", "buffer=0", false},
                                           PodSwitchCase{"Missing", "other=1", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileModeTest, Wow6432NodePathsMeetInOneSection) {
  Pod("[\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Test]\nflag=1\n[root]\ntop=1\n");
  Start();
  TKavRegistry registry(KEY_READ);
  ASSERT_TRUE(
      registry.OpenKey("\\SOFTWARE\\wow6432node\\Tornvale\\Orvo Network Monitor\\Test", false));
  EXPECT_EQ(registry.CurrentPath(), "\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Test");
  EXPECT_TRUE(registry.ValueExists("FLAG"));
  EXPECT_TRUE(registry.ReadBool("flag"));
  ASSERT_TRUE(registry.OpenKey("", false));
  EXPECT_TRUE(registry.ReadBool("top"));
}

struct SectionCase {
  const char* key;
  const char* section;
};

class SectionNameTest : public ::testing::TestWithParam<SectionCase> {};

TEST_P(SectionNameTest, DropsEveryWow6432Node) {
  EXPECT_EQ(KavIniSectionName(GetParam().key), GetParam().section);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SectionNameTest,
    ::testing::Values(SectionCase{"\\Software\\Wow6432Node\\Tornvale", "\\Software\\Tornvale"},
                      SectionCase{"\\SOFTWARE\\WOW6432NODE\\A\\wow6432node\\B", "\\SOFTWARE\\A\\B"},
                      SectionCase{"\\Software\\Tornvale", "\\Software\\Tornvale"},
                      SectionCase{"", "root"}, SectionCase{"\\WoW6432Node", "root"}));

struct IniNumberCase {
  const char* text;
  std::int32_t value;
};

class IniNumberTest : public ::testing::TestWithParam<IniNumberCase> {};

TEST_P(IniNumberTest, ReadsDecimalAndHex) {
  EXPECT_EQ(KavIniInteger(GetParam().text, -99), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IniNumberTest,
    ::testing::Values(IniNumberCase{"1", 1}, IniNumberCase{" 42 ", 42}, IniNumberCase{"-7", -7},
                      IniNumberCase{"0x1f", 31}, IniNumberCase{"0XFFFFFFFF", -1},
                      IniNumberCase{"2147483647", 2147483647},
                      IniNumberCase{"-2147483648", -2147483647 - 1},
                      IniNumberCase{"2147483648", -99}, IniNumberCase{"true", -99},
                      IniNumberCase{"", -99}, IniNumberCase{"0x", -99}, IniNumberCase{"12ab", -99},
                      IniNumberCase{"0x123456789", -99}, IniNumberCase{"-", -99}));

TEST(StartupSequence, RunsInOrderFinishesInReverseAndWrapsPrefixedErrors) {
  std::vector<std::string> calls;
  const auto step = [&](std::string unit, std::string prefix, bool fails) {
    return StartupStep{unit, prefix,
                       [&calls, unit, fails] {
                         calls.push_back("start " + unit);
                         if (fails) {
                           throw std::runtime_error("boom");
                         }
                       },
                       [&calls, unit] { calls.push_back("finish " + unit); }};
  };
  {
    StartupSequence ok({step("a", "", false), step("b", "", false)});
    ok.Start();
    ok.Finish();
    ok.Finish();
  }
  EXPECT_THAT(calls, ElementsAre("start a", "start b", "finish b", "finish a"));

  for (const auto& [prefix, message] :
       {std::pair{"init KavTimezone: ", "init KavTimezone: boom"},
        std::pair{"Init Globals: ", "Init Globals: boom"}, std::pair{"", "boom"}}) {
    calls.clear();
    StartupSequence failing({step("a", "", false), step("t", prefix, true), step("c", "", false)});
    try {
      failing.Start();
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message);
    }
    EXPECT_THAT(calls, ElementsAre("start a", "start t", "finish a"));
  }
}

TEST(StartupSequence, ProductStepsKeepTheLinkOrder) {
  std::vector<std::string> units;
  std::vector<std::string> prefixes;
  for (const auto& step : SharedUnitSteps({.programFolder = "/nowhere"})) {
    units.push_back(step.unit);
    prefixes.push_back(step.errorPrefix);
  }
  EXPECT_THAT(units, ElementsAre("KavTimezone", "KavCrypto", "Globals", "KavRegistry", "synclog"));
  EXPECT_THAT(prefixes, ElementsAre("init KavTimezone: ", "", "Init Globals: ", "", ""));
}

} // namespace
} // namespace orvo
