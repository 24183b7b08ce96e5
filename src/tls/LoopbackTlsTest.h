#pragma once
// The loopback TLS self-test of the verification step.
//
// Contract of VerifySSLConnectionIsPossible(aDataPath, aFailReasons):
//  - aDataPath is a folder name ending in '/'; the caller has written the
//    files the server will use there: "orvo.crt" (certificate), "root.pem"
//    (chain) and "orvo.key" (private key; PEM, plain or encrypted with the
//    passphrase "kqzv").
//  - Starts a TLS server with those files on 127.0.0.1:51203, connects a TLS
//    client to it (TLS 1.2 or 1.3; neither side asks for a peer
//    certificate), then disconnects and stops the server again.
//  - Returns true when both the server start and the client connect worked.
//    Each failure appends one line to aFailReasons (never cleared):
//    "Error starting Server: <message>" and/or
//    "Error connection to Server: <message>"; a message from OpenSSL carries
//    OpenSSL's error text on a second line after CR LF. A failed server start
//    does not skip the client attempt, so it normally yields two lines.
//  - Deletes root.pem, orvo.key and orvo.crt in aDataPath in every case,
//    also when an exception leaves the call.
//  - Does not throw: every failure of the server start or of the client
//    connect (bad files, port in use, failed handshake, no thread or socket
//    available) becomes a reason line.
//  - Blocks the calling thread: normally a few milliseconds; at most 5000 ms
//    for the TCP connect plus 30000 ms per socket operation of the handshake.
//  - Holds port 51203 only during the call. Not reentrant: call it from one
//    thread (the GUI thread) at a time.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace orvo {

class TLoopbackTlsServer;

class TLoopbackTlsTest {
public:
  // aProgramFolder: where "cert/dh.pem" is looked for (with "../" first when
  // the path contains "64 bit"); empty means the running executable's folder.
  explicit TLoopbackTlsTest(std::filesystem::path aProgramFolder = {});
  ~TLoopbackTlsTest();
  TLoopbackTlsTest(const TLoopbackTlsTest&) = delete;
  TLoopbackTlsTest& operator=(const TLoopbackTlsTest&) = delete;

  [[nodiscard]] bool VerifySSLConnectionIsPossible(const std::string& aDataPath,
                                                   std::vector<std::string>& aFailReasons);

  static constexpr const char* kAddress = "127.0.0.1";
  static constexpr unsigned short kPort = 51203;
  static constexpr const char* kServerKeyPassphrase = "kqzv";

private:
  std::filesystem::path fProgramFolder;
  std::unique_ptr<TLoopbackTlsServer> fServer;
};

} // namespace orvo
