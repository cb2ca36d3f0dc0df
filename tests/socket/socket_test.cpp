// quor::Socket on real loopback sockets: the wrapper's own contract (results, the remembered
// error and blocking mode, who closes the handle). The exchanges themselves are the PAL's tests.
#include <quor/Socket.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace {

using loopback::address;
using loopback::as_sockaddr;
using quor::Socket;

const int kSentinel = 4242;  // a last-error value no socket call produces

class SocketTest : public loopback::WinsockTest {};

// Binds to 127.0.0.1 at a port the system picks and returns the port (0 when a step failed).
u_short bindLoopback(Socket& s) {
  sockaddr_in any = address(0);
  if (s.bind(as_sockaddr(any), sizeof any) != 0) return 0;
  loopback::set_timeouts(s.getSocket());
  return loopback::local_port(s.getSocket());
}

// Each shutdown code reaches the system as the one its name says.
TEST_F(SocketTest, ShutdownCodesAndTheSendAndReceiveBetweenThem) {
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  Socket client(a), server(b);
  // Receive side shut: recv ends at once although the peer is still open; sending still works.
  EXPECT_EQ(0, client.shutdown(Socket::SOCKET_SHUTDOWN_RECEIVE));
  char byte;
  EXPECT_EQ(0, client.recv(&byte, 1, 0));
  EXPECT_EQ(5, client.send("hello", 5, 0));
  EXPECT_EQ("hello", loopback::recv_exactly(b, 5));
  EXPECT_EQ(0, client.shutdown(Socket::SOCKET_SHUTDOWN_SEND));
  EXPECT_EQ(0, server.recv(&byte, 1, 0)) << "the peer reads the end of the stream";
  // Both: sending fails too (Linux's code for it is EPIPE, Windows' WSAESHUTDOWN).
  EXPECT_EQ(0, server.shutdown(Socket::SOCKET_SHUTDOWN_BOTH));
  EXPECT_EQ(-1, server.send("y", 1, 0));
  EXPECT_EQ(static_cast<unsigned int>(EPIPE), server.getLastError());
}

// Failed calls return -1 (or false, or INVALID_SOCKET) and keep the system's code until the next
// failure replaces it; a success leaves it in place.
TEST_F(SocketTest, FailuresKeepTheSystemCodeUntilTheNextFailure) {
  sockaddr_in any = address(0);
  int length = sizeof any, value = 0, valueLength = sizeof value;
  char byte = 0;
  const std::function<int(Socket&)> calls[] = {
      [&](Socket& s) { return s.shutdown(Socket::SOCKET_SHUTDOWN_BOTH); },
      [&](Socket& s) { return s.connect(as_sockaddr(any), sizeof any); },
      [&](Socket& s) { return s.bind(as_sockaddr(any), sizeof any); },
      [&](Socket& s) { return s.listen(1); },
      [&](Socket& s) { return s.send(&byte, 1, 0); },
      [&](Socket& s) { return s.sendto(&byte, 1, 0, as_sockaddr(any), sizeof any); },
      [&](Socket& s) { return s.recv(&byte, 1, 0); },
      [&](Socket& s) { return s.recvfrom(&byte, 1, 0, as_sockaddr(any), &length); },
      [&](Socket& s) { return s.setsockopt(SOL_SOCKET, SO_REUSEADDR, &value, sizeof value); },
      [&](Socket& s) { return s.getsockopt(SOL_SOCKET, SO_REUSEADDR, &value, &valueLength); },
  };
  for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
    Socket none;  // no handle: the system fails every call
    EXPECT_EQ(-1, calls[i](none)) << "call " << i;
    EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), none.getLastError()) << "call " << i;
  }

  Socket blocker, client;  // bound but not listening: refuses connections, accepts nothing
  ASSERT_TRUE(blocker.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in refused = address(bindLoopback(blocker));
  ASSERT_TRUE(client.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_EQ(-1, client.connect(as_sockaddr(refused), sizeof refused));
  EXPECT_EQ(static_cast<unsigned int>(WSAECONNREFUSED), client.getLastError());
  EXPECT_EQ(INVALID_SOCKET, blocker.accept(nullptr, nullptr));
  EXPECT_EQ(static_cast<unsigned int>(WSAEINVAL), blocker.getLastError());

  int on = 1, got = 0, gotLength = sizeof got;
  EXPECT_EQ(0, client.setsockopt(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
  EXPECT_EQ(0, client.getsockopt(SOL_SOCKET, SO_REUSEADDR, &got, &gotLength));
  EXPECT_NE(0, got);
  EXPECT_EQ(static_cast<unsigned int>(WSAECONNREFUSED), client.getLastError());
  EXPECT_EQ(-1, client.getsockopt(SOL_SOCKET, 0x4000, &got, &gotLength));
  EXPECT_EQ(static_cast<unsigned int>(WSAENOPROTOOPT), client.getLastError());

  // An address family the system rejects: false, the code, and the old handle kept.
  unsigned int held = client.getSocket();
  EXPECT_FALSE(client.socket(12345, SOCK_STREAM, 0));
  EXPECT_EQ(static_cast<unsigned int>(WSAEAFNOSUPPORT), client.getLastError());
  EXPECT_EQ(held, client.getSocket());
}

TEST_F(SocketTest, NonBlockingModeIsRememberedNotAsked) {
  Socket none;
  EXPECT_FALSE(none.setNonBlock(true)) << "no handle";
  EXPECT_FALSE(none.getNonBlock());
  EXPECT_NE(0u, none.getLastError());

  Socket s, peer;
  ASSERT_TRUE(s.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  ASSERT_TRUE(peer.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in to = address(bindLoopback(s));
  EXPECT_TRUE(s.setNonBlock(true));
  EXPECT_TRUE(s.getNonBlock());
  // Really non-blocking: recv returns at once. Should it wait, a datagram sent after two seconds
  // frees it, and the test fails instead of hanging.
  std::atomic<bool> returned{false};
  std::thread rescue([&] {
    for (int i = 0; i < 200 && !returned; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!returned) peer.sendto("x", 1, 0, as_sockaddr(to), sizeof to);
  });
  char byte;
  EXPECT_EQ(-1, s.recv(&byte, 1, 0));
  returned = true;
  rescue.join();
  EXPECT_EQ(static_cast<unsigned int>(WSAEWOULDBLOCK), s.getLastError());
  // The flag outlives the handle, although a new socket starts blocking.
  EXPECT_EQ(0, s.close());
  ASSERT_TRUE(s.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  EXPECT_TRUE(s.getNonBlock());
  EXPECT_TRUE(s.setNonBlock(false));
  EXPECT_FALSE(s.getNonBlock());

  SOCKET raw = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  u_long on = 1;
  ASSERT_EQ(0, ioctlsocket(raw, FIONBIO, &on));
  Socket wrapped(raw);
  EXPECT_FALSE(wrapped.getNonBlock()) << "made non-blocking behind the object's back";
}

// While the thread's last error still holds the sentinel, no system call was made.
TEST_F(SocketTest, CloseGivesUpTheHandleAndCallsNothingWithoutOne) {
  WSASetLastError(kSentinel);
  {
    Socket none;
    EXPECT_EQ(INVALID_SOCKET, none.getSocket());
    EXPECT_EQ(0u, none.getLastError());
    EXPECT_EQ(-1, none.close());
    EXPECT_EQ(0u, none.getLastError());
  }
  EXPECT_EQ(kSentinel, WSAGetLastError()) << "neither close nor the destructor called the system";

  // A number that is no open descriptor: closesocket fails and the handle is given up all the
  // same; a second close calls nothing and keeps the recorded code.
  Socket bogus(0x7FFFFFF0u);
  EXPECT_EQ(-1, bogus.close());
  EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), bogus.getLastError());
  EXPECT_EQ(INVALID_SOCKET, bogus.getSocket());
  WSASetLastError(kSentinel);
  EXPECT_EQ(-1, bogus.close());
  EXPECT_EQ(kSentinel, WSAGetLastError());
  EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), bogus.getLastError());

  // The destructor closes a held handle: the peer reads the end of the stream.
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  { Socket owner(a); }
  char byte;
  EXPECT_EQ(0, recv(b, &byte, 1, 0));
  closesocket(b);
}

TEST_F(SocketTest, AssignmentSharesTheHandleWithoutClosingOrDuplicating) {
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  Socket first(a);
  ASSERT_TRUE(first.setNonBlock(true));
  EXPECT_EQ(-1, first.recv(nullptr, 0, MSG_OOB));  // some failure, to have a code to copy
  unsigned int code = first.getLastError();
  ASSERT_NE(0u, code);

  SOCKET other = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  Socket second(other);
  second = first;
  EXPECT_EQ(a, second.getSocket());
  EXPECT_EQ(code, second.getLastError());
  EXPECT_TRUE(second.getNonBlock());
  EXPECT_EQ(0, closesocket(other)) << "the overwritten handle was left open";

  // Copy construction behaves the same; detaching the copies closes nothing.
  Socket third(first);
  EXPECT_EQ(a, third.getSocket());
  second = Socket();
  third = Socket();
  EXPECT_EQ(INVALID_SOCKET, second.getSocket());
  EXPECT_FALSE(second.getNonBlock());
  EXPECT_EQ(1, first.send("z", 1, 0)) << "the shared handle survived the detaching";
  EXPECT_EQ("z", loopback::recv_exactly(b, 1));
  closesocket(b);
}

}  // namespace
