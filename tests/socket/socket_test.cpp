// quor::Socket on real loopback sockets: exchanges with itself and with a foreign peer (python3),
// the result and error conventions, and who owns the handle.
#include <quor/Socket.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

using loopback::address;
using loopback::as_sockaddr;
using quor::Socket;

const int kSentinel = 4242; // an error value no socket call produces

class SocketTest : public loopback::WinsockTest {};

bool open_tcp(Socket& s) { return s.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

// Receives through the object until `expected` bytes came or the stream ended.
std::string recv_exactly(Socket& s, size_t expected) {
  std::string got;
  char buffer[256];
  for (int calls = 0; got.size() < expected && calls < 1000; ++calls) {
    int n = s.recv(buffer, sizeof buffer, 0);
    if (n <= 0)
      break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

TEST_F(SocketTest, TcpExchangeBetweenTwoObjects) {
  Socket server;
  ASSERT_TRUE(open_tcp(server));
  sockaddr_in any = address(0);
  ASSERT_EQ(0, server.bind(as_sockaddr(any), sizeof any));
  u_short port = loopback::local_port(server.getSocket());
  ASSERT_NE(0, port) << "getsockname on getSocket() gives the chosen port";
  ASSERT_EQ(0, server.listen(4));
  loopback::set_timeouts(server.getSocket());

  Socket client;
  ASSERT_TRUE(open_tcp(client));
  sockaddr_in there = address(port);
  ASSERT_EQ(0, client.connect(as_sockaddr(there), sizeof there));
  loopback::set_timeouts(client.getSocket());

  sockaddr_in peer;
  int peerLength = sizeof peer;
  unsigned int handle = server.accept(as_sockaddr(peer), &peerLength);
  ASSERT_NE(INVALID_SOCKET, handle);
  Socket accepted(handle);
  EXPECT_EQ(handle, accepted.getSocket());
  EXPECT_EQ(static_cast<int>(sizeof peer), peerLength);
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
  if (!python_available())
    GTEST_SKIP() << "python3 not found: no foreign peer on this machine";

  // 1. A python server that answers with the upper-cased text once our side ends its stream.
  std::string serve = std::string(kPython) +
                      "'import socket\n"
                      "s = socket.socket(); s.settimeout(10)\n"
                      "s.bind((\"127.0.0.1\", 0)); s.listen(1)\n"
                      "print(s.getsockname()[1], flush=True)\n"
                      "c, _ = s.accept(); c.settimeout(10)\n"
                      "data = b\"\"\n"
                      "while True:\n"
                      "    chunk = c.recv(4096)\n"
                      "    if not chunk: break\n"
                      "    data += chunk\n"
                      "c.sendall(data.upper()); c.close()\n'";
  FILE* server = popen(serve.c_str(), "r");
  ASSERT_NE(nullptr, server);
  char line[64] = {};
  ASSERT_NE(nullptr, fgets(line, sizeof line, server)) << "the python server printed no port";
  int port = atoi(line);
  ASSERT_GT(port, 0);
  {
    Socket client;
    ASSERT_TRUE(open_tcp(client));
    loopback::set_timeouts(client.getSocket());
    sockaddr_in there = address(static_cast<u_short>(port));
    ASSERT_EQ(0, client.connect(as_sockaddr(there), sizeof there));
    const std::string text = "quiet words from quor";
    EXPECT_EQ(static_cast<int>(text.size()), client.send(text.data(), text.size(), 0));
    EXPECT_EQ(0, client.shutdown(Socket::SOCKET_SHUTDOWN_SEND));
    EXPECT_EQ("QUIET WORDS FROM QUOR", recv_exactly(client, text.size() + 1));
  }
  EXPECT_EQ(0, pclose(server));

  // 2. A python client against our server.
  Socket listening;
  ASSERT_TRUE(open_tcp(listening));
  sockaddr_in any = address(0);
  ASSERT_EQ(0, listening.bind(as_sockaddr(any), sizeof any));
  ASSERT_EQ(0, listening.listen(1));
  loopback::set_timeouts(listening.getSocket());
  std::string call = std::string(kPython) +
                     "'import socket, sys\n"
                     "c = socket.create_connection((\"127.0.0.1\", int(sys.argv[1])), timeout=10)\n"
                     "c.sendall(b\"ping from python\"); c.shutdown(socket.SHUT_WR)\n"
                     "data = b\"\"\n"
                     "while True:\n"
                     "    chunk = c.recv(4096)\n"
                     "    if not chunk: break\n"
                     "    data += chunk\n"
                     "print(data.decode(), flush=True)\n' " +
                     std::to_string(loopback::local_port(listening.getSocket()));
  FILE* client = popen(call.c_str(), "r");
  ASSERT_NE(nullptr, client);
  {
    Socket accepted(listening.accept(nullptr, nullptr));
    ASSERT_NE(INVALID_SOCKET, accepted.getSocket()) << "error " << listening.getLastError();
    EXPECT_EQ("ping from python", recv_exactly(accepted, 100));
    EXPECT_EQ(14, accepted.send("pong from quor", 14, 0));
  } // closing ends the python client's read loop
  char answer[64] = {};
  EXPECT_NE(nullptr, fgets(answer, sizeof answer, client));
  EXPECT_STREQ("pong from quor\n", answer);
  EXPECT_EQ(0, pclose(client));
}

TEST_F(SocketTest, UdpReceiveFillsInTheSender) {
  Socket a, b;
  ASSERT_TRUE(a.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  ASSERT_TRUE(b.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in any = address(0);
  ASSERT_EQ(0, a.bind(as_sockaddr(any), sizeof any));
  ASSERT_EQ(0, b.bind(as_sockaddr(any), sizeof any));
  loopback::set_timeouts(a.getSocket());
  loopback::set_timeouts(b.getSocket());

  sockaddr_in toB = address(loopback::local_port(b.getSocket()));
  EXPECT_EQ(5, a.sendto("hello", 5, 0, as_sockaddr(toB), sizeof toB));

  char buffer[16] = {};
  sockaddr_in from;
  memset(&from, 0xAB, sizeof from);
  int fromLength = sizeof from;
  EXPECT_EQ(5, b.recvfrom(buffer, sizeof buffer, 0, as_sockaddr(from), &fromLength));
  EXPECT_STREQ("hello", buffer);
  EXPECT_EQ(static_cast<int>(sizeof from), fromLength);
  EXPECT_EQ(AF_INET, from.sin_family);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), from.sin_addr.s_addr);
  EXPECT_EQ(loopback::local_port(a.getSocket()), ntohs(from.sin_port));

  // The filled-in address is good for the answer.
  EXPECT_EQ(3, b.sendto("ack", 3, 0, as_sockaddr(from), fromLength));
  EXPECT_EQ(3, a.recvfrom(buffer, sizeof buffer, 0, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(buffer, "ack", 3));
}

TEST_F(SocketTest, FailuresKeepTheSystemCodeUntilTheNextFailure) {
  // A port that is bound but not listening refuses connections.
  Socket blocker;
  ASSERT_TRUE(open_tcp(blocker));
  sockaddr_in any = address(0);
  ASSERT_EQ(0, blocker.bind(as_sockaddr(any), sizeof any));
  sockaddr_in refused = address(loopback::local_port(blocker.getSocket()));

  Socket client;
  ASSERT_TRUE(open_tcp(client));
  EXPECT_EQ(-1, client.connect(as_sockaddr(refused), sizeof refused));
  EXPECT_EQ(static_cast<unsigned int>(WSAECONNREFUSED), client.getLastError());

  // A later success on the same object leaves the code in place.
  u_short port = 0;
  SOCKET l = loopback::listener(&port);
  ASSERT_NE(INVALID_SOCKET, l);
  sockaddr_in there = address(port);
  ASSERT_EQ(0, client.connect(as_sockaddr(there), sizeof there));
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

TEST_F(SocketTest, OptionsRoundTripThroughTheObject) {
  Socket s;
  ASSERT_TRUE(open_tcp(s));
  int value = 1, length = sizeof value;
  EXPECT_EQ(0, s.setsockopt(SOL_SOCKET, SO_REUSEADDR, &value, sizeof value));
  value = -1;
  EXPECT_EQ(0, s.getsockopt(SOL_SOCKET, SO_REUSEADDR, &value, &length));
  EXPECT_NE(0, value);
  EXPECT_EQ(static_cast<int>(sizeof value), length);
  value = 0;
  EXPECT_EQ(0, s.setsockopt(SOL_SOCKET, SO_REUSEADDR, &value, sizeof value));
  value = -1;
  EXPECT_EQ(0, s.getsockopt(SOL_SOCKET, SO_REUSEADDR, &value, &length));
  EXPECT_EQ(0, value);

  value = 65536;
  EXPECT_EQ(0, s.setsockopt(SOL_SOCKET, SO_RCVBUF, &value, sizeof value));
  value = 0;
  length = sizeof value;
  EXPECT_EQ(0, s.getsockopt(SOL_SOCKET, SO_RCVBUF, &value, &length));
  EXPECT_EQ(65536, value);
  EXPECT_EQ(0u, s.getLastError());

  // An option the system does not know: -1 and its code.
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
  sockaddr_in any = address(0);
  ASSERT_EQ(0, s.bind(as_sockaddr(any), sizeof any));
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
  ASSERT_EQ(0, bind(raw, as_sockaddr(any), sizeof any));
  u_long on = 1;
  ASSERT_EQ(0, ioctlsocket(raw, FIONBIO, &on));
  Socket wrapped(raw);
  EXPECT_FALSE(wrapped.getNonBlock());
  EXPECT_EQ(-1, wrapped.recv(&byte, 1, 0));
  EXPECT_EQ(static_cast<unsigned int>(WSAEWOULDBLOCK), wrapped.getLastError());
}

TEST_F(SocketTest, ObjectWithoutAHandleMakesNoCloseCall) {
  WSASetLastError(kSentinel);
  {
    Socket s;
    EXPECT_EQ(INVALID_SOCKET, s.getSocket());
    EXPECT_EQ(0u, s.getLastError());
    EXPECT_FALSE(s.getNonBlock());
    EXPECT_EQ(-1, s.close());
    EXPECT_EQ(0u, s.getLastError());
  }
  EXPECT_EQ(kSentinel, WSAGetLastError()) << "neither close nor the destructor called the system";

  // Other operations go to the system, which fails them for want of a socket.
  Socket s;
  EXPECT_EQ(-1, s.send("x", 1, 0));
  EXPECT_NE(0u, s.getLastError());
  EXPECT_EQ(static_cast<unsigned int>(WSAGetLastError()), s.getLastError());
}

TEST_F(SocketTest, CloseGivesUpTheHandleWhateverTheOutcome) {
  Socket s;
  ASSERT_TRUE(open_tcp(s));
  EXPECT_EQ(0, s.close());
  EXPECT_EQ(INVALID_SOCKET, s.getSocket());
  WSASetLastError(kSentinel);
  EXPECT_EQ(-1, s.close()) << "second close";
  EXPECT_EQ(kSentinel, WSAGetLastError()) << "made no system call";
  EXPECT_EQ(0u, s.getLastError());

  // A number that is no open descriptor: closesocket fails, the handle is still given up.
  Socket bogus(0x7FFFFFF0u);
  EXPECT_EQ(-1, bogus.close());
  EXPECT_EQ(static_cast<unsigned int>(WSAEBADF), bogus.getLastError());
  EXPECT_EQ(INVALID_SOCKET, bogus.getSocket());
  WSASetLastError(kSentinel);
  EXPECT_EQ(-1, bogus.close());
  EXPECT_EQ(kSentinel, WSAGetLastError());
}

TEST_F(SocketTest, AssignmentSharesTheHandleWithoutClosingOrDuplicating) {
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  Socket first(a);
  ASSERT_TRUE(first.setNonBlock(true));
  EXPECT_EQ(-1, first.recv(nullptr, 0, MSG_OOB)); // some failure, to have a code to copy
  unsigned int code = first.getLastError();
  ASSERT_NE(0u, code);

  SOCKET other = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(INVALID_SOCKET, other);
  Socket second(other);
  second = first;
  EXPECT_EQ(a, second.getSocket());
  EXPECT_EQ(code, second.getLastError());
  EXPECT_TRUE(second.getNonBlock());
  int type = 0, length = sizeof type;
  EXPECT_EQ(0, getsockopt(other, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length))
      << "the overwritten handle is still open";
  EXPECT_EQ(SOCK_DGRAM, type);
  EXPECT_EQ(0, closesocket(other));

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

} // namespace
