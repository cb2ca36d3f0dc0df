// Loopback helpers shared by the socket tests (quor::Socket and the PAL's Windows Sockets layer).
// Written against <winsock.h> only; every blocking call they set up carries a time-out so a
// broken peer fails a test instead of hanging it.
#ifndef QUORKIT_TESTS_SOCKET_LOOPBACK_H
#define QUORKIT_TESTS_SOCKET_LOOPBACK_H

#include <winsock.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace loopback {

inline sockaddr_in address(u_short port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline const sockaddr* as_sockaddr(const sockaddr_in& a) {
  return reinterpret_cast<const sockaddr*>(&a);
}

inline sockaddr* as_sockaddr(sockaddr_in& a) { return reinterpret_cast<sockaddr*>(&a); }

// The port a handle is bound to, read from the system (0 on failure).
inline u_short local_port(SOCKET handle) {
  sockaddr_in a;
  int length = sizeof a;
  return getsockname(handle, as_sockaddr(a), &length) == 0 ? ntohs(a.sin_port) : 0;
}

// Five seconds at most for any blocking call on the handle.
inline void set_timeouts(SOCKET handle, unsigned int ms = 5000) {
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    ASSERT_EQ(
        0, setsockopt(handle, SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms));
  }
}

// Receives until `expected` bytes came or the stream ended or failed.
inline std::string recv_exactly(SOCKET handle, size_t expected) {
  std::string got;
  char buffer[4096];
  int n = 1;
  while (got.size() < expected && n > 0) {
    n = recv(handle, buffer, static_cast<int>(std::min(sizeof buffer, expected - got.size())), 0);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

// A TCP socket listening on 127.0.0.1 at a port the system chose.
inline SOCKET listener(u_short* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = address(0);
  if (s == INVALID_SOCKET || bind(s, as_sockaddr(a), sizeof a) != 0 || listen(s, 4) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    return INVALID_SOCKET;
  }
  *port = local_port(s);
  return s;
}

// Two connected TCP sockets on loopback, both with time-outs. False if any step failed.
inline bool connected_pair(SOCKET* client, SOCKET* server) {
  u_short port = 0;
  SOCKET l = listener(&port);
  *client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = address(port);
  bool ok = l != INVALID_SOCKET && connect(*client, as_sockaddr(a), sizeof a) == 0;
  *server = ok ? accept(l, nullptr, nullptr) : INVALID_SOCKET;
  closesocket(l);
  set_timeouts(*client);
  set_timeouts(*server);
  return *server != INVALID_SOCKET;
}

// Starts and stops the socket service around each test, as an application must on Windows.
class WinsockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
  }
  void TearDown() override { WSACleanup(); }
};

}  // namespace loopback

#endif
