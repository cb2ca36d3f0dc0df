// quor::Socket: a thin owner of one Windows Sockets handle.
//
// Every operation is exactly one system call with the caller's arguments, so the class behaves
// like the socket interface it wraps: same results, same error codes (kept in _lastError because
// the thread's last-error value is overwritten by the next call). Nothing here locks, allocates,
// retries or reports: a failure is only a result value and a remembered code.
//
// The calls are spelled ::name because the members carry the same names as the system functions.
#include <quor/Socket.h>

#include <winsock.h>

#include "ModuleId.h"

QUOR_MODULE_ID(kSocketModuleId, "Socket.cpp", "1.0 2026/12/06 04:00:00 quorkit");

namespace quor {

// The class stores handles and lengths as plain 32-bit words; these are the facts that make
// handing them to the system unchanged correct.
static_assert(sizeof(SOCKET) == sizeof(unsigned int), "a socket handle is 32 bits");
static_assert(INVALID_SOCKET == 0xFFFFFFFFu, "no handle is all bits set");
static_assert(Socket::SOCKET_SHUTDOWN_RECEIVE == 0 && Socket::SOCKET_SHUTDOWN_SEND == 1 &&
                  Socket::SOCKET_SHUTDOWN_BOTH == 2,
              "shutdown codes are the system's");
static_assert(sizeof(Socket::SOCKET_SHUTDOWN_HOW) == 4, "the shutdown code is passed as 32 bits");
// Applications embed the object by value: its size is part of the DLL's interface.
static_assert(sizeof(Socket) == 12, "three fields: error, handle, flag");

namespace {

unsigned int systemSocketError() { return static_cast<unsigned int>(::WSAGetLastError()); }

// The socket calls' one failure convention: a negative result, whose code the object keeps.
int recordIfFailed(int result, unsigned int& lastError) {
  if (result < 0) lastError = systemSocketError();
  return result;
}

}  // namespace

Socket::Socket() : _lastError(0), _socket(INVALID_SOCKET), _nonBlock(false) {}

// The real blocking mode of the handle is not asked for: _nonBlock only ever reflects what this
// object set.
Socket::Socket(unsigned int handle) : _lastError(0), _socket(handle), _nonBlock(false) {}

Socket::~Socket() { close(); }

Socket& Socket::operator=(const Socket& source) {
  // Deliberately no close of our handle and no duplicate of the source's: assignment is how a
  // caller hands a handle around or detaches an object (by assigning a default one).
  _lastError = source._lastError;
  _socket = source._socket;
  _nonBlock = source._nonBlock;
  return *this;
}

bool Socket::socket(int addressFamily, int type, int protocol) {
  SOCKET handle = ::socket(addressFamily, type, protocol);
  if (handle == INVALID_SOCKET) {
    updateLastError();
    return false;
  }
  _socket = handle;
  return true;
}

int Socket::close() {
  if (_socket == INVALID_SOCKET) return -1;
  const int result = recordIfFailed(::closesocket(_socket), _lastError);
  // A handle whose close failed is unusable anyway; keeping it would only invite a second
  // close of a number the system may already have handed out again.
  _socket = INVALID_SOCKET;
  return result;
}

int Socket::shutdown(SOCKET_SHUTDOWN_HOW how) {
  return recordIfFailed(::shutdown(_socket, static_cast<int>(how)), _lastError);
}

int Socket::connect(const sockaddr* address, int addressLength) {
  return recordIfFailed(::connect(_socket, address, addressLength), _lastError);
}

int Socket::bind(const sockaddr* address, int addressLength) {
  return recordIfFailed(::bind(_socket, address, addressLength), _lastError);
}

int Socket::listen(int backlog) { return recordIfFailed(::listen(_socket, backlog), _lastError); }

unsigned int Socket::accept(sockaddr* address, int* addressLength) {
  SOCKET handle = ::accept(_socket, address, addressLength);
  if (handle == INVALID_SOCKET) updateLastError();
  return handle;
}

int Socket::send(const void* data, unsigned int length, int flags) {
  return recordIfFailed(
      ::send(_socket, static_cast<const char*>(data), static_cast<int>(length), flags), _lastError);
}

int Socket::sendto(const void* data, unsigned int length, int flags, const sockaddr* address,
                   int addressLength) {
  return recordIfFailed(::sendto(_socket, static_cast<const char*>(data), static_cast<int>(length),
                                 flags, address, addressLength),
                        _lastError);
}

int Socket::recv(void* buffer, unsigned int length, int flags) {
  return recordIfFailed(
      ::recv(_socket, static_cast<char*>(buffer), static_cast<int>(length), flags), _lastError);
}

int Socket::recvfrom(void* buffer, unsigned int length, int flags, sockaddr* address,
                     int* addressLength) {
  return recordIfFailed(::recvfrom(_socket, static_cast<char*>(buffer), static_cast<int>(length),
                                   flags, address, addressLength),
                        _lastError);
}

int Socket::setsockopt(int level, int option, const void* value, int valueLength) {
  return recordIfFailed(
      ::setsockopt(_socket, level, option, static_cast<const char*>(value), valueLength),
      _lastError);
}

int Socket::getsockopt(int level, int option, void* value, int* valueLength) {
  return recordIfFailed(
      ::getsockopt(_socket, level, option, static_cast<char*>(value), valueLength), _lastError);
}

bool Socket::setNonBlock(bool on) {
  u_long argument = on ? 1 : 0;
  if (recordIfFailed(::ioctlsocket(_socket, FIONBIO, &argument), _lastError) < 0) return false;
  _nonBlock = on;
  return true;
}

bool Socket::getNonBlock() { return _nonBlock; }

unsigned int Socket::getSocket() { return _socket; }

unsigned int Socket::getLastError() { return _lastError; }

void Socket::updateLastError() { _lastError = systemSocketError(); }

}  // namespace quor
