#pragma once
// A folder opened once and worked in by descriptor: every entry is looked at
// without following links (fstatat with AT_SYMLINK_NOFOLLOW), new files are
// created exclusively (O_CREAT | O_EXCL | O_NOFOLLOW), and renames stay inside
// folders that were opened, so that a link planted under a name, or a folder
// renamed behind the program's back, never redirects a write.

#include "files/UniqueFd.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace orvo::files {

enum class EntryKind { Missing, Regular, Other };

class Folder {
public:
  // Opens the folder aPath names (links on the way are the user's choice and
  // are followed). Nothing with a reason in aError when it is no folder.
  [[nodiscard]] static std::optional<Folder> Open(const std::string& aPath, std::string& aError);
  // Opens the subfolder aName of this folder; a link there is refused.
  [[nodiscard]] std::optional<Folder> OpenChild(const std::string& aName,
                                                std::string& aError) const;

  [[nodiscard]] int Fd() const { return fFd.Get(); }
  // The folder's path as given, with a trailing '/'; for messages.
  [[nodiscard]] const std::string& Path() const { return fPath; }
  [[nodiscard]] std::string PathOf(const std::string& aName) const { return fPath + aName; }
  // A path that reaches this very folder through its descriptor, with a
  // trailing '/', for code that only takes paths.
  [[nodiscard]] std::string PinnedPath() const;

  // What aName is, the link itself when it is one; aInfo receives its status.
  [[nodiscard]] EntryKind Kind(const std::string& aName, struct stat* aInfo = nullptr) const;
  [[nodiscard]] std::vector<std::string> EntryNames() const;

  // Creates the subfolder aName with exactly aMode; false when it exists.
  [[nodiscard]] bool MakeChild(const std::string& aName, mode_t aMode, std::string& aError) const;
  // A new subfolder named aPrefix followed by random letters, mode 0700.
  [[nodiscard]] std::optional<Folder> MakeScratchChild(const std::string& aPrefix,
                                                       std::string& aError) const;
  // A new file aName, created exclusively with mode aMode (no link followed).
  [[nodiscard]] UniqueFd CreateFile(const std::string& aName, mode_t aMode,
                                    std::string& aError) const;
  // Opens the regular file aName for reading; a link is refused.
  [[nodiscard]] UniqueFd OpenRegular(const std::string& aName, std::string& aError) const;

  // Removes the entry aName (a link itself, never what it points to).
  bool Remove(const std::string& aName) const;
  // Removes the subfolder aName with the entries directly in it.
  bool RemoveChildTree(const std::string& aName) const;
  // fsync of the folder, so that renames and new names reach the disk.
  [[nodiscard]] bool Sync(std::string& aError) const;
  // The folder's own status.
  [[nodiscard]] bool Stat(struct stat& aInfo) const;

private:
  Folder(UniqueFd aFd, std::string aPath) : fFd(std::move(aFd)), fPath(std::move(aPath)) {}

  UniqueFd fFd;
  std::string fPath;
};

// A name of the form aPrefix + 12 random letters.
[[nodiscard]] std::string RandomName(const std::string& aPrefix);

// aPath with a trailing '/'.
[[nodiscard]] std::string WithSlash(std::string aPath);

} // namespace orvo::files
