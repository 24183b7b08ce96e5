#pragma once
// The one reader for files that come from outside the program: folder scans,
// key and certificate files, the registry file, NSS paths, the files of the
// install transaction.
//
// Only regular files are read. The file is opened non-blocking, so that a
// FIFO or a device never holds the window, and it is refused before any byte
// is read when it is larger than the cap: a stray 4 GB file costs one fstat.

#include <cstddef>
#include <string>

namespace orvo::files {

// Larger files are no certificate, key or registry export.
inline constexpr std::size_t kMaxReadSize = 16u * 1024u * 1024u;

enum class Links {
  Follow, // a link the user named leads to the file (e.g. a live/ folder of an ACME client)
  Refuse, // a link is refused: the file must be the name itself
};

struct ReadOptions {
  std::size_t maxSize = kMaxReadSize;
  Links links = Links::Follow;
};

enum class ReadStatus {
  Read,
  Missing,    // no such file
  NotRegular, // a folder, FIFO, device, socket, or a link where links are refused
  TooLarge,
  Failed, // cannot be opened or read (permissions, I/O)
};

struct ReadResult {
  ReadStatus status = ReadStatus::Failed;
  // Why the file was not read; empty after a successful read.
  std::string error;
  [[nodiscard]] bool Ok() const { return status == ReadStatus::Read; }
};

// Reads the whole file at aPath into aOut (replaced; cleared on failure).
[[nodiscard]] ReadResult ReadRegularFile(const std::string& aPath, std::string& aOut,
                                         const ReadOptions& aOptions = {});
// The same for aName inside the open folder aFolderFd; aDisplayPath names the
// file in messages.
[[nodiscard]] ReadResult ReadRegularFileAt(int aFolderFd, const std::string& aName,
                                           const std::string& aDisplayPath, std::string& aOut,
                                           const ReadOptions& aOptions = {});
// Reads from an already opened descriptor (checked to be a regular file and
// within the cap first).
[[nodiscard]] ReadResult ReadOpenFile(int aFd, const std::string& aDisplayPath, std::string& aOut,
                                      const ReadOptions& aOptions = {});

} // namespace orvo::files
