// bench_socket: what quor::Socket costs over calling Windows Sockets directly, on loopback TCP.
// Two workloads, each run through a quor::Socket and through the bare calls on the same
// connection. The two are measured as adjacent pairs (alternating which goes first), and the
// ratio shown is the median of the pairs' ratios: a pair shares the machine's load of the moment,
// so a busy neighbour moves both of its halves and the median ignores the pairs it split.
// A peer thread answers with plain calls in both cases.
#include <quor/Socket.h>

#include <winsock.h>

#include "bench_util.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <thread>

namespace {

const int kRuns = 21;
const int kRoundTrips = 5000;           // per run
const unsigned int kMessage = 32;       // bytes per round trip, each way
const unsigned int kChunk = 64 * 1024;  // bytes per send in the bulk workload
const int kChunksPerAck = 64;           // the peer acknowledges every 4 MiB
const int kAcksPerRun = 16;             // 64 MiB per run

sockaddr_in loopbackAddress(u_short port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A connected pair on 127.0.0.1, or false.
bool connectPair(SOCKET* near, SOCKET* far) {
  SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in any = loopbackAddress(0);
  int length = sizeof any;
  if (l == INVALID_SOCKET || bind(l, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
      listen(l, 1) != 0 || getsockname(l, reinterpret_cast<sockaddr*>(&any), &length) != 0)
    return false;
  *near = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  bool ok = connect(*near, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
  *far = ok ? accept(l, nullptr, nullptr) : INVALID_SOCKET;
  closesocket(l);
  int on = 1;
  setsockopt(*near, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof on);
  setsockopt(*far, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof on);
  return *far != INVALID_SOCKET;
}

bool recvAll(SOCKET s, char* buffer, unsigned int length) {
  for (unsigned int got = 0; got < length;) {
    int n = recv(s, buffer + got, static_cast<int>(length - got), 0);
    if (n <= 0) return false;
    got += static_cast<unsigned int>(n);
  }
  return true;
}

// The two ways of making the same calls on the measured side.
struct Direct {
  SOCKET s;
  int send(const void* data, unsigned int length) {
    return ::send(s, static_cast<const char*>(data), static_cast<int>(length), 0);
  }
  int recv(void* buffer, unsigned int length) {
    return ::recv(s, static_cast<char*>(buffer), static_cast<int>(length), 0);
  }
};

struct Wrapped {
  quor::Socket* socket;
  int send(const void* data, unsigned int length) { return socket->send(data, length, 0); }
  int recv(void* buffer, unsigned int length) { return socket->recv(buffer, length, 0); }
};

template <typename Side>
bool receiveAll(Side& side, char* buffer, unsigned int length) {
  for (unsigned int got = 0; got < length;) {
    int n = side.recv(buffer + got, length - got);
    if (n <= 0) return false;
    got += static_cast<unsigned int>(n);
  }
  return true;
}

// Round trips per second.
template <typename Side>
double roundTrips(Side side) {
  char message[kMessage] = {1};
  char reply[kMessage];
  double start = bench::nowSeconds();
  for (int i = 0; i < kRoundTrips; ++i) {
    if (side.send(message, kMessage) != static_cast<int>(kMessage)) return 0;
    if (!receiveAll(side, reply, kMessage)) return 0;
  }
  bench::keep(reply);
  return kRoundTrips / (bench::nowSeconds() - start);
}

// Megabytes (2^20) per second, counted when the peer has acknowledged them.
template <typename Side>
double bulk(Side side, const char* chunk) {
  char ack;
  double start = bench::nowSeconds();
  for (int a = 0; a < kAcksPerRun; ++a) {
    for (int c = 0; c < kChunksPerAck; ++c) {
      for (unsigned int sent = 0; sent < kChunk;) {
        int n = side.send(chunk + sent, kChunk - sent);
        if (n <= 0) return 0;
        sent += static_cast<unsigned int>(n);
      }
    }
    if (side.recv(&ack, 1) != 1) return 0;
  }
  double megabytes = double(kAcksPerRun) * kChunksPerAck * kChunk / (1024.0 * 1024.0);
  return megabytes / (bench::nowSeconds() - start);
}

void echoPeer(SOCKET s) {
  char buffer[kMessage];
  while (recvAll(s, buffer, kMessage))
    if (send(s, buffer, kMessage, 0) != static_cast<int>(kMessage)) break;
}

void sinkPeer(SOCKET s) {
  static char buffer[kChunk];
  const unsigned long long perAck = static_cast<unsigned long long>(kChunksPerAck) * kChunk;
  unsigned long long got = 0;
  for (;;) {
    int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got += static_cast<unsigned long long>(n);
    for (; got >= perAck; got -= perAck)
      if (send(s, "k", 1, 0) != 1) return;
  }
}

double median(double* values, int count) {
  std::sort(values, values + count);
  return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

// A workload's results: each run's rate through the wrapper and directly.
struct Pairs {
  double wrapped[kRuns];
  double direct[kRuns];

  double ratio() const {
    double ratios[kRuns];
    for (int i = 0; i < kRuns; ++i) ratios[i] = direct[i] > 0 ? wrapped[i] / direct[i] : 0;
    return median(ratios, kRuns);
  }
  static double medianOf(const double* rates) {
    double copy[kRuns];
    std::copy(rates, rates + kRuns, copy);
    return median(copy, kRuns);
  }
  bool complete() const {
    for (int i = 0; i < kRuns; ++i)
      if (wrapped[i] <= 0 || direct[i] <= 0) return false;
    return true;
  }
};

void row(const char* workload, const char* unit, const Pairs& pairs) {
  printf("| %-32s | %12.1f %-4s | %12.1f %-4s | %5.3f |\n", workload,
         Pairs::medianOf(pairs.wrapped), unit, Pairs::medianOf(pairs.direct), unit, pairs.ratio());
}

}  // namespace

int main() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    printf("bench_socket: WSAStartup failed\n");
    return 1;
  }
  SOCKET echoNear, echoFar, bulkNear, bulkFar;
  if (!connectPair(&echoNear, &echoFar) || !connectPair(&bulkNear, &bulkFar)) {
    printf("bench_socket: no loopback connection\n");
    return 1;
  }
  std::thread echo(echoPeer, echoFar);
  std::thread sink(sinkPeer, bulkFar);
  quor::Socket echoSocket(echoNear), bulkSocket(bulkNear);
  static char chunk[kChunk];
  memset(chunk, 0x5A, sizeof chunk);

  static Pairs trips, bulkRates;
  for (int run = 0; run < kRuns; ++run) {
    if (run % 2 == 0) {
      trips.wrapped[run] = roundTrips(Wrapped{&echoSocket});
      trips.direct[run] = roundTrips(Direct{echoNear});
      bulkRates.wrapped[run] = bulk(Wrapped{&bulkSocket}, chunk);
      bulkRates.direct[run] = bulk(Direct{bulkNear}, chunk);
    } else {
      trips.direct[run] = roundTrips(Direct{echoNear});
      trips.wrapped[run] = roundTrips(Wrapped{&echoSocket});
      bulkRates.direct[run] = bulk(Direct{bulkNear}, chunk);
      bulkRates.wrapped[run] = bulk(Wrapped{&bulkSocket}, chunk);
    }
  }

  // Closing our ends stops both peers.
  echoSocket.close();
  bulkSocket.close();
  echo.join();
  sink.join();
  closesocket(echoFar);
  closesocket(bulkFar);
  WSACleanup();

  printf(
      "bench_socket: loopback TCP through quor::Socket against the same Windows Sockets calls "
      "made directly\n");
  printf(
      "%d paired runs; rates are medians, ratio = median of the pairs' quor::Socket / direct "
      "(1.000: the wrapper costs nothing)\n",
      kRuns);
  bench::printRunNote();
  printf("\n| %-32s | %17s | %17s | %5s |\n", "workload", "quor::Socket", "direct", "ratio");
  printf("|----------------------------------|------------------:|------------------:|------:|\n");
  char label[64];
  snprintf(label, sizeof label, "round trips, %u-byte messages", kMessage);
  row(label, "/s", trips);
  snprintf(label, sizeof label, "bulk send, %u KiB writes", kChunk / 1024);
  row(label, "MB/s", bulkRates);
  return trips.complete() && bulkRates.complete() ? 0 : 1;
}
