// The tour's socket stop: one process plays both ends of a loopback TCP echo with quor::Socket.
// The application, not the library, starts and stops the socket service.
#include "tour_socket.h"

#include <quor/Platform.h>
#include <quor/Socket.h>

#include <winsock.h>

#include <string.h>

namespace {

using quor::Platform;
using quor::Socket;

sockaddr_in loopbackAddress(u_short port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A stuck peer must not hang the tour: every receive gives up after two seconds.
void limitWaits(Socket& s) {
  unsigned int ms = 2000;
  s.setsockopt(SOL_SOCKET, SO_RCVTIMEO, &ms, sizeof ms);
}

bool echoOnce(u_short* usedPort) {
  Socket server;
  if (!server.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    Platform::printf("socket failed, error %u\n", server.getLastError());
    return false;
  }
  sockaddr_in address = loopbackAddress(0);  // the system picks a free port
  int length = sizeof address;
  if (server.bind(reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(server.getSocket(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      server.listen(1) != 0) {
    Platform::printf("server set-up failed, error %u\n", server.getLastError());
    return false;
  }
  *usedPort = ntohs(address.sin_port);
  Platform::printf("server listening on 127.0.0.1:%u\n", *usedPort);

  // Connecting completes in the listen queue, so one thread can play both ends.
  Socket client;
  if (!client.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) ||
      client.connect(reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Platform::printf("connect failed, error %u\n", client.getLastError());
    return false;
  }
  Socket served(server.accept(nullptr, nullptr));
  if (served.getSocket() == INVALID_SOCKET) {
    Platform::printf("accept failed, error %u\n", server.getLastError());
    return false;
  }
  limitWaits(client);
  limitWaits(served);

  const char message[] = "hello through quor::Socket";
  int sent = client.send(message, sizeof message - 1, 0);
  Platform::printf("client sent %d bytes\n", sent);

  // The server echoes until the client's end of stream.
  client.shutdown(Socket::SOCKET_SHUTDOWN_SEND);
  char buffer[64];
  int n;
  while ((n = served.recv(buffer, sizeof buffer, 0)) > 0)
    served.send(buffer, static_cast<unsigned int>(n), 0);
  served.close();  // the client now reads the end of the echo

  char echoed[64] = {};
  unsigned int got = 0;
  while (got < sizeof echoed - 1 && (n = client.recv(echoed + got, sizeof echoed - 1 - got, 0)) > 0)
    got += static_cast<unsigned int>(n);
  Platform::printf("client got back \"%s\" (%u bytes)\n", echoed, got);
  return got == sizeof message - 1 && memcmp(echoed, message, got) == 0;
}

}  // namespace

void tourSocketEcho() {
  Platform::printf("\n== sockets\n");
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    Platform::printf("no socket service\n");
    return;
  }
  Platform::printf("socket service version %u.%u\n", data.wVersion & 0xffu, data.wVersion >> 8);

  u_short port = 0;
  bool echoed = echoOnce(&port);
  Platform::printf("echo %s\n", echoed ? "matched" : "FAILED");

  // Nobody listens on that port any more: the refusal is a result of -1 and a remembered code.
  Socket late;
  sockaddr_in gone = loopbackAddress(port);
  if (late.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    int result = late.connect(reinterpret_cast<sockaddr*>(&gone), sizeof gone);
    Platform::printf("connect to the closed port: %d, error %u (%s)\n", result, late.getLastError(),
                     late.getLastError() == WSAECONNREFUSED ? "connection refused" : "other");
  }
  late.close();
  WSACleanup();
}
