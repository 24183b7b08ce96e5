// The data folder's safety at start, the trust in a library beside the
// program, and folder identity as the file system sees it.

#include "files/DataFolder.h"
#include "files/FilesTestSupport.h"
#include "files/FolderIdentity.h"
#include "files/LibraryTrust.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace orvo::test {
namespace {

using ::testing::HasSubstr;

TEST(DataFolderTest, AMissingFolderIsCreatedPrivate) {
  const TempFolder root;
  const fs::path data = root / "prog/Data";
  const auto result = files::PrepareDataFolder(data.string() + "/");
  EXPECT_TRUE(result.safe);
  EXPECT_FALSE(result.missing);
  EXPECT_TRUE(fs::is_directory(data));
  EXPECT_EQ(ModeOf(data), 0700u);
}

// A loose data folder with a planted link and a key left by a killed run:
// the folder is closed, the leftovers go (the link as a link), and the file
// the link pointed to is not touched.
TEST(DataFolderTest, AnOpenFolderIsClosedAndLeftoversRemoved) {
  const TempFolder root;
  const fs::path data = root / "Data";
  fs::create_directory(data);
  ::chmod(data.c_str(), 0777);
  Write(root / "victim", "someone else's file");
  fs::create_symlink(root / "victim", data / "orvo.key");
  Write(data / "orvo.crt", "left by a killed run");
  Write(data / ".root.pem.AbC123", "a writer's temporary file");
  Write(data / "keep.txt", "not ours to remove");

  const auto result = files::PrepareDataFolder(data.string() + "/");
  ASSERT_TRUE(result.safe) << result.reason;
  EXPECT_EQ(ModeOf(data), 0700u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(data / "orvo.key")));
  EXPECT_FALSE(fs::exists(data / "orvo.crt"));
  EXPECT_FALSE(fs::exists(data / ".root.pem.AbC123"));
  EXPECT_TRUE(fs::exists(data / "keep.txt"));
  EXPECT_EQ(Read(root / "victim"), "someone else's file");
}

struct UnsafeCase {
  const char* name;
  std::function<void(const TempFolder&, const fs::path&)> plant;
  const char* reason;
};

void PrintTo(const UnsafeCase& aCase, std::ostream* aOut) {
  *aOut << aCase.name;
}

class UnsafeDataFolderTest : public ::testing::TestWithParam<UnsafeCase> {};

TEST_P(UnsafeDataFolderTest, IsRefusedWithTheReason) {
  const TempFolder root;
  const fs::path data = root / "Data";
  GetParam().plant(root, data);
  if (std::string(GetParam().name) == "AnotherUsersFolder" && ::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give the folder away";
  }
  const auto result = files::PrepareDataFolder(data.string() + "/");
  EXPECT_FALSE(result.safe);
  EXPECT_EQ(result.reason, GetParam().reason);
  EXPECT_EQ(files::DataFolderMessage(data.string() + "/", result.reason),
            "The data folder " + data.string() + "/ is not safe to use: " + GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnsafeDataFolderTest,
    ::testing::Values(UnsafeCase{"ALinkToAnotherFolder",
                                 [](const TempFolder& r, const fs::path& d) {
                                   fs::create_directory(r / "elsewhere");
                                   fs::create_directory_symlink(r / "elsewhere", d);
                                 },
                                 "it is a link"},
                      UnsafeCase{"APlainFile",
                                 [](const TempFolder&, const fs::path& d) { Write(d, "x"); },
                                 "it is not a folder"},
                      UnsafeCase{"AnotherUsersFolder",
                                 [](const TempFolder&, const fs::path& d) {
                                   fs::create_directory(d);
                                   (void)::chown(d.c_str(), kStranger, kStranger);
                                 },
                                 "it belongs to another user"}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

class LibraryTrustTest : public ::testing::Test {
protected:
  LibraryTrustTest() {
    fs::create_directory(fRoot / "prog");
    fs::create_directory(fRoot / "prog/redist");
    ::chmod((fRoot / "prog").c_str(), 0755);
    ::chmod((fRoot / "prog/redist").c_str(), 0755);
    Write(fLibrary, "ELF");
    ::chmod(fLibrary.c_str(), 0644);
  }
  [[nodiscard]] bool Trusted(std::string* aReason = nullptr) const {
    std::string reason;
    const bool trusted = files::IsTrustedLibrary(fLibrary.string(), reason);
    if (aReason != nullptr) {
      *aReason = reason;
    }
    return trusted;
  }
  TempFolder fRoot; // below the sticky /tmp, which is fine for our own entries
  fs::path fLibrary = fRoot / "prog/redist/libcrypto.so.3";
};

TEST_F(LibraryTrustTest, OurOwnLibraryInClosedFoldersIsTrusted) {
  std::string reason;
  EXPECT_TRUE(Trusted(&reason)) << reason;
}

TEST_F(LibraryTrustTest, AFolderOthersMayWriteIsNotTrusted) {
  ::chmod((fRoot / "prog/redist").c_str(), 0777);
  std::string reason;
  EXPECT_FALSE(Trusted(&reason));
  EXPECT_EQ(reason, (fRoot / "prog/redist").string() + " is writable by others");
}

TEST_F(LibraryTrustTest, ALibraryOthersMayWriteIsNotTrusted) {
  ::chmod(fLibrary.c_str(), 0664);
  std::string reason;
  EXPECT_FALSE(Trusted(&reason));
  EXPECT_THAT(reason, HasSubstr("is writable by others"));
}

TEST_F(LibraryTrustTest, ALibraryOfAnotherUserIsNotTrusted) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give the file away";
  }
  ASSERT_EQ(::chown(fLibrary.c_str(), kStranger, kStranger), 0);
  std::string reason;
  EXPECT_FALSE(Trusted(&reason));
  EXPECT_EQ(reason, fLibrary.string() + " belongs to another user");
}

TEST_F(LibraryTrustTest, ALinkIsJudgedByWhatItLeadsTo) {
  fs::create_directory(fRoot / "open");
  ::chmod((fRoot / "open").c_str(), 0777);
  Write(fRoot / "open/libcrypto.so.3", "ELF");
  fs::remove(fLibrary);
  fs::create_symlink(fRoot / "open/libcrypto.so.3", fLibrary);
  EXPECT_FALSE(Trusted());
}

TEST(FolderIdentityTest, SameFolderAsTheFileSystemSeesIt) {
  const TempFolder root;
  fs::create_directories(root / "orvo/cert");
  fs::create_directory_symlink(root / "orvo/cert", root / "link");
  const std::string cert = (root / "orvo/cert/").string();
  EXPECT_TRUE(files::SameFolder(cert, (root / "orvo/cert").string()));
  EXPECT_TRUE(files::SameFolder(cert, (root / "orvo/./cert/").string()));
  EXPECT_TRUE(files::SameFolder(cert, (root / "link/").string()));
  // Another letter case names another folder here, existing or not.
  EXPECT_FALSE(files::SameFolder(cert, (root / "orvo/CERT/").string()));
  fs::create_directories(root / "orvo/CERT");
  EXPECT_FALSE(files::SameFolder(cert, (root / "orvo/CERT/").string()));
  // Neither exists yet: the canonical paths decide.
  EXPECT_TRUE(files::SameFolder((root / "new/cert/").string(), (root / "new/cert").string()));
  EXPECT_FALSE(files::SameFolder((root / "new/cert/").string(), (root / "new/Cert").string()));
  EXPECT_FALSE(files::SameFolder("", cert));
}

} // namespace
} // namespace orvo::test
