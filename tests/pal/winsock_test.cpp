// Windows Sockets 1.1 on Linux sockets: start-up bookkeeping, Windows shapes of options and
// ioctls, errno-based error codes, and the deliberate differences from plain Linux (no SIGPIPE,
// no EINTR, close-on-exec, blocking mode carried over by accept).
//
// The program stays single-threaded: under qemu-i386 (user mode) a signal handled in a process
// that has ever had a second thread comes back with that thread's TLS, which would fail the
// signal case for a reason that is not ours.
#include <winsock.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

namespace {

using loopback::address;
using loopback::as_sockaddr;

class Winsock : public loopback::WinsockTest {};

bool isNonblocking(SOCKET s) { return (fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK) != 0; }
bool closesOnExec(SOCKET s) { return (fcntl(static_cast<int>(s), F_GETFD) & FD_CLOEXEC) != 0; }

// The error a call that returned SOCKET_ERROR left, -1 after any other result.
int errorOf(int result) { return result == SOCKET_ERROR ? WSAGetLastError() : -1; }

TEST(WinsockStartup, NegotiatesVersionOneOneAndCountsCleanups) {
  WSADATA data;
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data)) << "a newer request is answered with 1.1";
  EXPECT_EQ(MAKEWORD(1, 1), data.wVersion);
  ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 0), &data));
  EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 9), &data));
  EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(1, 1), nullptr));
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(0, WSACleanup());
  EXPECT_EQ(errorOf(WSACleanup()), WSANOTINITIALISED) << "two start-ups, two cleanups";
  EXPECT_EQ(static_cast<u_long>(INADDR_NONE), inet_addr(nullptr));
}

TEST_F(Winsock, StreamsCloseOnExecTakeTheListenersModeAndFailInsteadOfRaisingSigpipe) {
  u_short port = 0;
  SOCKET l = loopback::listener(&port);
  ASSERT_NE(INVALID_SOCKET, l);
  u_long on = 1, off = 0;
  ASSERT_EQ(0, ioctlsocket(l, FIONBIO, &on));
  SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in there = address(port);
  EXPECT_EQ(errorOf(bind(c, as_sockaddr(there), sizeof there)), WSAEADDRINUSE);
  ASSERT_EQ(0, connect(c, as_sockaddr(there), sizeof there));
  SOCKET s = accept(l, nullptr, nullptr);
  for (int tries = 0; s == INVALID_SOCKET && tries < 500; ++tries) {
    usleep(10000);
    s = accept(l, nullptr, nullptr);
  }
  ASSERT_NE(INVALID_SOCKET, s);
  EXPECT_TRUE(isNonblocking(s)) << "the listener's mode, carried over";
  for (SOCKET open : {l, c, s}) EXPECT_TRUE(closesOnExec(open)) << "no leak into children";
  EXPECT_EQ(0, ioctlsocket(s, FIONBIO, &off));
  EXPECT_FALSE(isNonblocking(s));
  loopback::set_timeouts(s, 200);
  char buffer[8] = {};
  EXPECT_EQ(errorOf(recv(s, buffer, 1, 0)), WSAEWOULDBLOCK) << "Linux's code for a time-out";
  EXPECT_EQ(0, shutdown(c, 1));
  EXPECT_EQ(errorOf(send(c, "x", 1, 0)), EPIPE);
  for (SOCKET open : {c, s, l}) EXPECT_EQ(0, closesocket(open));
}

// Linux closes and switches any descriptor; the socket calls must refuse one that is no socket,
// as Windows does, and leave it as it was.
TEST_F(Winsock, IoctlAndCloseRefuseWhatIsNoSocketOrNoCommand) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  u_long on = 1;
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
    EXPECT_EQ(errorOf(ioctlsocket(r.handle, r.command, r.argument)), r.error) << r.command;
  }
  EXPECT_FALSE(isNonblocking(fds[0]));
  EXPECT_EQ(errorOf(closesocket(fds[0])), WSAENOTSOCK);
  EXPECT_EQ(0, close(fds[0])) << "the pipe was left open";
  close(fds[1]);
  EXPECT_EQ(0, closesocket(s));
}

TEST_F(Winsock, SocketOptionsTakeWindowsNamesAndShapes) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int length = 0;
  auto set = [&](int name, const void* v, int size, int level = SOL_SOCKET) {
    return setsockopt(s, level, name, static_cast<const char*>(v), size);
  };
  auto get = [&](int name, void* v, int size, int level = SOL_SOCKET) {
    length = size;
    return getsockopt(s, level, name, static_cast<char*>(v), &length);
  };
  // Buffer sizes read back as set (Linux alone reports them doubled), time-outs in milliseconds,
  // other levels passed through; -1: read only.
  const struct {
    int level, name, written, read;
  } options[] = {{SOL_SOCKET, SO_SNDBUF, 32768, 32768},
                 {SOL_SOCKET, SO_RCVTIMEO, 1500, 1500},
                 {IPPROTO_TCP, TCP_NODELAY, 1, 1},
                 {SOL_SOCKET, SO_TYPE, -1, SOCK_STREAM},
                 {SOL_SOCKET, SO_ERROR, -1, 0}};
  for (const auto& o : options) {
    int value = -1;
    if (o.written >= 0) {
      EXPECT_EQ(0, set(o.name, &o.written, sizeof o.written, o.level));
    }
    EXPECT_EQ(0, get(o.name, &value, sizeof value, o.level));
    EXPECT_EQ(o.read, value) << o.name;
  }
  char shortValue = 0;
  EXPECT_EQ(errorOf(set(SO_RCVTIMEO, &shortValue, 1)), WSAEFAULT);
  const int one = 1;
  EXPECT_EQ(errorOf(set(0x4000, &one, sizeof one)), WSAENOPROTOOPT) << "not in Sockets 1.1";
  EXPECT_EQ(0, closesocket(s));
}

volatile sig_atomic_t g_signals = 0;

// Windows has no signals, so its callers never expect EINTR: a handled signal must not end a call.
TEST_F(Winsock, ABlockingReceiveCarriesOnAfterAHandledSignal) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in any = address(0);
  ASSERT_EQ(0, bind(s, as_sockaddr(any), sizeof any));
  loopback::set_timeouts(s, 300);
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) { g_signals = g_signals + 1; };  // no SA_RESTART: Linux gives EINTR
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  itimerval alarm = {};
  alarm.it_value.tv_usec = 100 * 1000;
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &alarm, nullptr));
  char byte;
  EXPECT_EQ(errorOf(recv(s, &byte, 1, 0)), WSAEWOULDBLOCK) << "the time-out, not EINTR";
  EXPECT_EQ(1, g_signals) << "the alarm went off during the receive";
  sigaction(SIGALRM, &previous, nullptr);
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
