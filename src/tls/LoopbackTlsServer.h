#pragma once
// The TCP listener with its server TLS layer, and the TLS client, of the
// loopback self-test.
//
// Start order: build the server context, bind and listen, then start the
// accept thread. Stop order: wake and join the accept thread, end every
// connection's socket (which wakes its thread at once), join those threads,
// close the sockets, free the context. Nothing waits on a time-out.

#include "tls/OpenSSLBinding.h"
#include "tls/TlsContext.h"
#include "tls/TlsOptions.h"
#include "tls/TlsSocket.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orvo {

struct TLoopbackEndpoint {
  const char* address = "127.0.0.1";
  std::uint16_t port = 51203;
};

class TLoopbackTlsServer {
public:
  static constexpr int kListenQueue = 15;
  static constexpr std::chrono::milliseconds kSocketTimeout{30000};

  TLoopbackTlsServer(TOpenSSLBinding& aBinding, TLoopbackEndpoint aEndpoint,
                     std::filesystem::path aProgramFolder);
  ~TLoopbackTlsServer();
  TLoopbackTlsServer(const TLoopbackTlsServer&) = delete;
  TLoopbackTlsServer& operator=(const TLoopbackTlsServer&) = delete;

  // The server TLS layer's options (files, method, verification).
  [[nodiscard]] TLSOptions& Options() { return fOptions; }
  [[nodiscard]] TPassphraseEvents& PassphraseEvents() { return fEvents; }

  // Builds the server context and starts listening. Throws ETLSError; a
  // failed start leaves no context and no socket behind.
  void Start();
  // Closes every connection and waits for its thread. Safe when stopped.
  void Stop() noexcept;
  [[nodiscard]] bool Active() const { return fListener.IsOpen(); }
  // Handshakes completed by the connections of this server so far.
  [[nodiscard]] int CompletedHandshakes() const { return fCompletedHandshakes.load(); }

private:
  struct TConnection {
    TSocket socket;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void AcceptLoop();
  void ServeConnection(TConnection& aConnection);
  void ReapFinishedConnections();

  TOpenSSLBinding& fBinding;
  TLoopbackEndpoint fEndpoint;
  std::filesystem::path fProgramFolder;
  TLSOptions fOptions;
  TPassphraseEvents fEvents;
  std::unique_ptr<TTLSContext> fContext;
  TSocket fListener;
  TSocket fWakeUp; // eventfd that ends the accept loop
  std::thread fAcceptThread;
  std::mutex fConnectionsLock;
  std::list<TConnection> fConnections;
  std::atomic<int> fCompletedHandshakes{0};
};

class TLoopbackTlsClient {
public:
  static constexpr std::chrono::milliseconds kConnectTimeout{5000};
  static constexpr std::chrono::milliseconds kConnectTick{125};

  TLoopbackTlsClient(TOpenSSLBinding& aBinding, TLoopbackEndpoint aEndpoint,
                     std::filesystem::path aProgramFolder);
  ~TLoopbackTlsClient();
  TLoopbackTlsClient(const TLoopbackTlsClient&) = delete;
  TLoopbackTlsClient& operator=(const TLoopbackTlsClient&) = delete;

  [[nodiscard]] TLSOptions& Options() { return fOptions; }

  // TCP connect, then a fresh client context and the TLS handshake. Throws
  // ETLSError; a failed connect leaves the client disconnected.
  void Connect();
  // Sends close_notify, closes the socket and frees the context.
  void Disconnect() noexcept;
  [[nodiscard]] bool Connected() const { return fSession != nullptr; }

private:
  TOpenSSLBinding& fBinding;
  TLoopbackEndpoint fEndpoint;
  std::filesystem::path fProgramFolder;
  TLSOptions fOptions;
  std::unique_ptr<TTLSContext> fContext;
  TSocket fSocket;
  TSslPtr fSession;
};

} // namespace orvo
