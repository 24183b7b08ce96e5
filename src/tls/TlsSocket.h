#pragma once
// IPv4 loopback sockets of the TLS self-test. Failures throw ETLSError with
// the texts the self-test reports.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <utility>

namespace orvo {

// Owns one file descriptor.
class TSocket {
public:
  TSocket() = default;
  explicit TSocket(int aFd) : fFd(aFd) {}
  ~TSocket() { Close(); }
  TSocket(TSocket&& aOther) noexcept : fFd(std::exchange(aOther.fFd, -1)) {}
  TSocket& operator=(TSocket&& aOther) noexcept;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  [[nodiscard]] int Fd() const { return fFd; }
  [[nodiscard]] bool IsOpen() const { return fFd >= 0; }
  // Ends both directions without closing the descriptor: wakes a thread
  // blocked on it at once, and keeps the number from being reused meanwhile.
  void Shutdown() const noexcept;
  void Close() noexcept;

private:
  int fFd = -1;
};

// "Socket Error # <code>\r\n<system text>".
[[nodiscard]] std::string SocketErrorText(int aErrorCode);

// Binds aAddress:aPort (SO_REUSEADDR, so a connection of the last run in
// TIME_WAIT does not block the port) and listens with aBacklog.
// A port in use fails with "Could not bind socket. Address and port are
// already in use.".
[[nodiscard]] TSocket ListenOn(const char* aAddress, std::uint16_t aPort, int aBacklog);

// Connects to aAddress:aPort. The connect is started without blocking and
// its end is awaited in slices of aTick: the wait ends as soon as the
// connect does, and after aLimit with "Connect timed out.". A refused or
// failed connect gives SocketErrorText. Returns a blocking socket.
[[nodiscard]] TSocket ConnectTo(const char* aAddress, std::uint16_t aPort,
                                std::chrono::milliseconds aLimit, std::chrono::milliseconds aTick);

// Receive and send time-outs of a connection in TLS mode.
void SetSocketTimeouts(int aFd, std::chrono::milliseconds aTimeout);

// Blocks SIGPIPE on this thread while alive, so that writing to a socket the
// peer has closed fails with EPIPE instead of ending the process; a SIGPIPE
// raised meanwhile is consumed before the old mask returns.
class TSigpipeBlock {
public:
  TSigpipeBlock();
  ~TSigpipeBlock();
  TSigpipeBlock(const TSigpipeBlock&) = delete;
  TSigpipeBlock& operator=(const TSigpipeBlock&) = delete;

private:
  sigset_t fOldMask{};
  bool fWasBlocked = false;
};

} // namespace orvo
