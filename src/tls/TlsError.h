#pragma once
// The one exception type of the TLS layer. Its message is the fixed English
// text that the loopback test puts behind its "Error starting Server: " or
// "Error connection to Server: " prefix; OpenSSL's error text, when there is
// one, follows on a second line after CR LF.

#include <stdexcept>
#include <string>

namespace orvo {

class ETLSError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

} // namespace orvo
