#pragma once
// Real peers for the revocation tests, on 127.0.0.1: a tiny HTTP server that
// serves one body (a CRL) or holds connections without answering, and an
// `openssl ocsp` responder process. Both stop when their object goes.

#include "support/TestPki.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvo::test {

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

class HttpFileServer {
public:
  enum class Mode { Serve, Silent };
  // Listens first, then starts the accept thread.
  explicit HttpFileServer(Mode mode = Mode::Serve);
  ~HttpFileServer(); // stops and joins before the object dies
  HttpFileServer(const HttpFileServer&) = delete;
  HttpFileServer& operator=(const HttpFileServer&) = delete;

  // What later requests get (the certificates that name this server's
  // address are made after it started).
  void setBody(std::string body);
  // What requests for one path get instead (an issuer, a CRL).
  void setBody(const std::string& path, std::string body);
  int port() const { return port_; }
  std::string url(const std::string& path) const;
  int requests() const { return requests_.load(); }
  int requests(const std::string& path) const;

private:
  void run();
  mutable std::mutex mutex_;
  std::string body_;
  std::map<std::string, std::string> bodies_;
  std::map<std::string, int> perPath_;
  Mode mode_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// One status line of an OCSP responder's index: a certificate and whether it
// is revoked.
struct OcspEntry {
  TestCert cert;
  bool revoked = false;
};

class OcspResponder {
public:
  // Answers for certificates of `ca`, signing with signer (the CA itself or a
  // delegated responder), on the given port. Waits until it accepts.
  OcspResponder(int port, const TestCert& ca, const TestCert& signer,
                const std::vector<OcspEntry>& entries);
  ~OcspResponder(); // ends the process
  OcspResponder(const OcspResponder&) = delete;
  OcspResponder& operator=(const OcspResponder&) = delete;

  std::string url() const;

private:
  TempDir dir_;
  int port_;
  int pid_ = -1;
};

} // namespace orvo::test
