// Windows Sockets 1.1 on Linux sockets: start-up bookkeeping, Windows shapes of options and
// ioctls, errno-based error codes, and the deliberate differences from plain Linux (no SIGPIPE,
// close-on-exec, blocking mode carried over by accept). EINTR: winsock_signal_test.
#include <winsock.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using loopback::address;
using loopback::as_sockaddr;

class Winsock : public loopback::WinsockTest {};

bool isNonblocking(SOCKET s) { return (fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK) != 0; }
bool closesOnExec(SOCKET s) { return (fcntl(static_cast<int>(s), F_GETFD) & FD_CLOEXEC) != 0; }

TEST(WinsockStartup, NegotiatesVersionOneOneCountsCleanupsAndKeepsErrorsPerThread) {
  WSADATA data;
  memset(&data, 0xCC, sizeof data);
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data)) << "a newer request is answered with 1.1";
  EXPECT_EQ(MAKEWORD(1, 1), data.wVersion);
  EXPECT_EQ(MAKEWORD(1, 1), data.wHighVersion);
  EXPECT_STREQ("Running", data.szSystemStatus);
  ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 0), &data));
  EXPECT_EQ(MAKEWORD(1, 0), data.wVersion);
  EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 9), &data));
  EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(1, 1), nullptr));
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(SOCKET_ERROR, WSACleanup()) << "two start-ups, two cleanups";
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
  WSASetLastError(1234);
  std::thread([] { WSASetLastError(77); }).join();
  EXPECT_EQ(1234, errno) << "the thread's own errno";
}

TEST_F(Winsock, ByteOrderAndAddressText) {
  u_long word = htonl(0x01020304ul);
  EXPECT_EQ(1, reinterpret_cast<u_char*>(&word)[0]);
  EXPECT_EQ(0x01020304ul, ntohl(word));
  EXPECT_EQ(0x0304, htons(0x0403));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), inet_addr("127.0.0.1"));
  EXPECT_EQ(htonl(0x01020003ul), inet_addr("1.2.3")) << "the last part fills the low 16 bits";
  EXPECT_EQ(static_cast<u_long>(INADDR_NONE), inet_addr("not an address"));
  EXPECT_EQ(static_cast<u_long>(INADDR_NONE), inet_addr(nullptr));
}

TEST_F(Winsock, StreamCallsOnLoopback) {
  u_short port = 0;
  SOCKET l = loopback::listener(&port);
  ASSERT_NE(INVALID_SOCKET, l);
  EXPECT_TRUE(closesOnExec(l)) << "no leak into children";
  SOCKET clash = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in same = address(port);
  EXPECT_EQ(SOCKET_ERROR, bind(clash, as_sockaddr(same), sizeof same));
  EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
  ASSERT_EQ(0, connect(clash, as_sockaddr(same), sizeof same));
  sockaddr_in from, name, peer;
  int fromLength = sizeof from, nameLength = sizeof name, peerLength = sizeof peer;
  SOCKET s = accept(l, as_sockaddr(from), &fromLength);
  ASSERT_NE(INVALID_SOCKET, s);
  EXPECT_TRUE(closesOnExec(s));
  loopback::set_timeouts(s);
  ASSERT_EQ(0, getsockname(clash, as_sockaddr(name), &nameLength));
  ASSERT_EQ(0, getpeername(s, as_sockaddr(peer), &peerLength));
  EXPECT_EQ(name.sin_port, peer.sin_port);
  EXPECT_EQ(name.sin_port, from.sin_port);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);

  EXPECT_EQ(5, send(clash, "hello", 5, 0));
  char buffer[8] = {};
  EXPECT_EQ(5, recv(s, buffer, sizeof buffer, MSG_PEEK)) << "waits for the bytes to arrive";
  u_long pending = 0;
  EXPECT_EQ(0, ioctlsocket(s, FIONREAD, &pending));
  EXPECT_EQ(5u, pending);
  EXPECT_EQ("hello", loopback::recv_exactly(s, 5));
  // A send after shutting down sending fails with EPIPE instead of raising SIGPIPE.
  EXPECT_EQ(0, shutdown(clash, 1));
  EXPECT_EQ(SOCKET_ERROR, send(clash, "x", 1, 0));
  EXPECT_EQ(EPIPE, WSAGetLastError());
  EXPECT_EQ(0, recv(s, buffer, sizeof buffer, 0));
  for (SOCKET open : {clash, s, l}) EXPECT_EQ(0, closesocket(open));
}

TEST_F(Winsock, DatagramsAndTheReceiveTimeOut) {
  SOCKET a = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), b = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in any = address(0);
  ASSERT_EQ(0, bind(a, as_sockaddr(any), sizeof any));
  ASSERT_EQ(0, bind(b, as_sockaddr(any), sizeof any));
  loopback::set_timeouts(b, 200);
  sockaddr_in toB = address(loopback::local_port(b)), from;
  int fromLength = sizeof from;
  EXPECT_EQ(4, sendto(a, "dgrm", 4, 0, as_sockaddr(toB), sizeof toB));
  char buffer[8] = {};
  EXPECT_EQ(4, recvfrom(b, buffer, sizeof buffer, 0, as_sockaddr(from), &fromLength));
  EXPECT_EQ(loopback::local_port(a), ntohs(from.sin_port));
  EXPECT_EQ(SOCKET_ERROR, recv(b, buffer, 1, 0));
  EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError()) << "Linux's code for a time-out";
  EXPECT_EQ(0, closesocket(a));
  EXPECT_EQ(0, closesocket(b));
}

TEST_F(Winsock, IoctlSwitchesBlockingModeAndRefusesTheRest) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  u_long on = 1, off = 0;
  EXPECT_EQ(0, ioctlsocket(s, FIONBIO, &on));
  EXPECT_TRUE(isNonblocking(s));
  EXPECT_EQ(0, ioctlsocket(s, FIONBIO, &off));
  EXPECT_FALSE(isNonblocking(s));
  // Linux closes and switches any descriptor; these calls must refuse one that is no socket, as
  // Windows does, and leave it as it was.
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const struct {
    SOCKET handle;
    long command;
    u_long* argument;
    int error;
  } refused[] = {{s, 0x12345678, &on, WSAEINVAL},
                 {s, FIONBIO, nullptr, WSAEFAULT},
                 {INVALID_SOCKET, FIONBIO, &on, WSAEBADF},
                 {static_cast<SOCKET>(fds[0]), FIONBIO, &on, WSAENOTSOCK}};
  for (const auto& r : refused) {
    EXPECT_EQ(SOCKET_ERROR, ioctlsocket(r.handle, r.command, r.argument));
    EXPECT_EQ(r.error, WSAGetLastError()) << r.command;
  }
  EXPECT_FALSE(isNonblocking(fds[0]));
  EXPECT_EQ(SOCKET_ERROR, closesocket(fds[0]));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
  EXPECT_EQ(0, close(fds[0])) << "the pipe was left open";
  EXPECT_EQ(0, close(fds[1]));
  EXPECT_EQ(SOCKET_ERROR, closesocket(INVALID_SOCKET));
  EXPECT_EQ(WSAEBADF, WSAGetLastError());
  EXPECT_EQ(0, closesocket(s));
}

TEST_F(Winsock, AcceptedSocketTakesTheListenersBlockingMode) {
  for (u_long mode : {1ul, 0ul}) {
    u_short port = 0;
    SOCKET l = loopback::listener(&port);
    ASSERT_EQ(0, ioctlsocket(l, FIONBIO, &mode));
    SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in there = address(port);
    ASSERT_EQ(0, connect(c, as_sockaddr(there), sizeof there));
    SOCKET s = INVALID_SOCKET;
    for (int tries = 0; s == INVALID_SOCKET && tries < 500; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(tries == 0 ? 0 : 10));
      s = accept(l, nullptr, nullptr);
    }
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_EQ(mode != 0, isNonblocking(s)) << "listener mode " << mode;
    for (SOCKET open : {s, c, l}) closesocket(open);
  }
}

TEST_F(Winsock, SocketOptionsTakeWindowsNamesAndShapes) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int value = 0, length = sizeof value;
  auto set = [&](int level, int name, const void* v, int size) {
    return setsockopt(s, level, name, static_cast<const char*>(v), size);
  };
  auto get = [&](int level, int name, void* v, int size) {
    length = size;
    return getsockopt(s, level, name, static_cast<char*>(v), &length);
  };
  // Written, then read back: buffer sizes as set (Linux alone reports them doubled), time-outs
  // in milliseconds, other levels passed through.
  const struct {
    int level, name, written, read;
  } options[] = {{SOL_SOCKET, SO_KEEPALIVE, 1, 1},       {IPPROTO_TCP, TCP_NODELAY, 1, 1},
                 {SOL_SOCKET, SO_SNDBUF, 32768, 32768},  {SOL_SOCKET, SO_RCVTIMEO, 1500, 1500},
                 {SOL_SOCKET, SO_TYPE, -1, SOCK_STREAM}, {SOL_SOCKET, SO_ERROR, -1, 0}};
  for (const auto& o : options) {
    if (o.written >= 0) {
      EXPECT_EQ(0, set(o.level, o.name, &o.written, sizeof o.written));
    }
    value = -1;
    EXPECT_EQ(0, get(o.level, o.name, &value, sizeof value));
    EXPECT_EQ(o.read, value) << o.name;
    EXPECT_EQ(static_cast<int>(sizeof(int)), length) << o.name;
  }
  char shortValue = 0;
  EXPECT_EQ(SOCKET_ERROR, set(SOL_SOCKET, SO_RCVTIMEO, &shortValue, 1));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
  // The 16-bit linger record, and SO_DONTLINGER as its inverse that keeps the time.
  linger on = {1, 7}, got = {0, 0};
  EXPECT_EQ(0, set(SOL_SOCKET, SO_LINGER, &on, sizeof on));
  EXPECT_EQ(0, get(SOL_SOCKET, SO_LINGER, &got, sizeof got));
  EXPECT_EQ(1, got.l_onoff);
  EXPECT_EQ(7, got.l_linger);
  EXPECT_EQ(static_cast<int>(sizeof got), length);
  const int one = 1;
  EXPECT_EQ(0, set(SOL_SOCKET, static_cast<int>(SO_DONTLINGER), &one, sizeof one));
  EXPECT_EQ(0, get(SOL_SOCKET, SO_LINGER, &got, sizeof got));
  EXPECT_EQ(0, got.l_onoff);
  EXPECT_EQ(7, got.l_linger);
  EXPECT_EQ(SOCKET_ERROR, set(SOL_SOCKET, 0x4000, &one, sizeof one)) << "not in Sockets 1.1";
  EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError());
  EXPECT_EQ(0, closesocket(s));
}

}  // namespace
