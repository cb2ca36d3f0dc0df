// quor::Socket on real loopback sockets: exchanges with itself and with a foreign peer (python3),
// the result and error conventions, and who owns the handle.
#include <quor/Socket.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>

namespace {

using loopback::address;
using loopback::as_sockaddr;
using quor::Socket;

const int kSentinel = 4242;  // an error value no socket call produces

class SocketTest : public loopback::WinsockTest {};

bool open_tcp(Socket& s) { return s.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

// Binds to 127.0.0.1 at a port the system picks; the port read back with getsockname on
// getSocket(), or 0 when a step failed.
u_short bind_loopback(Socket& s) {
  sockaddr_in any = address(0);
  if (s.bind(as_sockaddr(any), sizeof any) != 0) return 0;
  return loopback::local_port(s.getSocket());
}

int connect_loopback(Socket& s, u_short port) {
  sockaddr_in there = address(port);
  return s.connect(as_sockaddr(there), sizeof there);
}

std::string recv_exactly(Socket& s, size_t expected) {
  return loopback::receive_exactly(
      [&s](char* buffer, int size) { return s.recv(buffer, static_cast<unsigned int>(size), 0); },
      expected);
}

TEST_F(SocketTest, TcpExchangeBetweenTwoObjects) {
  Socket server;
  ASSERT_TRUE(open_tcp(server));
  u_short port = bind_loopback(server);
  ASSERT_NE(0, port);
  ASSERT_EQ(0, server.listen(4));
  loopback::set_timeouts(server.getSocket());

  Socket client;
  ASSERT_TRUE(open_tcp(client));
  ASSERT_EQ(0, connect_loopback(client, port));
  loopback::set_timeouts(client.getSocket());

  sockaddr_in peer;
  int peerLength = sizeof peer;
  unsigned int handle = server.accept(as_sockaddr(peer), &peerLength);
  ASSERT_NE(INVALID_SOCKET, handle);
  Socket accepted(handle);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
  EXPECT_EQ(loopback::local_port(client.getSocket()), ntohs(peer.sin_port));

  const std::string hello = "hello from the client";
  EXPECT_EQ(static_cast<int>(hello.size()), client.send(hello.data(), hello.size(), 0));
  EXPECT_EQ(hello, recv_exactly(accepted, hello.size()));

  const std::string reply = "and back from the server";
  EXPECT_EQ(static_cast<int>(reply.size()), accepted.send(reply.data(), reply.size(), 0));
  EXPECT_EQ(reply, recv_exactly(client, reply.size()));

  // The client stops sending: the server reads the end of the stream and can still answer.
  EXPECT_EQ(0, client.shutdown(Socket::SOCKET_SHUTDOWN_SEND));
  char byte;
  EXPECT_EQ(0, accepted.recv(&byte, 1, 0));
  EXPECT_EQ(4, accepted.send("late", 4, 0));
  EXPECT_EQ("late", recv_exactly(client, 4));
  EXPECT_EQ(0u, client.getLastError());
  EXPECT_EQ(0u, accepted.getLastError());
}

// Each shutdown code reaches the system as the one the name says.
TEST_F(SocketTest, ShutdownCodesReachTheSystemUnchanged) {
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  Socket near(a), far(b);
  char byte;

  // Receive side shut: recv ends at once although the peer sent nothing; sending still works.
  EXPECT_EQ(0, near.shutdown(Socket::SOCKET_SHUTDOWN_RECEIVE));
  EXPECT_EQ(0, near.recv(&byte, 1, 0));
  EXPECT_EQ(1, near.send("x", 1, 0));
  EXPECT_EQ("x", recv_exactly(far, 1));

  // Both: the peer sees the end of the stream, and sending fails with the code recorded.
  EXPECT_EQ(0, near.shutdown(Socket::SOCKET_SHUTDOWN_BOTH));
  EXPECT_EQ(0, far.recv(&byte, 1, 0));
  EXPECT_EQ(-1, near.send("y", 1, 0));
  EXPECT_EQ(static_cast<unsigned int>(EPIPE), near.getLastError())
      << "Linux's code for a shut-down connection (Windows: WSAESHUTDOWN)";
}

// python3 is another implementation of the same protocol: the exchange must work against it in
// both roles, not only between two quor::Socket objects.
const char kPython[] = "p=/usr/bin/python3; [ -x \"$p\" ] || p=python3; exec \"$p\" -c ";

bool python_available() {
  return system("{ [ -x /usr/bin/python3 ] || command -v python3; } >/dev/null 2>&1") == 0;
}

TEST_F(SocketTest, ExchangesWithAForeignPeer) {
  if (!python_available()) GTEST_SKIP() << "python3 not found: no foreign peer on this machine";

  // 1. A python server that answers with the upper-cased text once our side ends its stream.
  std::string serve = std::string(kPython) +
                      "'import socket\n"
                      "s = socket.socket(); s.settimeout(10)\n"
                      "s.bind((\"127.0.0.1\", 0)); s.listen(1)\n"
                      "print(s.getsockname()[1], flush=True)\n"
                      "c, _ = s.accept(); c.settimeout(10)\n"
                      "c.sendall(c.makefile(\"rb\").read().upper()); c.close()\n'";
  FILE* server = popen(serve.c_str(), "r");
  ASSERT_NE(nullptr, server);
  char line[64] = {};
  ASSERT_NE(nullptr, fgets(line, sizeof line, server)) << "the python server printed no port";
  int serverPort = atoi(line);
  ASSERT_GT(serverPort, 0);
  {
    Socket client;
    ASSERT_TRUE(open_tcp(client));
    loopback::set_timeouts(client.getSocket());
    ASSERT_EQ(0, connect_loopback(client, static_cast<u_short>(serverPort)));
    const std::string text = "quiet words from quor";
    EXPECT_EQ(static_cast<int>(text.size()), client.send(text.data(), text.size(), 0));
    EXPECT_EQ(0, client.shutdown(Socket::SOCKET_SHUTDOWN_SEND));
    EXPECT_EQ("QUIET WORDS FROM QUOR", recv_exactly(client, text.size() + 1));
  }
  EXPECT_EQ(0, pclose(server));

  // 2. A python client against our server.
  Socket listening;
  ASSERT_TRUE(open_tcp(listening));
  u_short port = bind_loopback(listening);
  ASSERT_EQ(0, listening.listen(1));
  loopback::set_timeouts(listening.getSocket());
  std::string call = std::string(kPython) +
                     "'import socket, sys\n"
                     "c = socket.create_connection((\"127.0.0.1\", int(sys.argv[1])), timeout=10)\n"
                     "c.sendall(b\"ping from python\"); c.shutdown(socket.SHUT_WR)\n"
                     "print(c.makefile(\"rb\").read().decode(), flush=True)\n' " +
                     std::to_string(port);
  FILE* client = popen(call.c_str(), "r");
  ASSERT_NE(nullptr, client);
  {
    Socket accepted(listening.accept(nullptr, nullptr));
    ASSERT_NE(INVALID_SOCKET, accepted.getSocket()) << "error " << listening.getLastError();
    EXPECT_EQ("ping from python", recv_exactly(accepted, 100));
    EXPECT_EQ(14, accepted.send("pong from quor", 14, 0));
  }  // closing ends the python client's read loop
  char answer[64] = {};
  EXPECT_NE(nullptr, fgets(answer, sizeof answer, client));
  EXPECT_STREQ("pong from quor\n", answer);
  EXPECT_EQ(0, pclose(client));
}

TEST_F(SocketTest, UdpReceiveFillsInTheSender) {
  Socket a, b;
  ASSERT_TRUE(a.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  ASSERT_TRUE(b.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  u_short portA = bind_loopback(a), portB = bind_loopback(b);
  ASSERT_TRUE(portA != 0 && portB != 0);
  loopback::set_timeouts(a.getSocket());
  loopback::set_timeouts(b.getSocket());

  sockaddr_in toB = address(portB);
  EXPECT_EQ(5, a.sendto("hello", 5, 0, as_sockaddr(toB), sizeof toB));

  char buffer[16] = {};
  sockaddr_in from;
  memset(&from, 0xAB, sizeof from);
  int fromLength = sizeof from;
  EXPECT_EQ(5, b.recvfrom(buffer, sizeof buffer, 0, as_sockaddr(from), &fromLength));
  EXPECT_STREQ("hello", buffer);
  EXPECT_EQ(AF_INET, from.sin_family);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), from.sin_addr.s_addr);
  EXPECT_EQ(portA, ntohs(from.sin_port));

  // The filled-in address is good for the answer.
  EXPECT_EQ(3, b.sendto("ack", 3, 0, as_sockaddr(from), fromLength));
  EXPECT_EQ(3, a.recvfrom(buffer, sizeof buffer, 0, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(buffer, "ack", 3));
}

TEST_F(SocketTest, FailuresKeepTheSystemCodeUntilTheNextFailure) {
  // A port that is bound but not listening refuses connections.
  Socket blocker;
  ASSERT_TRUE(open_tcp(blocker));
  u_short refused = bind_loopback(blocker);
  ASSERT_NE(0, refused);

  Socket client;
  ASSERT_TRUE(open_tcp(client));
  EXPECT_EQ(-1, connect_loopback(client, refused));
  EXPECT_EQ(static_cast<unsigned int>(WSAECONNREFUSED), client.getLastError());

  // A later success on the same object leaves the code in place.
  u_short port = 0;
  SOCKET l = loopback::listener(&port);
  ASSERT_NE(INVALID_SOCKET, l);
  ASSERT_EQ(0, connect_loopback(client, port));
  EXPECT_EQ(2, client.send("ok", 2, 0));
  EXPECT_EQ(static_cast<unsigned int>(WSAECONNREFUSED), client.getLastError());
  SOCKET accepted = accept(l, nullptr, nullptr);
  EXPECT_NE(INVALID_SOCKET, accepted);
  closesocket(accepted);
  closesocket(l);

  // accept on a socket that is not listening: INVALID_SOCKET and the code.
  EXPECT_EQ(INVALID_SOCKET, blocker.accept(nullptr, nullptr));
  EXPECT_EQ(static_cast<unsigned int>(WSAEINVAL), blocker.getLastError());

  // An address family the system rejects: false, the code, and the old handle kept.
  unsigned int held = client.getSocket();
  EXPECT_FALSE(client.socket(12345, SOCK_STREAM, 0));
  EXPECT_EQ(static_cast<unsigned int>(WSAEAFNOSUPPORT), client.getLastError());
  EXPECT_EQ(held, client.getSocket());
}

// Without a handle every operation but socket and close is still handed to the system, which
// fails it; each one must then record the system's code.
TEST_F(SocketTest, EveryFailedCallRecordsTheSystemsCode) {
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
    Socket s;
    EXPECT_EQ(-1, calls[i](s)) << "call " << i;
    EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), s.getLastError()) << "call " << i;
  }
}

TEST_F(SocketTest, OptionsRoundTripThroughTheObject) {
  Socket s;
  ASSERT_TRUE(open_tcp(s));
  // Sets the option, then reads it back into a value that starts out different.
  auto round_trip = [&s](int option, int value) {
    EXPECT_EQ(0, s.setsockopt(SOL_SOCKET, option, &value, sizeof value));
    int got = ~value, length = sizeof got;
    EXPECT_EQ(0, s.getsockopt(SOL_SOCKET, option, &got, &length));
    EXPECT_EQ(static_cast<int>(sizeof got), length);
    return got;
  };
  EXPECT_NE(0, round_trip(SO_REUSEADDR, 1));
  EXPECT_EQ(0, round_trip(SO_REUSEADDR, 0));
  EXPECT_EQ(65536, round_trip(SO_RCVBUF, 65536));
  EXPECT_EQ(0u, s.getLastError());

  // An option the system does not know: -1 and its code.
  int value = 0, length = sizeof value;
  EXPECT_EQ(-1, s.getsockopt(SOL_SOCKET, 0x4000, &value, &length));
  EXPECT_EQ(static_cast<unsigned int>(WSAENOPROTOOPT), s.getLastError());
}

TEST_F(SocketTest, NonBlockingModeIsRememberedNotAsked) {
  Socket none;
  EXPECT_FALSE(none.setNonBlock(true)) << "no handle";
  EXPECT_FALSE(none.getNonBlock());
  EXPECT_NE(0u, none.getLastError());

  Socket s;
  ASSERT_TRUE(s.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  ASSERT_NE(0, bind_loopback(s));
  EXPECT_TRUE(s.setNonBlock(true));
  EXPECT_TRUE(s.getNonBlock());
  char byte;
  EXPECT_EQ(-1, s.recv(&byte, 1, 0)) << "nothing to read, and the mode is really non-blocking";
  EXPECT_EQ(static_cast<unsigned int>(WSAEWOULDBLOCK), s.getLastError());

  // The flag outlives the handle: a new socket starts blocking whatever the object says.
  EXPECT_EQ(0, s.close());
  EXPECT_TRUE(s.getNonBlock());
  ASSERT_TRUE(s.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  EXPECT_TRUE(s.getNonBlock());
  EXPECT_TRUE(s.setNonBlock(false));
  EXPECT_FALSE(s.getNonBlock());

  // A handle made non-blocking behind the object's back still reports false.
  SOCKET raw = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(INVALID_SOCKET, raw);
  u_long on = 1;
  ASSERT_EQ(0, ioctlsocket(raw, FIONBIO, &on));
  Socket wrapped(raw);
  ASSERT_NE(0, bind_loopback(wrapped));
  EXPECT_FALSE(wrapped.getNonBlock());
  EXPECT_EQ(-1, wrapped.recv(&byte, 1, 0));
  EXPECT_EQ(static_cast<unsigned int>(WSAEWOULDBLOCK), wrapped.getLastError());
}

// The thread's last error is set to a value no socket call produces: when it is still there, no
// system call was made.
TEST_F(SocketTest, CloseGivesUpTheHandleAndCallsNothingWithoutOne) {
  WSASetLastError(kSentinel);
  {
    Socket none;
    EXPECT_EQ(INVALID_SOCKET, none.getSocket());
    EXPECT_EQ(0u, none.getLastError());
    EXPECT_FALSE(none.getNonBlock());
    EXPECT_EQ(-1, none.close());
    EXPECT_EQ(0u, none.getLastError());
  }
  EXPECT_EQ(kSentinel, WSAGetLastError()) << "neither close nor the destructor called the system";

  Socket s;
  ASSERT_TRUE(open_tcp(s));
  EXPECT_EQ(0, s.close());
  EXPECT_EQ(INVALID_SOCKET, s.getSocket());

  // A number that is no open descriptor: closesocket fails and the handle is given up all the
  // same; a second close then calls nothing and keeps the recorded code.
  Socket bogus(0x7FFFFFF0u);
  EXPECT_EQ(-1, bogus.close());
  EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), bogus.getLastError());
  EXPECT_EQ(INVALID_SOCKET, bogus.getSocket());
  WSASetLastError(kSentinel);
  EXPECT_EQ(-1, bogus.close());
  EXPECT_EQ(kSentinel, WSAGetLastError());
  EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), bogus.getLastError());
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
  ASSERT_NE(INVALID_SOCKET, other);
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
  EXPECT_EQ(0u, second.getLastError());
  EXPECT_FALSE(second.getNonBlock());
  EXPECT_EQ(1, first.send("z", 1, 0)) << "the shared handle survived the detaching";
  EXPECT_EQ("z", loopback::recv_exactly(b, 1));
  closesocket(b);
}

TEST_F(SocketTest, DestructorClosesTheHandle) {
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  { Socket owner(a); }
  // Seen from the system: the peer reads the end of the stream, and the number is no socket.
  char byte;
  EXPECT_EQ(0, recv(b, &byte, 1, 0));
  int type = 0, length = sizeof type;
  EXPECT_EQ(-1, getsockopt(a, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
  EXPECT_EQ(WSAEBADF, WSAGetLastError());
  closesocket(b);
}

}  // namespace
