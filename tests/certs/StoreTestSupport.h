#pragma once
// Helpers of the store, store certificate and validator tests: wrapping test
// PKI certificates, a scripted passphrase handler that records every request,
// and environment variables set for one test.

#include "certs/CkToolkit.h"
#include "certs/OrvoCertificate.h"
#include "certs/PasswordEvent.h"
#include "support/TestPki.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvo::test {

inline std::unique_ptr<ck::CkCert> CkFrom(const TestCert& aCert) {
  auto cert = std::make_unique<ck::CkCert>();
  if (!cert->LoadFromDer(certDer(aCert))) {
    throw std::runtime_error("the toolkit did not load a test certificate");
  }
  return cert;
}

inline std::unique_ptr<TOrvoStoreCertificate> StoreCertFrom(const TestCert& aCert) {
  return std::make_unique<TOrvoStoreCertificate>(CkFrom(aCert));
}

inline std::string ReadFile(const Path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Answers passphrase requests from a script; nullopt, or running out of
// answers, cancels. Every request is recorded as it arrived.
struct PasswordScript {
  struct Request {
    std::string fileName;
    std::string passwordIn;
    bool wasWrong;
    bool operator==(const Request&) const = default;
  };

  std::vector<std::optional<std::string>> answers;
  std::vector<Request> requests;

  TPasswordEvent Handler() {
    return [this](const std::string& aFileName, std::string& password, bool aWasWrongPassword) {
      requests.push_back({aFileName, password, aWasWrongPassword});
      const std::size_t n = requests.size() - 1;
      if (n >= answers.size() || !answers[n]) {
        return false;
      }
      password = *answers[n];
      return true;
    };
  }
};

// Sets (or, with nullopt, unsets) an environment variable for one scope.
class ScopedEnv {
public:
  ScopedEnv(std::string aName, const std::optional<std::string>& aValue) : name_(std::move(aName)) {
    if (const char* old = std::getenv(name_.c_str())) {
      old_ = old;
    }
    Apply(aValue);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  void Apply(const std::optional<std::string>& aValue) {
    if (aValue) {
      ::setenv(name_.c_str(), aValue->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

} // namespace orvo::test
