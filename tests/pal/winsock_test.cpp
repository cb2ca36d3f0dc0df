// The PAL's Windows Sockets 1.1 layer: Windows shapes of options and ioctls on Linux sockets, the
// errno-based error codes, the deliberate differences from plain Linux (no SIGPIPE, close-on-exec,
// blocking mode carried over by accept) and the start-up bookkeeping. EINTR: winsock_signal_test.
#include <winsock.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using loopback::address;
using loopback::as_sockaddr;

class Winsock : public loopback::WinsockTest {};

// The header's shapes are 32-bit Windows', its WSAE* names the host's errno values; the layer
// itself cannot include the header, so this is where the two are held together.
static_assert(sizeof(SOCKET) == 4 && INVALID_SOCKET == 0xFFFFFFFFu, "Windows handles");
static_assert(sizeof(sockaddr) == 16 && sizeof(sockaddr_in) == 16, "16-byte addresses");
static_assert(sizeof(WSADATA) == 400, "WSADATA of 32-bit Windows");
static_assert(FIONBIO == static_cast<long>(0x8004667EUL), "FIONBIO of Windows Sockets 1.1");
static_assert(WSAEWOULDBLOCK == EWOULDBLOCK && WSAEINPROGRESS == EINPROGRESS &&
                  WSAECONNREFUSED == ECONNREFUSED && WSAECONNRESET == ECONNRESET &&
                  WSAEADDRINUSE == EADDRINUSE && WSAEAFNOSUPPORT == EAFNOSUPPORT &&
                  WSAENOTSOCK == ENOTSOCK && WSAENOPROTOOPT == ENOPROTOOPT &&
                  WSAETIMEDOUT == ETIMEDOUT && WSAENOTCONN == ENOTCONN && WSAEBADF == EBADF,
              "WSAE* names carry the host's errno values");

bool is_nonblocking(SOCKET s) { return (fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK) != 0; }

TEST(WinsockStartup, NegotiatesVersionOneOneAndCountsCleanups) {
  WSADATA data;
  memset(&data, 0xCC, sizeof data);
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data)) << "a newer request is answered with 1.1";
  EXPECT_EQ(MAKEWORD(1, 1), data.wVersion);
  EXPECT_EQ(MAKEWORD(1, 1), data.wHighVersion);
  EXPECT_LT(strlen(data.szDescription), sizeof data.szDescription);
  EXPECT_STREQ("Running", data.szSystemStatus);
  EXPECT_EQ(nullptr, data.lpVendorInfo);

  ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 0), &data));
  EXPECT_EQ(MAKEWORD(1, 0), data.wVersion);
  EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 9), &data));
  EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(1, 1), nullptr));

  // Two successful start-ups: two cleanups succeed, the third is refused.
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(SOCKET_ERROR, WSACleanup());
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
}

TEST(WinsockLastError, IsTheThreadsOwnErrno) {
  WSASetLastError(1234);
  EXPECT_EQ(1234, errno);
  int other = -1;
  std::thread([&] {
    WSASetLastError(77);
    other = WSAGetLastError();
  }).join();
  EXPECT_EQ(77, other);
  EXPECT_EQ(1234, WSAGetLastError()) << "another thread's failures do not leak in";

  EXPECT_EQ(SOCKET_ERROR, closesocket(INVALID_SOCKET));
  EXPECT_EQ(WSAEBADF, WSAGetLastError());
}

TEST_F(Winsock, ByteOrderAndAddressText) {
  u_short port = htons(0x1234);
  EXPECT_EQ(0x12, reinterpret_cast<u_char*>(&port)[0]);
  EXPECT_EQ(0x1234, ntohs(port));
  u_long word = htonl(0x01020304ul);
  EXPECT_EQ(1, reinterpret_cast<u_char*>(&word)[0]);
  EXPECT_EQ(4, reinterpret_cast<u_char*>(&word)[3]);
  EXPECT_EQ(0x01020304ul, ntohl(word));

  EXPECT_EQ(htonl(INADDR_LOOPBACK), inet_addr("127.0.0.1"));
  EXPECT_EQ(htonl(0x01020003ul), inet_addr("1.2.3")) << "the last part fills the low 16 bits";
  EXPECT_EQ(static_cast<u_long>(INADDR_NONE), inet_addr("not an address"));
  EXPECT_EQ(static_cast<u_long>(INADDR_NONE), inet_addr(nullptr));
}

TEST_F(Winsock, StreamCallsOnLoopback) {
  u_short port = 0;
  SOCKET l = loopback::listener(&port);
  ASSERT_NE(INVALID_SOCKET, l);
  EXPECT_NE(0, fcntl(static_cast<int>(l), F_GETFD) & FD_CLOEXEC) << "no leak into children";

  // A second bind to the same port is refused with the host's code.
  SOCKET clash = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in same = address(port);
  EXPECT_EQ(SOCKET_ERROR, bind(clash, as_sockaddr(same), sizeof same));
  EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
  EXPECT_EQ(0, closesocket(clash));

  SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(0, connect(c, as_sockaddr(same), sizeof same));
  sockaddr_in from;
  int fromLength = sizeof from;
  SOCKET s = accept(l, as_sockaddr(from), &fromLength);
  ASSERT_NE(INVALID_SOCKET, s);
  EXPECT_NE(0, fcntl(static_cast<int>(s), F_GETFD) & FD_CLOEXEC);
  loopback::set_timeouts(c);
  loopback::set_timeouts(s);

  sockaddr_in name, peer;
  int nameLength = sizeof name, peerLength = sizeof peer;
  ASSERT_EQ(0, getsockname(c, as_sockaddr(name), &nameLength));
  ASSERT_EQ(0, getpeername(s, as_sockaddr(peer), &peerLength));
  EXPECT_EQ(name.sin_port, peer.sin_port);
  EXPECT_EQ(name.sin_port, from.sin_port);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);

  EXPECT_EQ(5, send(c, "hello", 5, 0));
  char buffer[8] = {};
  EXPECT_EQ(5, recv(s, buffer, sizeof buffer, MSG_PEEK)) << "waits for the bytes to arrive";
  u_long pending = 0;
  EXPECT_EQ(0, ioctlsocket(s, FIONREAD, &pending));
  EXPECT_EQ(5u, pending);
  EXPECT_EQ("hello", loopback::recv_exactly(s, 5));

  // A send after shutting down sending fails with EPIPE instead of raising SIGPIPE.
  EXPECT_EQ(0, shutdown(c, 1));
  EXPECT_EQ(SOCKET_ERROR, send(c, "x", 1, 0));
  EXPECT_EQ(EPIPE, WSAGetLastError());
  EXPECT_EQ(0, recv(s, buffer, sizeof buffer, 0));

  EXPECT_EQ(0, closesocket(c));
  EXPECT_EQ(0, closesocket(s));
  EXPECT_EQ(0, closesocket(l));
}

TEST_F(Winsock, DatagramCalls) {
  SOCKET a = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  SOCKET b = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in any = address(0);
  ASSERT_EQ(0, bind(a, as_sockaddr(any), sizeof any));
  ASSERT_EQ(0, bind(b, as_sockaddr(any), sizeof any));
  loopback::set_timeouts(b);
  sockaddr_in toB = address(loopback::local_port(b));
  EXPECT_EQ(4, sendto(a, "dgrm", 4, 0, as_sockaddr(toB), sizeof toB));
  char buffer[8] = {};
  sockaddr_in from;
  int fromLength = sizeof from;
  EXPECT_EQ(4, recvfrom(b, buffer, sizeof buffer, 0, as_sockaddr(from), &fromLength));
  EXPECT_EQ(loopback::local_port(a), ntohs(from.sin_port));
  EXPECT_EQ(0, closesocket(a));
  EXPECT_EQ(0, closesocket(b));
}

TEST_F(Winsock, IoctlSwitchesBlockingModeAndRefusesOtherCommands) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(INVALID_SOCKET, s);
  EXPECT_FALSE(is_nonblocking(s));
  u_long on = 1;
  EXPECT_EQ(0, ioctlsocket(s, FIONBIO, &on));
  EXPECT_TRUE(is_nonblocking(s));
  u_long off = 0;
  EXPECT_EQ(0, ioctlsocket(s, FIONBIO, &off));
  EXPECT_FALSE(is_nonblocking(s));

  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(s, 0x12345678, &on));
  EXPECT_EQ(WSAEINVAL, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(s, FIONBIO, nullptr));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(INVALID_SOCKET, FIONBIO, &on));
  EXPECT_EQ(WSAEBADF, WSAGetLastError());
  EXPECT_EQ(0, closesocket(s));
}

// Linux closes and switches any descriptor; the socket calls must refuse one that is no socket,
// as Windows does, and leave it as it was.
TEST_F(Winsock, ADescriptorThatIsNoSocketIsRefusedAndLeftAlone) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  SOCKET handle = static_cast<SOCKET>(fds[0]);
  u_long on = 1;
  EXPECT_EQ(SOCKET_ERROR, ioctlsocket(handle, FIONBIO, &on));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
  EXPECT_FALSE(is_nonblocking(handle));
  EXPECT_EQ(SOCKET_ERROR, closesocket(handle));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
  EXPECT_EQ(0, close(fds[0])) << "the pipe was closed";
  EXPECT_EQ(0, close(fds[1]));
}

TEST_F(Winsock, AcceptedSocketTakesTheListenersBlockingMode) {
  for (u_long mode : {1ul, 0ul}) {
    u_short port = 0;
    SOCKET l = loopback::listener(&port);
    ASSERT_NE(INVALID_SOCKET, l);
    ASSERT_EQ(0, ioctlsocket(l, FIONBIO, &mode));
    SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in there = address(port);
    ASSERT_EQ(0, connect(c, as_sockaddr(there), sizeof there));
    SOCKET s = INVALID_SOCKET;
    for (int tries = 0; s == INVALID_SOCKET && tries < 500; ++tries) {
      s = accept(l, nullptr, nullptr);
      if (s == INVALID_SOCKET) {
        ASSERT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ASSERT_NE(INVALID_SOCKET, s);
    EXPECT_EQ(mode != 0, is_nonblocking(s)) << "listener mode " << mode;
    closesocket(s);
    closesocket(c);
    closesocket(l);
  }
}

TEST_F(Winsock, SocketOptionsTakeWindowsNamesAndShapes) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(INVALID_SOCKET, s);
  int value = 0, length = sizeof value;
  auto set_int = [&](int level, int name, int v) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&v), sizeof v);
  };
  auto get_int = [&](int level, int name) {
    value = -1;
    length = sizeof value;
    return getsockopt(s, level, name, reinterpret_cast<char*>(&value), &length);
  };

  EXPECT_EQ(0, get_int(SOL_SOCKET, SO_TYPE));
  EXPECT_EQ(SOCK_STREAM, value);
  EXPECT_EQ(0, get_int(SOL_SOCKET, SO_ERROR));
  EXPECT_EQ(0, value);
  EXPECT_EQ(0, set_int(SOL_SOCKET, SO_KEEPALIVE, 1));
  EXPECT_EQ(0, get_int(SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_NE(0, value);
  EXPECT_EQ(0, set_int(IPPROTO_TCP, TCP_NODELAY, 1)) << "other levels pass through";
  EXPECT_EQ(0, get_int(IPPROTO_TCP, TCP_NODELAY));
  EXPECT_NE(0, value);

  // Buffer sizes read back as set (Linux alone would report them doubled).
  EXPECT_EQ(0, set_int(SOL_SOCKET, SO_SNDBUF, 32768));
  EXPECT_EQ(0, get_int(SOL_SOCKET, SO_SNDBUF));
  EXPECT_EQ(32768, value);

  // Time-outs in milliseconds.
  EXPECT_EQ(0, set_int(SOL_SOCKET, SO_RCVTIMEO, 1500));
  EXPECT_EQ(0, get_int(SOL_SOCKET, SO_RCVTIMEO));
  EXPECT_EQ(1500, value);
  EXPECT_EQ(static_cast<int>(sizeof(DWORD)), length);
  char shortValue = 0;
  EXPECT_EQ(SOCKET_ERROR, setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &shortValue, 1));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());

  // The 16-bit linger record, and SO_DONTLINGER as its inverse that keeps the time.
  linger on = {1, 7};
  EXPECT_EQ(0, setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&on), sizeof on));
  linger got = {0, 0};
  length = sizeof got;
  EXPECT_EQ(0, getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&got), &length));
  EXPECT_EQ(1, got.l_onoff);
  EXPECT_EQ(7, got.l_linger);
  EXPECT_EQ(static_cast<int>(sizeof got), length);
  EXPECT_EQ(0, get_int(SOL_SOCKET, static_cast<int>(SO_DONTLINGER)));
  EXPECT_EQ(0, value);
  EXPECT_EQ(0, set_int(SOL_SOCKET, static_cast<int>(SO_DONTLINGER), 1));
  length = sizeof got;
  EXPECT_EQ(0, getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&got), &length));
  EXPECT_EQ(0, got.l_onoff);
  EXPECT_EQ(7, got.l_linger);

  // A name Windows Sockets 1.1 does not have at SOL_SOCKET.
  EXPECT_EQ(SOCKET_ERROR, set_int(SOL_SOCKET, 0x4000, 1));
  EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError());
  EXPECT_EQ(0, closesocket(s));
}

TEST_F(Winsock, ReceiveTimeOutEndsABlockingReceive) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in any = address(0);
  ASSERT_EQ(0, bind(s, as_sockaddr(any), sizeof any));
  loopback::set_timeouts(s, 200);
  char byte;
  EXPECT_EQ(SOCKET_ERROR, recv(s, &byte, 1, 0));
  EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError())
      << "Linux's code for a time-out (Windows: WSAETIMEDOUT)";
  EXPECT_EQ(0, closesocket(s));
}

// A length of 2^31 or more in a caller's unsigned hands arrives negative: refused as a bad buffer
// and nothing moves, although the buffer lies in mapped memory the kernel could have run into.
TEST_F(Winsock, NegativeLengthsAreRefusedAsBadBuffers) {
  SOCKET c, s;
  ASSERT_TRUE(loopback::connected_pair(&c, &s));
  ASSERT_EQ(1, send(c, "!", 1, 0));
  std::vector<char> buffer(65536, 'x');
  for (int len : {-1, INT_MIN}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(SOCKET_ERROR, send(c, buffer.data(), len, 0));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, sendto(c, buffer.data(), len, 0, nullptr, 0));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, recv(s, buffer.data(), len, 0));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, recvfrom(s, buffer.data(), len, 0, nullptr, nullptr));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
  }
  EXPECT_EQ("!", loopback::recv_exactly(s, 1));
  u_long pending = 1;
  EXPECT_EQ(0, ioctlsocket(s, FIONREAD, &pending));
  EXPECT_EQ(0u, pending);
  EXPECT_EQ(0, closesocket(c));
  EXPECT_EQ(0, closesocket(s));
}

}  // namespace
