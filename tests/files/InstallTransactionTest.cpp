// The install transaction: stage, verify, swap, with faults injected where
// they hurt (a writer that fails after some bytes, a full file system, a
// read-only old key, planted links and FIFOs), and the restore from a backup.

#include "files/InstallTransaction.h"
#include "files/FilesTestSupport.h"
#include "support/FailingWriter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace orvo::test {
namespace {

using files::InstallFailure;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

const std::vector<std::string> kNames = {"root.pem", "orvo.crt", "orvo.key"};

// Everything in a folder except the entries the transaction leaves on purpose.
std::vector<std::string> EntriesOf(const fs::path& aFolder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(aFolder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class InstallTest : public ::testing::Test {
protected:
  void PlaceOldFiles() {
    Write(fTarget / "root.pem", "old chain");
    Write(fTarget / "orvo.crt", "old certificate");
    Write(fTarget / "orvo.key", "old key");
    ::chmod((fTarget / "orvo.key").c_str(), 0600);
  }

  files::InstallPlan Plan(std::map<std::string, std::string> aFiles = {}) {
    if (aFiles.empty()) {
      aFiles = fNew;
    }
    files::InstallPlan plan;
    plan.folder = fTarget.Slashed();
    plan.names = kNames;
    plan.keyName = "orvo.key";
    plan.backupName = "Backup_2024111_1234";
    plan.writeFiles = [aFiles](const std::string& aStage, files::TReasons& aReasons) {
      for (const auto& [name, bytes] : aFiles) {
        std::ofstream out(aStage + name, std::ios::binary);
        out << bytes;
        out.flush();
        if (!out) {
          aReasons.push_back("Coud n't write file to location '" + aStage + name + "'");
          return false;
        }
      }
      return true;
    };
    plan.verify = [this](const std::string& aStage, files::TReasons& aReasons) {
      fVerifiedStage = aStage;
      for (const auto& [name, bytes] : fNew) {
        if (Read(aStage + name) != bytes) {
          aReasons.push_back(name + " reads back wrong");
          return false;
        }
      }
      return true;
    };
    return plan;
  }

  void ExpectOldFilesInPlace() const {
    EXPECT_EQ(Read(fTarget / "root.pem"), "old chain");
    EXPECT_EQ(Read(fTarget / "orvo.crt"), "old certificate");
    EXPECT_EQ(Read(fTarget / "orvo.key"), "old key");
  }
  void ExpectNewFilesInPlace() const {
    for (const auto& [name, bytes] : fNew) {
      EXPECT_EQ(Read(fTarget / name), bytes) << name;
    }
  }

  TempFolder fTarget;
  std::map<std::string, std::string> fNew = {
      {"root.pem", "new chain"}, {"orvo.crt", "new certificate"}, {"orvo.key", "new key"}};
  std::string fVerifiedStage;
};

TEST_F(InstallTest, IntoAnEmptyFolderWritesTheFilesWithoutABackup) {
  const auto result = files::InstallFiles(Plan());
  ASSERT_TRUE(result.Ok()) << ::testing::PrintToString(result.errors);
  ExpectNewFilesInPlace();
  EXPECT_EQ(ModeOf(fTarget / "orvo.key"), 0600u);
  EXPECT_EQ(ModeOf(fTarget / "orvo.crt"), 0644u);
  EXPECT_TRUE(result.backupFolder.empty());
  // Nothing is left beside the three files: no staging folder, no backup.
  EXPECT_THAT(EntriesOf(fTarget.Path()), UnorderedElementsAre("root.pem", "orvo.crt", "orvo.key"));
  EXPECT_THAT(fVerifiedStage, HasSubstr("/proc/self/fd/"));
}

// Finding 1: a hardened 0400 key used to stop Finish half-way, leaving a new
// certificate beside the old key. Now the key is replaced and keeps its
// owner, group and mode.
TEST_F(InstallTest, AReadOnlyOldKeyIsReplacedAndKeepsOwnerAndMode) {
  PlaceOldFiles();
  ::chmod((fTarget / "orvo.key").c_str(), 0400);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((fTarget / "orvo.key").c_str(), kStranger, kStranger), 0);
  }
  const auto result = files::InstallFiles(Plan());
  ASSERT_TRUE(result.Ok()) << ::testing::PrintToString(result.errors);
  ExpectNewFilesInPlace();
  EXPECT_EQ(ModeOf(fTarget / "orvo.key"), 0400u);
  if (root) {
    EXPECT_EQ(OwnerOf(fTarget / "orvo.key"), kStranger);
  }
  EXPECT_THAT(result.notes, IsEmpty());
  // The backup holds the old files, closed to others, the key as it was.
  const fs::path backup = result.backupFolder;
  EXPECT_EQ(result.backupFolder, fTarget.Slashed() + "Backup_2024111_1234/");
  EXPECT_EQ(ModeOf(backup), 0700u);
  EXPECT_EQ(Read(backup / "orvo.key"), "old key");
  EXPECT_EQ(Read(backup / "root.pem"), "old chain");
  EXPECT_EQ(ModeOf(backup / "orvo.key"), 0400u);
}

TEST_F(InstallTest, AKeyOthersCouldReadIsNarrowedWithANote) {
  PlaceOldFiles();
  ::chmod((fTarget / "orvo.key").c_str(), 0644);
  const auto result = files::InstallFiles(Plan());
  ASSERT_TRUE(result.Ok());
  EXPECT_EQ(ModeOf(fTarget / "orvo.key"), 0640u);
  EXPECT_THAT(result.notes,
              ElementsAre("The private key file " + fTarget.Slashed() +
                          "orvo.key could be read by other users; its mode is now 0640."));
}

struct PlantedCase {
  const char* name;
  const char* file;
  std::function<void(const TempFolder&)> plant;
};

void PrintTo(const PlantedCase& aCase, std::ostream* aOut) {
  *aOut << aCase.name;
}

class PlantedEntryInstallTest : public InstallTest,
                                public ::testing::WithParamInterface<PlantedCase> {};

// Finding 2: a link planted at orvo.key used to receive the new key (and the
// backup copied what it pointed to). Now any entry that is not a regular file
// stops Finish before anything is written, a FIFO without blocking.
TEST_P(PlantedEntryInstallTest, StopsBeforeAnythingIsWritten) {
  Write(fTarget / "orvo.crt", "old certificate");
  GetParam().plant(fTarget);
  const auto before = EntriesOf(fTarget.Path());
  const auto result = files::InstallFiles(Plan());
  EXPECT_EQ(result.failure, InstallFailure::NotRegular);
  const std::string path = fTarget.Slashed() + GetParam().file;
  EXPECT_EQ(result.offendingPath, path);
  EXPECT_THAT(result.errors,
              ElementsAre("The file " + path + " is not a regular file. Remove it and try again."));
  EXPECT_EQ(EntriesOf(fTarget.Path()), before); // no backup, no staging
  EXPECT_EQ(Read(fTarget / "orvo.crt"), "old certificate");
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PlantedEntryInstallTest,
    ::testing::Values(
        PlantedCase{"LinkAtTheKey", "orvo.key",
                    [](const TempFolder& t) {
                      Write(t / "victim", "another file");
                      fs::create_symlink(t / "victim", t / "orvo.key");
                    }},
        PlantedCase{
            "DanglingLinkAtTheChain", "root.pem",
            [](const TempFolder& t) { fs::create_symlink("/nonexistent/x", t / "root.pem"); }},
        PlantedCase{"FifoAtTheChain", "root.pem",
                    [](const TempFolder& t) { ::mkfifo((t / "root.pem").c_str(), 0600); }},
        PlantedCase{"FolderAtTheKey", "orvo.key",
                    [](const TempFolder& t) { fs::create_directory(t / "orvo.key"); }}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

TEST_F(InstallTest, AFailedWriteLeavesTheOldFilesInPlace) {
  PlaceOldFiles();
  auto plan = Plan();
  plan.writeFiles = [](const std::string& aStage, files::TReasons& aReasons) {
    Write(aStage + "root.pem", "new chain");
    Write(aStage + "orvo.crt", "new certi"); // then the disk is full
    aReasons.push_back("Coud n't write file to location '" + aStage + "orvo.crt'");
    return false;
  };
  const auto result = files::InstallFiles(plan);
  EXPECT_EQ(result.failure, InstallFailure::Write);
  ExpectOldFilesInPlace();
  EXPECT_THAT(
      result.errors,
      ElementsAre("Coud n't write file to location '" + fTarget.Slashed() + "orvo.crt'",
                  "The previous files in " + fTarget.Slashed() + " are in place unchanged."));
  // The backup stays; the staging folder is gone.
  EXPECT_THAT(EntriesOf(fTarget.Path()),
              UnorderedElementsAre("root.pem", "orvo.crt", "orvo.key", "Backup_2024111_1234"));
}

TEST_F(InstallTest, AFailedVerificationLeavesTheOldFilesInPlace) {
  PlaceOldFiles();
  auto plan = Plan();
  plan.verify = [](const std::string&, files::TReasons& aReasons) {
    aReasons.push_back("the key does not pair with the certificate");
    return false;
  };
  const auto result = files::InstallFiles(plan);
  EXPECT_EQ(result.failure, InstallFailure::Write);
  EXPECT_THAT(result.errors, ::testing::Contains("the key does not pair with the certificate"));
  ExpectOldFilesInPlace();
}

// A backup copy that fails after some bytes stops Finish before anything is
// written, and leaves no half backup behind.
TEST_F(InstallTest, ABackupCopyThatFailsStopsBeforeWriting) {
  PlaceOldFiles();
  FailingWriter writer(12); // "old chain" fits, "old certificate" does not
  auto plan = Plan();
  plan.writer = &writer;
  const auto result = files::InstallFiles(plan);
  EXPECT_EQ(result.failure, InstallFailure::Backup);
  EXPECT_THAT(result.errors, ElementsAre(HasSubstr(std::strerror(ENOSPC))));
  ExpectOldFilesInPlace();
  EXPECT_THAT(EntriesOf(fTarget.Path()), UnorderedElementsAre("root.pem", "orvo.crt", "orvo.key"));
}

// Finding 6: the stamp has no leading zeros, so 11 January 1:00 and 1 November
// 10:00 may give the same name; the older backup is never reused.
TEST_F(InstallTest, AnExistingBackupFolderGetsASuffixAndIsKept) {
  PlaceOldFiles();
  fs::create_directory(fTarget / "Backup_2024111_1234");
  Write(fTarget / "Backup_2024111_1234/orvo.key", "the older backup");
  fs::create_directory(fTarget / "Backup_2024111_1234_2");
  const auto result = files::InstallFiles(Plan());
  ASSERT_TRUE(result.Ok());
  EXPECT_EQ(result.backupName, "Backup_2024111_1234_3");
  EXPECT_EQ(Read(fTarget / "Backup_2024111_1234/orvo.key"), "the older backup");
  EXPECT_EQ(Read(fTarget / "Backup_2024111_1234_3/orvo.key"), "old key");
}

// A real full file system: a small tmpfs (needs root; skipped otherwise).
TEST_F(InstallTest, AFullFileSystemLeavesTheOldFilesInPlace) {
  if (::mount("tmpfs", fTarget.Path().c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  }
  struct Unmount {
    const fs::path& path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{fTarget.Path()};
  PlaceOldFiles();
  fNew["orvo.crt"] = std::string(200 * 1024, 'c');
  const auto result = files::InstallFiles(Plan(fNew));
  EXPECT_EQ(result.failure, InstallFailure::Write);
  ExpectOldFilesInPlace();
  EXPECT_THAT(EntriesOf(fTarget.Path()),
              UnorderedElementsAre("root.pem", "orvo.crt", "orvo.key", "Backup_2024111_1234"));
}

TEST_F(InstallTest, RestorePutsTheBackupBackWithItsModes) {
  Write(fTarget / "orvo.crt", "old certificate");
  Write(fTarget / "orvo.key", "old key");
  ::chmod((fTarget / "orvo.key").c_str(), 0400);
  const auto installed = files::InstallFiles(Plan());
  ASSERT_TRUE(installed.Ok());
  ExpectNewFilesInPlace();

  const auto restored = files::RestoreFromBackup(
      {fTarget.Slashed(), installed.backupName, kNames, "orvo.key", nullptr});
  ASSERT_TRUE(restored.Ok()) << ::testing::PrintToString(restored.errors);
  EXPECT_EQ(Read(fTarget / "orvo.crt"), "old certificate");
  EXPECT_EQ(Read(fTarget / "orvo.key"), "old key");
  EXPECT_EQ(ModeOf(fTarget / "orvo.key"), 0400u);
  // root.pem did not exist before the install, so it is gone again.
  EXPECT_FALSE(fs::exists(fTarget / "root.pem"));
  EXPECT_THAT(EntriesOf(fTarget.Path()),
              UnorderedElementsAre("orvo.crt", "orvo.key", installed.backupName));
  EXPECT_EQ(Read(fTarget / installed.backupName / "orvo.key"), "old key"); // the backup stays
}

TEST_F(InstallTest, ARestoreThatFailsLeavesTheNewFiles) {
  PlaceOldFiles();
  const auto installed = files::InstallFiles(Plan());
  ASSERT_TRUE(installed.Ok());
  FailingWriter writer(3);
  const auto restored = files::RestoreFromBackup(
      {fTarget.Slashed(), installed.backupName, kNames, "orvo.key", &writer});
  EXPECT_EQ(restored.failure, InstallFailure::Write);
  ExpectNewFilesInPlace();
  EXPECT_THAT(EntriesOf(fTarget.Path()),
              UnorderedElementsAre("root.pem", "orvo.crt", "orvo.key", installed.backupName));
}

TEST_F(InstallTest, ARestoreRefusesALinkPlantedSinceTheInstall) {
  PlaceOldFiles();
  const auto installed = files::InstallFiles(Plan());
  ASSERT_TRUE(installed.Ok());
  fs::remove(fTarget / "orvo.key");
  Write(fTarget / "victim", "another file");
  fs::create_symlink(fTarget / "victim", fTarget / "orvo.key");
  const auto restored = files::RestoreFromBackup(
      {fTarget.Slashed(), installed.backupName, kNames, "orvo.key", nullptr});
  EXPECT_EQ(restored.failure, InstallFailure::NotRegular);
  EXPECT_EQ(Read(fTarget / "victim"), "another file");
}

} // namespace
} // namespace orvo::test
