#pragma once
// The errors that the service wrapper raises, and the texts of the Windows
// error codes that the service backends report.
//
// Three kinds: EOSError for a failed service-control call (carries the
// Windows error code), EServiceError for the wrapper's own fixed messages and
// EAssertionFailed for a broken assumption about what the system returns.
// All derive from std::runtime_error; what() is the message the user sees.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvo {

class EServiceError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class EOSError : public EServiceError {
public:
  // "System Error.  Code: <code>.\r\n<text>", or "A call to an OS function
  // failed" for the code 0.
  explicit EOSError(std::uint32_t aErrorCode);
  std::uint32_t ErrorCode() const { return fErrorCode; }

private:
  std::uint32_t fErrorCode;
};

class EAssertionFailed : public EServiceError {
public:
  // "Assertion failure (<source>, line <line>)".
  EAssertionFailed(const std::string& aSourceName, int aLine);
};

// The readable text of a Windows error code as the system words it, without
// the closing full stop; empty for a code the system has no text for.
std::string SysErrorMessage(std::uint32_t aErrorCode);

} // namespace orvo
