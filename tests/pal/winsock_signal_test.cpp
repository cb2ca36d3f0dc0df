// A signal handled during a blocking Windows Sockets call must not fail the call: Windows has no
// signals, so its callers never expect EINTR.
//
// A program of its own, single-threaded, with a child process as the sender: under qemu-i386
// (user mode) a signal handled by a thread of a process that has ever had a second thread comes
// back with that other thread's TLS, which would fail this test for a reason that is not ours.
#include <winsock.h>

#include "socket/loopback.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_signals = 0;

class WinsockSignal : public loopback::WinsockTest {};

TEST_F(WinsockSignal, BlockingReceiveCarriesOnAfterAHandledSignal) {
  SOCKET a, b;
  ASSERT_TRUE(loopback::connected_pair(&a, &b));
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) { g_signals = g_signals + 1; };  // no SA_RESTART: Linux gives EINTR
  ASSERT_EQ(0, sigaction(SIGALRM, &action, &previous));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    usleep(400 * 1000);  // well after the alarm below
    _exit(send(a, "!", 1, 0) == 1 ? 0 : 1);
  }
  itimerval alarm = {};
  alarm.it_value.tv_usec = 100 * 1000;
  ASSERT_EQ(0, setitimer(ITIMER_REAL, &alarm, nullptr));
  char byte = 0;
  int received = recv(b, &byte, 1, 0);
  int error = WSAGetLastError();
  int status = -1;
  EXPECT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(1, g_signals) << "the alarm went off during the receive";
  EXPECT_EQ(1, received) << "error " << error;
  EXPECT_EQ('!', byte);
  sigaction(SIGALRM, &previous, nullptr);
  closesocket(a);
  closesocket(b);
}

}  // namespace
