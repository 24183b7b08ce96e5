// The loopback sockets' failures, on ports the system picks (no fixed port).

#include "tls/TlsSocket.h"

#include "tls/TlsError.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

namespace orvo {
namespace {

using namespace std::chrono_literals;

std::uint16_t PortOf(const TSocket& aSocket) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  ::getsockname(aSocket.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

std::string ConnectFailure(std::uint16_t aPort, std::chrono::milliseconds aLimit) {
  try {
    const TSocket socket = ConnectTo("127.0.0.1", aPort, aLimit, 125ms);
    return "";
  } catch (const ETLSError& e) {
    return e.what();
  }
}

TEST(TlsSocketTest, PortInUseGivesTheBindMessage) {
  const TSocket first = ListenOn("127.0.0.1", 0, 15);
  try {
    const TSocket second = ListenOn("127.0.0.1", PortOf(first), 15);
    ADD_FAILURE() << "bound twice";
  } catch (const ETLSError& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
}

TEST(TlsSocketTest, RefusedConnectGivesTheSocketError) {
  std::uint16_t port = 0;
  {
    const TSocket closed = ListenOn("127.0.0.1", 0, 15);
    port = PortOf(closed);
  }
  EXPECT_EQ(ConnectFailure(port, 5000ms), "Socket Error # 111\r\nConnection refused");
}

TEST(TlsSocketTest, ConnectThatNeverEndsTimesOut) {
  // A listener that accepts nothing: once its queue is full the system
  // drops further connection requests, and the connect hangs.
  const TSocket listener = ListenOn("127.0.0.1", 0, 0);
  std::string failure;
  for (int attempt = 0; attempt < 8 && failure.empty(); ++attempt) {
    failure = ConnectFailure(PortOf(listener), 300ms);
  }
  EXPECT_EQ(failure, "Connect timed out.");
}

} // namespace
} // namespace orvo
