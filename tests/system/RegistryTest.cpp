#include "system/Registry.h"
#include "system/OrvoRegistryAccess.h"

#include "system/ScratchDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace orvo {
namespace {

using test::ReadFile;
using test::ScopedEnv;
using test::ScratchDir;
using test::WriteFile;
using ::testing::HasSubstr;

constexpr std::string_view kHead = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string Utf16File(std::string_view ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

TEST(RegistryFile, KeepsValueTypesAndData) {
  const auto contents =
      RegistryContents::Parse(std::string(kHead) + R"([HKEY_LOCAL_MACHINE\SOFTWARE\Test]
@="default"
"Text"="C:\\Orvo \"x\"\\"
"Number"=dword:0000002a
"Expand"=hex(2):25,00,41,00,25,00,00,00
"Blob"=hex:01,02,\
  03,04
"Wide"=hex(b):01,00,00,00,00,00,00,00
"Gone"="x"
"Gone"=-
)");
  EXPECT_TRUE(contents.problems().empty());
  const auto key = contents.Values("SOFTWARE\\Test");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->at("").type, regtype::Sz);
  EXPECT_EQ(RegDataToString(key->at("").data), "default");
  EXPECT_EQ(RegDataToString(key->at("TEXT").data), "C:\\Orvo \"x\"\\");
  EXPECT_EQ(key->at("TEXT").data.size(), 2 * std::string("C:\\Orvo \"x\"\\").size() + 2);
  EXPECT_EQ(key->at("NUMBER").type, regtype::Dword);
  EXPECT_EQ(key->at("NUMBER").data, (std::vector<std::uint8_t>{0x2a, 0, 0, 0}));
  EXPECT_EQ(key->at("EXPAND").type, regtype::ExpandSz);
  EXPECT_EQ(RegDataToString(key->at("EXPAND").data), "%A%");
  EXPECT_EQ(key->at("BLOB").type, regtype::Binary);
  EXPECT_EQ(key->at("BLOB").data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(key->at("WIDE").type, regtype::Qword);
  EXPECT_EQ(key->count("GONE"), 0u);
}

TEST(RegistryFile, KeyPathsIgnoreCaseAndParentsExist) {
  const auto contents =
      RegistryContents::Parse(std::string(kHead) + "[HKLM\\Software\\Tornvale\\Orvo]\n"
                                                   "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                                   "\"Ignored\"=\"x\"\n");
  EXPECT_TRUE(contents.KeyExists("\\SOFTWARE\\TORNVALE\\orvo\\"));
  EXPECT_TRUE(contents.KeyExists("software\\tornvale"));
  EXPECT_FALSE(contents.KeyExists("software\\torn"));
  EXPECT_FALSE(contents.KeyExists("Software\\Other"));
  EXPECT_TRUE(contents.problems().empty());
}

TEST(RegistryFile, DeletedKeyTakesItsSubkeysAlong) {
  const auto contents =
      RegistryContents::Parse(std::string(kHead) + "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
                                                   "[HKEY_LOCAL_MACHINE\\A\\D]\n"
                                                   "[HKEY_LOCAL_MACHINE\\A\\B!]\n"
                                                   "[HKEY_LOCAL_MACHINE\\A\\BC]\n"
                                                   "[-HKEY_LOCAL_MACHINE\\a\\b]\n");
  EXPECT_FALSE(contents.KeyExists("A\\B"));
  EXPECT_FALSE(contents.KeyExists("A\\B\\C"));
  EXPECT_TRUE(contents.KeyExists("A\\D"));
  // Keys that only start with the same letters are other keys.
  EXPECT_TRUE(contents.KeyExists("A\\B!"));
  EXPECT_TRUE(contents.KeyExists("A\\BC"));
}

TEST(RegistryFile, ReadsUtf16ExportOfRegedit) {
  const auto contents = RegistryContents::Parse(
      Utf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                "\"V\"=\"abc\"\r\n"));
  const auto key = contents.Values("k");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RegDataToString(key->at("V").data), "abc");
}

TEST(RegistryFile, ReportsBadLinesAndKeepsTheRest) {
  const auto contents = RegistryContents::Parse(std::string(kHead) + "\"Early\"=\"x\"\n"
                                                                     "[HKEY_LOCAL_MACHINE\\K]\n"
                                                                     "\"Bad\"=dword:123456789\n"
                                                                     "\"Odd\"=hex:1,zz\n"
                                                                     "\"Open=\"x\"\n"
                                                                     "garbage\n"
                                                                     "\"Good\"=dword:1\n");
  EXPECT_EQ(contents.problems().size(), 5u);
  EXPECT_THAT(contents.problems()[1], HasSubstr("line 5"));
  const auto key = contents.Values("K");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->size(), 1u);
  EXPECT_EQ(key->count("GOOD"), 1u);
}

class RegistryFileTest : public ::testing::Test {
protected:
  ScratchDir dir_;
  std::filesystem::path file_ = dir_ / "hklm.reg";
};

TEST_F(RegistryFileTest, MissingFileIsAnEmptyRegistry) {
  EXPECT_FALSE(RegKey::Open("SOFTWARE", RegAccess::Read, file_));
  EXPECT_EQ(RegistryContents::Load(file_).state(), RegistryContents::FileState::Missing);
}

// A FIFO as the registry file used to hold the program for ever; it is now
// an unreadable file, refused at once, and nothing is written to it.
TEST_F(RegistryFileTest, AFifoIsUnreadableAndNeverWaitedFor) {
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  EXPECT_EQ(RegistryContents::Load(file_).state(), RegistryContents::FileState::Unreadable);
  EXPECT_FALSE(RegKey::Open("SOFTWARE", RegAccess::Read, file_));
  EXPECT_FALSE(RegKey::OpenOrCreate("SOFTWARE\\Tornvale", file_));
}

TEST_F(RegistryFileTest, CreatingAKeyInAMissingFileWritesAReadableFile) {
  auto key = RegKey::OpenOrCreate("\\software\\Tornvale\\", file_);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->path(), "software\\Tornvale");
  EXPECT_EQ(ReadFile(file_),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\software\\Tornvale]\n");
  EXPECT_TRUE(RegKey::Open("SOFTWARE\\TORNVALE", RegAccess::Read, file_));
}

TEST_F(RegistryFileTest, CreatingAKeyAppendsInTheFilesEncodingAndKeepsItsContent) {
  const std::string original =
      std::string(kHead) + "; kept\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=\"1\"";
  WriteFile(file_, original);
  ASSERT_TRUE(RegKey::OpenOrCreate("B\\C", file_));
  const auto text = ReadFile(file_);
  EXPECT_EQ(text.substr(0, original.size()), original);
  EXPECT_EQ(text.substr(original.size()), "\r\n\r\n[HKEY_LOCAL_MACHINE\\B\\C]\r\n");
  EXPECT_TRUE(RegKey::Open("A", RegAccess::Read, file_)->ValueExists("v"));

  const auto utf16 = dir_ / "utf16.reg";
  WriteFile(utf16,
            Utf16File("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"));
  ASSERT_TRUE(RegKey::OpenOrCreate("B", utf16));
  EXPECT_TRUE(RegKey::Open("a", RegAccess::Read, utf16));
  EXPECT_TRUE(RegKey::Open("b", RegAccess::Read, utf16));
  EXPECT_TRUE(RegistryContents::Load(utf16).problems().empty());
}

TEST_F(RegistryFileTest, CreationFailsQuietlyWhenTheFileCannotBeWritten) {
  EXPECT_FALSE(RegKey::OpenOrCreate("A", dir_ / "no-such-folder" / "hklm.reg"));
  if (::geteuid() == 0) {
    GTEST_SKIP() << "file permissions do not bind root";
  }
  WriteFile(file_, std::string(kHead) + "[HKEY_LOCAL_MACHINE\\A]\n");
  std::filesystem::permissions(file_, std::filesystem::perms::owner_read);
  EXPECT_FALSE(RegKey::OpenOrCreate("B", file_));
  EXPECT_FALSE(RegKey::Open("A", RegAccess::ReadWrite, file_));
  EXPECT_TRUE(RegKey::Open("A", RegAccess::Read, file_));
  std::filesystem::permissions(file_, std::filesystem::perms::none);
  EXPECT_FALSE(RegKey::Open("A", RegAccess::Read, file_));
}

// How the two typed reads treat each kind of stored value.
struct TypedReadCase {
  const char* name;
  const char* data;      // right-hand side in the .reg file
  const char* asString;  // result or error of ReadString
  const char* asInteger; // result or error of ReadInteger
};

class TypedReadTest : public RegistryFileTest,
                      public ::testing::WithParamInterface<TypedReadCase> {};

std::string Outcome(auto read) {
  try {
    return read();
  } catch (const ERegistryException& e) {
    return std::string("error: ") + e.what();
  }
}

TEST_P(TypedReadTest, MatchesTheRegistryObjectsRules) {
  WriteFile(file_, std::string(kHead) + "[HKEY_LOCAL_MACHINE\\K]\n\"v\"=" + GetParam().data + "\n");
  const auto key = RegKey::Open("K", RegAccess::Read, file_);
  ASSERT_TRUE(key);
  EXPECT_EQ(Outcome([&] { return key->ReadString("v"); }), GetParam().asString);
  EXPECT_EQ(Outcome([&] { return std::to_string(key->ReadInteger("v")); }), GetParam().asInteger);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TypedReadTest,
    ::testing::Values(
        TypedReadCase{"Dword", "dword:00000001", "error: Invalid data type for 'v'", "1"},
        TypedReadCase{"NegativeDword", "dword:ffffffff", "error: Invalid data type for 'v'", "-1"},
        // "1" and its NUL fill exactly four bytes: the type is what fails.
        TypedReadCase{"OneCharString", "\"1\"", "1", "error: Invalid data type for 'v'"},
        TypedReadCase{"LongerString", "\"10\"", "10", "error: Failed to get data for 'v'"},
        TypedReadCase{"EmptyString", "\"\"", "", "error: Invalid data type for 'v'"},
        TypedReadCase{"StringUpToNul", "hex(1):41,00,00,00,42,00,00,00", "A",
                      "error: Failed to get data for 'v'"},
        TypedReadCase{"FourBinaryBytes", "hex:01,00,00,00", "error: Invalid data type for 'v'",
                      "error: Invalid data type for 'v'"},
        TypedReadCase{"EmptyBinary", "hex:", "", "error: Invalid data type for 'v'"},
        TypedReadCase{"Qword", "hex(b):01,00,00,00,00,00,00,00", "error: Invalid data type for 'v'",
                      "error: Failed to get data for 'v'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryFileTest, MissingValueReadsAsEmptyStringAndFailsAsNumber) {
  WriteFile(file_, std::string(kHead) + "[HKEY_LOCAL_MACHINE\\K]\n");
  const auto key = RegKey::Open("K", RegAccess::Read, file_);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ReadString("nothing"), "");
  EXPECT_THROW((void)key->ReadInteger("nothing"), ERegistryException);
}

class CoreExePathTest : public RegistryFileTest {
protected:
  void Registry(const std::string& coreSection) {
    WriteFile(file_,
              std::string(kHead) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale]\n" + coreSection);
  }
  ScopedEnv env_{"ORVO_REGISTRY_FILE", file_.string()};
  std::string path_ = "stale";
};

TEST_F(CoreExePathTest, NoServerInstalled) {
  EXPECT_FALSE(GetCoreExePath(path_));
  EXPECT_EQ(path_, "");
  Registry("");
  path_ = "stale";
  EXPECT_FALSE(GetCoreExePath(path_));
  EXPECT_EQ(path_, "");
}

TEST_F(CoreExePathTest, KeyWithoutExepathGivesTrueAndAnEmptyPath) {
  Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\n");
  EXPECT_TRUE(GetCoreExePath(path_));
  EXPECT_EQ(path_, "");
  EXPECT_EQ(CoreCertFolder(path_), "/cert/");
}

TEST_F(CoreExePathTest, ExepathWithOrWithoutTrailingDelimiterGivesOneCertFolder) {
  for (const std::string value : {"/opt/orvo", "/opt/orvo/"}) {
    Registry("[HKEY_LOCAL_MACHINE\\software\\tornvale\\orvo network monitor\\server\\core]\n"
             "\"ExePath\"=\"" +
             value + "\"\n");
    ASSERT_TRUE(GetCoreExePath(path_)) << value;
    EXPECT_EQ(path_, value);
    EXPECT_EQ(CoreCertFolder(path_), "/opt/orvo/cert/");
  }
}

TEST_F(CoreExePathTest, ExpandableStringIsReturnedUnexpanded) {
  // "%P%/x" as REG_EXPAND_SZ
  Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\n"
           "\"Exepath\"=hex(2):25,00,50,00,25,00,2f,00,78,00,00,00\n");
  ASSERT_TRUE(GetCoreExePath(path_));
  EXPECT_EQ(path_, "%P%/x");
}

TEST_F(CoreExePathTest, ExepathOfWrongTypeRaisesTheRegistryError) {
  Registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tornvale\\Orvo Network Monitor\\Server\\Core]\n"
           "\"Exepath\"=dword:00000001\n");
  try {
    (void)GetCoreExePath(path_);
    FAIL() << "no error";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Exepath'");
  }
}

} // namespace
} // namespace orvo
