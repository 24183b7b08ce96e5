#pragma once
// Key material in memory: buffers that held key text are wiped before they
// are released, and the process cannot be dumped (no core file, no ptrace by
// other processes of the same user) while it holds a private key.

#include <string>

namespace orvo::files {

// Overwrites the bytes and empties the string. explicit_bzero is glibc's
// OPENSSL_cleanse: a wipe the compiler cannot drop. It is used here because
// this room sits below the TLS room, which must not link libcrypto (it loads
// OpenSSL at run time, and the pre-load decides which copy).
void Cleanse(std::string& aText);

// A string that wipes itself when it goes.
class SecretText {
public:
  SecretText() = default;
  explicit SecretText(std::string aText) : fText(std::move(aText)) {}
  ~SecretText() { Cleanse(fText); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  std::string& Text() { return fText; }
  [[nodiscard]] const std::string& Text() const { return fText; }

private:
  std::string fText;
};

// While at least one object lives, the process is not dumpable
// (PR_SET_DUMPABLE 0); when the last one goes, the earlier setting comes back.
// Objects may be made and destroyed on any thread.
class KeyHeldScope {
public:
  KeyHeldScope();
  ~KeyHeldScope();
  KeyHeldScope(const KeyHeldScope&) : KeyHeldScope() {}
  KeyHeldScope& operator=(const KeyHeldScope&) { return *this; }
};

// Whether the process is dumpable now (for tests and the log).
[[nodiscard]] bool ProcessIsDumpable();

} // namespace orvo::files
