#include "tls/LoopbackTlsServer.h"

#include "tls/TlsError.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace orvo {

namespace {

// The text after which the handshake is reported, with OpenSSL's reason.
std::string HandshakeFailure(const TOpenSSLEntryPoints& aApi, SSL* aSession, int aResult,
                             const char* aMessage) {
  const int savedErrno = errno;
  const int code = aApi.SSL_get_error(aSession, aResult);
  std::string fallback = "SSL error " + std::to_string(code);
  if (code == SSL_ERROR_SYSCALL) {
    fallback = savedErrno != 0 ? SocketErrorText(savedErrno) : "the peer closed the connection";
  }
  return std::string(aMessage) + "\r\n" + TakeOpenSSLErrorText(aApi, fallback);
}

} // namespace

TLoopbackTlsServer::TLoopbackTlsServer(TOpenSSLBinding& aBinding, TLoopbackEndpoint aEndpoint,
                                       std::filesystem::path aProgramFolder)
    : fBinding(aBinding), fEndpoint(aEndpoint), fProgramFolder(std::move(aProgramFolder)) {}

TLoopbackTlsServer::~TLoopbackTlsServer() {
  Stop();
}

void TLoopbackTlsServer::Start() {
  Stop();
  auto context = std::make_unique<TTLSContext>(fBinding, fOptions, TSSLMode::sslmServer, fEvents,
                                               fProgramFolder);
  TSocket listener = ListenOn(fEndpoint.address, fEndpoint.port, kListenQueue);
  TSocket wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeUp.IsOpen()) {
    throw ETLSError(SocketErrorText(errno));
  }
  fContext = std::move(context);
  fListener = std::move(listener);
  fWakeUp = std::move(wakeUp);
  try {
    fAcceptThread = std::thread([this] { AcceptLoop(); });
  } catch (...) {
    fListener.Close();
    fWakeUp.Close();
    fContext.reset();
    throw;
  }
}

void TLoopbackTlsServer::Stop() noexcept {
  if (fAcceptThread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fWakeUp.Fd(), &one, sizeof(one));
    fAcceptThread.join();
  }
  {
    const std::lock_guard lock(fConnectionsLock);
    for (TConnection& connection : fConnections) {
      connection.socket.Shutdown();
    }
  }
  // No new connection can appear now: the accept thread has ended.
  for (TConnection& connection : fConnections) {
    if (connection.thread.joinable()) {
      connection.thread.join();
    }
  }
  fConnections.clear();
  fListener.Close();
  fWakeUp.Close();
  fContext.reset();
}

void TLoopbackTlsServer::AcceptLoop() {
  for (;;) {
    pollfd entries[2] = {{fListener.Fd(), POLLIN, 0}, {fWakeUp.Fd(), POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (entries[1].revents != 0) {
      return; // Stop() asked us to end
    }
    TSocket accepted(::accept4(fListener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted.IsOpen()) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory: the pending connection stays queued
        // and would wake us at once again. Pause briefly, still stoppable.
        pollfd wakeUp{fWakeUp.Fd(), POLLIN, 0};
        if (::poll(&wakeUp, 1, 50) > 0) {
          return;
        }
      }
      continue; // otherwise the peer gave up before accept; keep listening
    }
    ReapFinishedConnections();
    const std::lock_guard lock(fConnectionsLock);
    TConnection& connection = fConnections.emplace_back();
    connection.socket = std::move(accepted);
    try {
      connection.thread = std::thread([this, &connection] { ServeConnection(connection); });
    } catch (...) {
      fConnections.pop_back(); // no thread for it: drop the connection
    }
  }
}

void TLoopbackTlsServer::ReapFinishedConnections() {
  const std::lock_guard lock(fConnectionsLock);
  for (auto it = fConnections.begin(); it != fConnections.end();) {
    if (it->finished.load()) {
      it->thread.join();
      it = fConnections.erase(it);
    } else {
      ++it;
    }
  }
}

void TLoopbackTlsServer::ServeConnection(TConnection& aConnection) {
  const TSigpipeBlock noSigpipe;
  const TOpenSSLEntryPoints& api = fContext->Api();
  try {
    SetSocketTimeouts(aConnection.socket.Fd(), kSocketTimeout);
    TSslPtr session = fContext->NewSession("Error accepting connection with SSL.");
    if (api.SSL_set_fd(session.get(), aConnection.socket.Fd()) > 0) {
      const int accepted = api.SSL_accept(session.get());
      // A failed handshake ends this connection only; the client reports
      // its own side of it.
      if (accepted > 0) {
        ++fCompletedHandshakes;
        // Read and discard lines until the peer closes or Stop() ends the socket.
        char buffer[4096];
        while (api.SSL_read(session.get(), buffer, sizeof(buffer)) > 0) {
        }
      }
    }
  } catch (const std::exception&) {
    // Handshake failures stay inside the connection thread.
  }
  api.ERR_clear_error();
  aConnection.finished = true;
}

TLoopbackTlsClient::TLoopbackTlsClient(TOpenSSLBinding& aBinding, TLoopbackEndpoint aEndpoint,
                                       std::filesystem::path aProgramFolder)
    : fBinding(aBinding), fEndpoint(aEndpoint), fProgramFolder(std::move(aProgramFolder)) {}

TLoopbackTlsClient::~TLoopbackTlsClient() {
  Disconnect();
}

void TLoopbackTlsClient::Connect() {
  Disconnect();
  const TSigpipeBlock noSigpipe;
  TSocket socket = ConnectTo(fEndpoint.address, fEndpoint.port, kConnectTimeout, kConnectTick);
  auto context = std::make_unique<TTLSContext>(fBinding, fOptions, TSSLMode::sslmClient,
                                               TPassphraseEvents{}, fProgramFolder);
  const TOpenSSLEntryPoints& api = context->Api();
  SetSocketTimeouts(socket.Fd(), TLoopbackTlsServer::kSocketTimeout);
  const char* const failure = "Error connecting with SSL.";
  TSslPtr session = context->NewSession(failure);
  if (api.SSL_set_fd(session.get(), socket.Fd()) <= 0) {
    throw ETLSError(std::string(failure) + "\r\n" + TakeOpenSSLErrorText(api, "SSL_set_fd"));
  }
  errno = 0;
  const int connected = api.SSL_connect(session.get());
  if (connected <= 0) {
    throw ETLSError(HandshakeFailure(api, session.get(), connected, failure));
  }
  fContext = std::move(context);
  fSocket = std::move(socket);
  fSession = std::move(session);
}

void TLoopbackTlsClient::Disconnect() noexcept {
  if (fSession != nullptr) {
    const TSigpipeBlock noSigpipe;
    // Sends close_notify without waiting for the peer's answer.
    if (fContext->Api().SSL_shutdown(fSession.get()) < 0) {
      fContext->Api().ERR_clear_error();
    }
  }
  fSession.reset();
  fSocket.Close();
  fContext.reset();
}

} // namespace orvo
