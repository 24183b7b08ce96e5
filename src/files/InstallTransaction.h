#pragma once
// Installs a set of files into a folder so that the folder holds either all
// the old files or all the new ones, never a mix:
//
//   1. the folder is opened once; each file to be replaced must be a regular
//      file (no link, no FIFO, no device) and the folder must be writable;
//   2. the old files are copied into a new backup subfolder (mode 0700; an
//      existing name gets "_2", "_3"... and is never reused); each copy is
//      synced and compared with its original;
//   3. the new files are written into a private staging subfolder of the same
//      folder, get their owner, group and mode (those of the file they replace;
//      a key readable by others is narrowed), and are synced;
//   4. the staged files are read back and verified by the caller;
//   5. each staged file is swapped with its old one (renameat2 with
//      RENAME_EXCHANGE, so that the name never goes missing); when a swap
//      fails, the swaps made so far are undone;
//   6. the staging folder, now holding the old files, is removed.
//
// Restore runs steps 1, 3, 5 and 6 with the copies of a backup folder.
//
// Nothing here knows certificates: the caller writes the staged files and
// verifies them through the two callbacks.

#include "files/FileWriter.h"

#include <functional>
#include <string>
#include <vector>

namespace orvo::files {

using TReasons = std::vector<std::string>;

// Gets the staging folder as a path ending in '/' that reaches the opened
// folder by descriptor; false, with reasons, when something failed.
using TStageStep = std::function<bool(const std::string& aStageFolder, TReasons& aReasons)>;

struct InstallPlan {
  std::string folder;
  // The files, in the order of the backup.
  std::vector<std::string> names;
  // The one of names that holds a private key.
  std::string keyName;
  bool backup = true;
  // Name of the backup subfolder, without a separator.
  std::string backupName;
  // Writes every file of names into the staging folder.
  TStageStep writeFiles;
  // Reads the staged files back and checks them; may be empty.
  TStageStep verify;
  // Writes the backup copies; null means SystemWriter().
  FileWriter* writer = nullptr;
};

enum class InstallFailure {
  None,
  NotRegular, // offendingPath is a link or not a regular file; nothing was done
  Backup,     // a backup copy failed; nothing was written
  Write,      // staging, verification or the swap failed; the old files are in place
};

struct InstallResult {
  InstallFailure failure = InstallFailure::None;
  std::string offendingPath;
  TReasons errors;
  // Things the user should know although all went well (a narrowed mode).
  TReasons notes;
  // The backup folder with a trailing '/', and its name; empty when no
  // backup was made.
  std::string backupFolder;
  std::string backupName;
  [[nodiscard]] bool Ok() const { return failure == InstallFailure::None; }
};

[[nodiscard]] InstallResult InstallFiles(const InstallPlan& aPlan);

struct RestorePlan {
  std::string folder;
  // Name of the backup subfolder of folder.
  std::string backupName;
  std::vector<std::string> names;
  std::string keyName;
  FileWriter* writer = nullptr;
};

// Puts the copies of the backup folder back in place; a file of names that
// the backup does not hold is taken away, since it did not exist before.
[[nodiscard]] InstallResult RestoreFromBackup(const RestorePlan& aPlan);

} // namespace orvo::files
