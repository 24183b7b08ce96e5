#include "files/InstallTransaction.h"

#include "files/BoundedRead.h"
#include "files/Folder.h"
#include "files/Secret.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace orvo::files {

namespace {

constexpr const char* kStagePrefix = ".orvo-install-";
constexpr const char* kAsidePrefix = "old.";
constexpr int kMaxBackupSuffix = 1000;

FileWriter& WriterOf(FileWriter* aWriter) {
  return aWriter != nullptr ? *aWriter : SystemWriter();
}

std::string OctalMode(mode_t aMode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(aMode & 07777));
  return text;
}

// The old files as they are before anything is done.
struct OldFile {
  std::string name;
  std::optional<struct stat> info; // empty when the file does not exist
};

std::string NotRegularText(const std::string& aPath) {
  return "The file " + aPath + " is not a regular file. Remove it and try again.";
}

bool LookAtOldFiles(const Folder& aFolder, const std::vector<std::string>& aNames,
                    std::vector<OldFile>& aOld, InstallResult& aResult) {
  for (const std::string& name : aNames) {
    struct stat info {};
    switch (aFolder.Kind(name, &info)) {
    case EntryKind::Missing:
      aOld.push_back({name, std::nullopt});
      break;
    case EntryKind::Regular:
      aOld.push_back({name, info});
      break;
    case EntryKind::Other:
      aResult.failure = InstallFailure::NotRegular;
      aResult.offendingPath = aFolder.PathOf(name);
      aResult.errors.push_back(NotRegularText(aResult.offendingPath));
      return false;
    }
  }
  return true;
}

bool FolderIsWritable(const Folder& aFolder, InstallResult& aResult) {
  if (::faccessat(aFolder.Fd(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    aResult.failure = InstallFailure::Write;
    aResult.errors.push_back("The folder " + aFolder.Path() +
                             " cannot be written: " + std::strerror(errno) + ".");
    return false;
  }
  return true;
}

// Gives a staged file the owner and mode it must have in place. A file that
// replaces another keeps that file's owner, group and mode; a private key
// that others could read loses the bits for others.
bool ApplyOwnerAndMode(int aFd, const std::optional<struct stat>& aModel, bool aIsKey,
                       const std::string& aPath, InstallResult& aResult) {
  mode_t mode = aIsKey ? 0600 : 0644;
  if (aModel) {
    mode = aModel->st_mode & 07777;
    if (aModel->st_uid != ::geteuid() || aModel->st_gid != ::getegid()) {
      // Keeping a stranger's ownership needs privileges; without them the
      // file is ours, which the owner of the folder can always fix.
      (void)::fchown(aFd, aModel->st_uid, aModel->st_gid);
    }
  }
  if (aIsKey && (mode & 0007) != 0) {
    mode &= ~mode_t{0007};
    aResult.notes.push_back("The private key file " + aPath +
                            " could be read by other users; its mode is now " + OctalMode(mode) +
                            ".");
  }
  if (::fchmod(aFd, mode) != 0) {
    aResult.errors.push_back("Could not set the mode of " + aPath + ": " + std::strerror(errno) +
                             ".");
    return false;
  }
  return true;
}

// Copies aName of aFrom into the new file aName of aTo through the writer,
// with the source's owner and mode; synced, then read back and compared.
bool CopyVerified(const Folder& aFrom, const Folder& aTo, const std::string& aName,
                  const struct stat& aSource, FileWriter& aWriter, std::string& aError) {
  SecretText bytes;
  const ReadOptions noLinks{kMaxReadSize, Links::Refuse};
  if (const auto read =
          ReadRegularFileAt(aFrom.Fd(), aName, aFrom.PathOf(aName), bytes.Text(), noLinks);
      !read.Ok()) {
    aError = read.error;
    return false;
  }
  UniqueFd out = aTo.CreateFile(aName, 0600, aError);
  if (!out.Valid()) {
    return false;
  }
  std::string reason;
  if (!aWriter.Write(out.Get(), bytes.Text(), reason) || !aWriter.Sync(out.Get(), reason)) {
    aError = "cannot write " + aTo.PathOf(aName) + ": " + reason;
    return false;
  }
  if (aSource.st_uid != ::geteuid() || aSource.st_gid != ::getegid()) {
    (void)::fchown(out.Get(), aSource.st_uid, aSource.st_gid);
  }
  if (::fchmod(out.Get(), aSource.st_mode & 07777) != 0 || !out.Close()) {
    aError = "cannot write " + aTo.PathOf(aName) + ": " + std::strerror(errno);
    return false;
  }
  SecretText back;
  if (const auto read = ReadRegularFileAt(aTo.Fd(), aName, aTo.PathOf(aName), back.Text(), noLinks);
      !read.Ok()) {
    aError = read.error;
    return false;
  }
  if (back.Text() != bytes.Text()) {
    aError = "the copy " + aTo.PathOf(aName) + " differs from its original";
    return false;
  }
  return true;
}

bool MakeBackup(const Folder& aFolder, const InstallPlan& aPlan, const std::vector<OldFile>& aOld,
                InstallResult& aResult) {
  std::string reason;
  std::string name;
  for (int n = 1; n <= kMaxBackupSuffix; ++n) {
    name = n == 1 ? aPlan.backupName : aPlan.backupName + "_" + std::to_string(n);
    if (aFolder.MakeChild(name, 0700, reason)) {
      break;
    }
    if (errno != EEXIST || n == kMaxBackupSuffix) {
      aResult.failure = InstallFailure::Backup;
      aResult.errors.push_back(reason);
      return false;
    }
  }
  auto backup = aFolder.OpenChild(name, reason);
  bool copied = backup.has_value();
  for (const OldFile& old : aOld) {
    if (copied && old.info) {
      copied = CopyVerified(aFolder, *backup, old.name, *old.info, WriterOf(aPlan.writer), reason);
    }
  }
  copied = copied && backup->Sync(reason) && aFolder.Sync(reason);
  if (!copied) {
    backup.reset();
    (void)aFolder.RemoveChildTree(name);
    aResult.failure = InstallFailure::Backup;
    aResult.errors.push_back(reason);
    return false;
  }
  aResult.backupName = name;
  aResult.backupFolder = aFolder.PathOf(name) + "/";
  return true;
}

// One name swapped between the staging folder and the target, as it can be
// undone.
struct Swap {
  enum class How { Exchanged, LinkedAside, Added, MovedAside } how;
  std::string name;
};

int RenameAt2(int aFromFd, const std::string& aFrom, int aToFd, const std::string& aTo,
              unsigned aFlags) {
  return ::renameat2(aFromFd, aFrom.c_str(), aToFd, aTo.c_str(), aFlags);
}

// Puts stage/aName at target/aName; the old file (if any) ends up in the
// staging folder.
bool SwapIn(const Folder& aStage, const Folder& aTarget, const std::string& aName, bool aExisted,
            std::vector<Swap>& aSwaps, std::string& aError) {
  const int stage = aStage.Fd();
  const int target = aTarget.Fd();
  if (aExisted) {
    if (RenameAt2(stage, aName, target, aName, RENAME_EXCHANGE) == 0) {
      aSwaps.push_back({Swap::How::Exchanged, aName});
      return true;
    }
    // File systems without exchange: keep a second name of the old file.
    const std::string aside = kAsidePrefix + aName;
    if (errno == EINVAL && ::linkat(target, aName.c_str(), stage, aside.c_str(), 0) == 0) {
      if (::renameat(stage, aName.c_str(), target, aName.c_str()) == 0) {
        aSwaps.push_back({Swap::How::LinkedAside, aName});
        return true;
      }
      (void)::unlinkat(stage, aside.c_str(), 0);
    }
  } else if (RenameAt2(stage, aName, target, aName, RENAME_NOREPLACE) == 0 ||
             (errno == EINVAL && ::renameat(stage, aName.c_str(), target, aName.c_str()) == 0)) {
    aSwaps.push_back({Swap::How::Added, aName});
    return true;
  }
  aError = "Could not put " + aTarget.PathOf(aName) + " in place: " + std::strerror(errno) + ".";
  return false;
}

// Takes target/aName away into the staging folder.
bool MoveAside(const Folder& aStage, const Folder& aTarget, const std::string& aName,
               std::vector<Swap>& aSwaps, std::string& aError) {
  const std::string aside = kAsidePrefix + aName;
  if (::renameat(aTarget.Fd(), aName.c_str(), aStage.Fd(), aside.c_str()) == 0) {
    aSwaps.push_back({Swap::How::MovedAside, aName});
    return true;
  }
  aError = "Could not remove " + aTarget.PathOf(aName) + ": " + std::strerror(errno) + ".";
  return false;
}

void UndoSwaps(const Folder& aStage, const Folder& aTarget, std::vector<Swap>& aSwaps) {
  const int stage = aStage.Fd();
  const int target = aTarget.Fd();
  for (auto it = aSwaps.rbegin(); it != aSwaps.rend(); ++it) {
    const std::string aside = kAsidePrefix + it->name;
    switch (it->how) {
    case Swap::How::Exchanged:
      (void)RenameAt2(stage, it->name, target, it->name, RENAME_EXCHANGE);
      break;
    case Swap::How::LinkedAside:
    case Swap::How::MovedAside:
      (void)::renameat(stage, aside.c_str(), target, it->name.c_str());
      break;
    case Swap::How::Added:
      (void)::renameat(target, it->name.c_str(), stage, it->name.c_str());
      break;
    }
  }
  aSwaps.clear();
}

// The staging folder of one transaction: removed with whatever it holds when
// the transaction ends, committed or not.
class Stage {
public:
  Stage(const Folder& aTarget, std::optional<Folder> aFolder)
      : fTarget(aTarget), fFolder(std::move(aFolder)) {}
  ~Stage() {
    if (fFolder) {
      const std::string name = fFolder->Path().substr(fTarget.Path().size());
      fFolder.reset();
      (void)fTarget.RemoveChildTree(name.substr(0, name.size() - 1));
    }
  }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;
  [[nodiscard]] bool Valid() const { return fFolder.has_value(); }
  [[nodiscard]] const Folder& Get() const { return *fFolder; }

private:
  const Folder& fTarget;
  std::optional<Folder> fFolder;
};

// Texts of the callbacks name the staging folder by its descriptor path; the
// user knows the target folder.
void AddReasons(TReasons& aInto, const TReasons& aFrom, const std::string& aPinned,
                const std::string& aShown) {
  for (std::string line : aFrom) {
    for (std::size_t at = line.find(aPinned); at != std::string::npos;
         at = line.find(aPinned, at + aShown.size())) {
      line.replace(at, aPinned.size(), aShown);
    }
    aInto.push_back(std::move(line));
  }
}

bool FinishStagedFile(const Folder& aStage, const Folder& aTarget, const OldFile& aOld, bool aIsKey,
                      InstallResult& aResult) {
  std::string reason;
  UniqueFd fd = aStage.OpenRegular(aOld.name, reason);
  if (!fd.Valid()) {
    aResult.errors.push_back("The file " + aTarget.PathOf(aOld.name) + " was not written.");
    return false;
  }
  if (!ApplyOwnerAndMode(fd.Get(), aOld.info, aIsKey, aTarget.PathOf(aOld.name), aResult)) {
    return false;
  }
  if (!SystemWriter().Sync(fd.Get(), reason)) {
    aResult.errors.push_back("Could not write " + aTarget.PathOf(aOld.name) + ": " + reason + ".");
    return false;
  }
  return true;
}

bool Commit(const Folder& aTarget, const Stage& aStage, const std::vector<OldFile>& aOld,
            const std::vector<std::string>& aTakeAway, InstallResult& aResult) {
  std::vector<Swap> swaps;
  std::string reason;
  bool ok = true;
  for (const OldFile& old : aOld) {
    ok = ok && SwapIn(aStage.Get(), aTarget, old.name, old.info.has_value(), swaps, reason);
  }
  for (const std::string& name : aTakeAway) {
    ok = ok && MoveAside(aStage.Get(), aTarget, name, swaps, reason);
  }
  ok = ok && aTarget.Sync(reason);
  if (!ok) {
    UndoSwaps(aStage.Get(), aTarget, swaps);
    std::string ignored;
    (void)aTarget.Sync(ignored);
    aResult.errors.push_back(reason);
  }
  return ok;
}

void FailWrite(const Folder& aFolder, InstallResult& aResult) {
  aResult.failure = InstallFailure::Write;
  aResult.errors.push_back("The previous files in " + aFolder.Path() + " are in place unchanged.");
}

} // namespace

InstallResult InstallFiles(const InstallPlan& aPlan) {
  InstallResult result;
  std::string reason;
  const auto folder = Folder::Open(aPlan.folder, reason);
  if (!folder) {
    result.failure = InstallFailure::Write;
    result.errors.push_back(reason);
    return result;
  }
  std::vector<OldFile> old;
  if (!LookAtOldFiles(*folder, aPlan.names, old, result) || !FolderIsWritable(*folder, result)) {
    return result;
  }
  const bool anyOld = std::ranges::any_of(old, [](const OldFile& f) { return f.info.has_value(); });
  if (aPlan.backup && anyOld && !MakeBackup(*folder, aPlan, old, result)) {
    return result;
  }
  const Stage stage(*folder, folder->MakeScratchChild(kStagePrefix, reason));
  if (!stage.Valid()) {
    result.errors.push_back(reason);
    FailWrite(*folder, result);
    return result;
  }
  const std::string pinned = stage.Get().PinnedPath();
  TReasons reasons;
  bool ok = aPlan.writeFiles && aPlan.writeFiles(pinned, reasons);
  AddReasons(result.errors, reasons, pinned, folder->Path());
  for (const OldFile& f : old) {
    ok = ok && FinishStagedFile(stage.Get(), *folder, f, f.name == aPlan.keyName, result);
  }
  ok = ok && stage.Get().Sync(reason);
  if (ok && aPlan.verify) {
    reasons.clear();
    ok = aPlan.verify(pinned, reasons);
    AddReasons(result.errors, reasons, pinned, folder->Path());
  }
  if (!ok || !Commit(*folder, stage, old, {}, result)) {
    FailWrite(*folder, result);
  }
  return result;
}

InstallResult RestoreFromBackup(const RestorePlan& aPlan) {
  InstallResult result;
  std::string reason;
  const auto folder = Folder::Open(aPlan.folder, reason);
  auto backup = folder ? folder->OpenChild(aPlan.backupName, reason) : std::nullopt;
  if (!backup) {
    result.failure = InstallFailure::Write;
    result.errors.push_back(reason);
    return result;
  }
  result.backupName = aPlan.backupName;
  result.backupFolder = backup->Path();
  std::vector<OldFile> current;
  if (!LookAtOldFiles(*folder, aPlan.names, current, result) ||
      !FolderIsWritable(*folder, result)) {
    return result;
  }
  const Stage stage(*folder, folder->MakeScratchChild(kStagePrefix, reason));
  if (!stage.Valid()) {
    result.errors.push_back(reason);
    FailWrite(*folder, result);
    return result;
  }
  std::vector<OldFile> restored;
  std::vector<std::string> takeAway;
  bool ok = true;
  for (const OldFile& now : current) {
    struct stat copy {};
    if (backup->Kind(now.name, &copy) == EntryKind::Regular) {
      ok = ok && CopyVerified(*backup, stage.Get(), now.name, copy, WriterOf(aPlan.writer), reason);
      restored.push_back({now.name, now.info});
    } else if (now.info) {
      takeAway.push_back(now.name);
    }
  }
  if (!ok) {
    result.errors.push_back(reason);
  }
  // The copies already carry the owner and mode the files had; only a key
  // that others could read is narrowed again.
  for (const OldFile& f : restored) {
    if (ok && f.name == aPlan.keyName) {
      struct stat copy {};
      (void)stage.Get().Kind(f.name, &copy);
      UniqueFd fd = stage.Get().OpenRegular(f.name, reason);
      ok = fd.Valid() && ApplyOwnerAndMode(fd.Get(), copy, true, folder->PathOf(f.name), result);
    }
  }
  ok = ok && stage.Get().Sync(reason);
  if (!ok || !Commit(*folder, stage, restored, takeAway, result)) {
    FailWrite(*folder, result);
  }
  return result;
}

} // namespace orvo::files
