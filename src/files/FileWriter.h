#pragma once
// The seam through which the install transaction writes and syncs file
// content, so that tests can make a write fail after some bytes or a sync
// fail as on a full disk.

#include <string>
#include <string_view>

namespace orvo::files {

class FileWriter {
public:
  virtual ~FileWriter() = default;
  // Writes all of aBytes to aFd. False with a reason in aError otherwise.
  [[nodiscard]] virtual bool Write(int aFd, std::string_view aBytes, std::string& aError);
  // Brings the file's content to the disk (fsync).
  [[nodiscard]] virtual bool Sync(int aFd, std::string& aError);
};

// The writer of the product: write(2) and fsync(2).
FileWriter& SystemWriter();

} // namespace orvo::files
