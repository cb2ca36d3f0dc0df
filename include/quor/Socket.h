// quor::Socket: one system socket handle with the error of the last call that failed on it.
//
// Each operation is a single Windows Sockets call on the held handle with the system's own
// arguments and results (-1 on failure); the class only adds the remembered error code, the
// remembered blocking mode and closing on destruction. Starting and stopping the socket service
// (WSAStartup/WSACleanup) is the application's business, never the class's.
//
// This header stands alone: it needs no system socket header. `sockaddr` is the system's record,
// only named here; include <winsock.h> to build one.
#ifndef QUORKIT_SOCKET_H
#define QUORKIT_SOCKET_H

#include <quor/Export.h>

struct sockaddr;

namespace quor {

class QUOR_API Socket {
 public:
  // The system's own shutdown codes, handed over unchanged.
  enum SOCKET_SHUTDOWN_HOW {
    SOCKET_SHUTDOWN_RECEIVE = 0,
    SOCKET_SHUTDOWN_SEND = 1,
    SOCKET_SHUTDOWN_BOTH = 2
  };

  Socket();
  explicit Socket(unsigned int handle);
  ~Socket();

  // A copy names the same system socket; nothing is duplicated. Only one of the copies may
  // close it: detach the others by assigning a default-constructed Socket over them.
  Socket(const Socket&) = default;
  Socket& operator=(const Socket& source);

  // False when the system refuses; the held handle is then kept. A handle held before is
  // overwritten, not closed.
  bool socket(int addressFamily, int type, int protocol);
  // Gives up the handle whatever the outcome; -1 without a system call when none is held.
  int close();
  int shutdown(SOCKET_SHUTDOWN_HOW how);
  int connect(const sockaddr* address, int addressLength);
  int bind(const sockaddr* address, int addressLength);
  int listen(int backlog);
  // The accepted connection's handle (0xFFFFFFFF on failure), not wrapped.
  unsigned int accept(sockaddr* address, int* addressLength);
  int send(const void* data, unsigned int length, int flags);
  int sendto(const void* data, unsigned int length, int flags, const sockaddr* address,
             int addressLength);
  int recv(void* buffer, unsigned int length, int flags);
  int recvfrom(void* buffer, unsigned int length, int flags, sockaddr* address, int* addressLength);
  int setsockopt(int level, int option, const void* value, int valueLength);
  int getsockopt(int level, int option, void* value, int* valueLength);
  bool setNonBlock(bool on);

  // The mode the last successful setNonBlock set; the system is not asked.
  bool getNonBlock();
  unsigned int getSocket();
  // The system's code from the last call that failed; a success does not clear it.
  unsigned int getLastError();

 protected:
  void updateLastError();

 private:
  unsigned int _lastError;
  unsigned int _socket;
  bool _nonBlock;
};

}  // namespace quor

#endif
