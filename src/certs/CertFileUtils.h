#pragma once
// File helpers of the certificate model.

#include <stdexcept>
#include <string>

namespace orvo {

// A file that cannot be opened or read.
class EFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Deletes the lines of a text file that are empty after trimming (characters
// with codes up to 32) and saves it again with CR LF after every line, the
// last one included. Lines end at CR, LF or CR LF. A file that starts with a
// byte-order mark (UTF-8, UTF-16 LE/BE) is processed in that encoding and
// keeps its mark; any other file is processed byte by byte. The file is
// replaced as a whole (temporary file and rename) and keeps its mode, so a
// failed save leaves the old content.
//
// True when the cleaned file was saved; false when it could not be saved,
// also when the file is read-only (no write permission bit), which leaves it
// untouched. Throws EFileError when the file cannot be opened or read.
[[nodiscard]] bool RemoveEmptyLines(const std::string& aFileName);

} // namespace orvo
