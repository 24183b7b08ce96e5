#include "tls/TlsSocket.h"

#include "tls/TlsError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace orvo {

namespace {

sockaddr_in LoopbackAddress(const char* aAddress, std::uint16_t aPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(aPort);
  if (::inet_pton(AF_INET, aAddress, &address.sin_addr) != 1) {
    throw ETLSError(SocketErrorText(EINVAL));
  }
  return address;
}

TSocket NewTcpSocket(int aExtraFlags) {
  TSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | aExtraFlags, 0));
  if (!socket.IsOpen()) {
    throw ETLSError(SocketErrorText(errno));
  }
  return socket;
}

int PendingSocketError(int aFd) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(aFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return errno;
  }
  return error;
}

void MakeBlocking(int aFd) {
  const int flags = ::fcntl(aFd, F_GETFL);
  if (flags < 0 || ::fcntl(aFd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    throw ETLSError(SocketErrorText(errno));
  }
}

} // namespace

TSocket& TSocket::operator=(TSocket&& aOther) noexcept {
  if (this != &aOther) {
    Close();
    fFd = std::exchange(aOther.fFd, -1);
  }
  return *this;
}

void TSocket::Shutdown() const noexcept {
  if (fFd >= 0) {
    ::shutdown(fFd, SHUT_RDWR);
  }
}

void TSocket::Close() noexcept {
  if (fFd >= 0) {
    ::close(fFd);
    fFd = -1;
  }
}

std::string SocketErrorText(int aErrorCode) {
  return "Socket Error # " + std::to_string(aErrorCode) + "\r\n" + std::strerror(aErrorCode);
}

TSocket ListenOn(const char* aAddress, std::uint16_t aPort, int aBacklog) {
  const sockaddr_in address = LoopbackAddress(aAddress, aPort);
  TSocket socket = NewTcpSocket(0);
  const int reuse = 1;
  if (::setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) {
    throw ETLSError(SocketErrorText(errno));
  }
  if (::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno == EADDRINUSE) {
      throw ETLSError("Could not bind socket. Address and port are already in use.");
    }
    throw ETLSError(SocketErrorText(errno));
  }
  if (::listen(socket.Fd(), aBacklog) != 0) {
    throw ETLSError(SocketErrorText(errno));
  }
  return socket;
}

TSocket ConnectTo(const char* aAddress, std::uint16_t aPort, std::chrono::milliseconds aLimit,
                  std::chrono::milliseconds aTick) {
  const sockaddr_in address = LoopbackAddress(aAddress, aPort);
  TSocket socket = NewTcpSocket(SOCK_NONBLOCK);
  if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno != EINPROGRESS) {
      throw ETLSError(SocketErrorText(errno));
    }
    // poll returns as soon as the connect ends; each slice re-checks the limit.
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        throw ETLSError("Connect timed out.");
      }
      pollfd entry{socket.Fd(), POLLOUT, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, aTick).count()));
      if (ready > 0) {
        break;
      }
      if (ready < 0 && errno != EINTR) {
        throw ETLSError(SocketErrorText(errno));
      }
    }
    if (const int error = PendingSocketError(socket.Fd()); error != 0) {
      throw ETLSError(SocketErrorText(error));
    }
  }
  MakeBlocking(socket.Fd());
  return socket;
}

void SetSocketTimeouts(int aFd, std::chrono::milliseconds aTimeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(aTimeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((aTimeout.count() % 1000) * 1000);
  if (::setsockopt(aFd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value)) != 0 ||
      ::setsockopt(aFd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value)) != 0) {
    throw ETLSError(SocketErrorText(errno));
  }
}

TSigpipeBlock::TSigpipeBlock() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, &fOldMask);
  fWasBlocked = sigismember(&fOldMask, SIGPIPE) == 1;
}

TSigpipeBlock::~TSigpipeBlock() {
  if (fWasBlocked) {
    return;
  }
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const timespec noWait{0, 0};
  while (::sigtimedwait(&pipe, nullptr, &noWait) == SIGPIPE) {
  }
  ::pthread_sigmask(SIG_SETMASK, &fOldMask, nullptr);
}

} // namespace orvo
