// Windows Sockets 1.1 on the POSIX socket calls: what quor::Socket, its tests and the examples
// use, with the Windows shapes of handles, records, options and ioctl commands.
//
// This file cannot include <winsock.h>: its records and option names are the Windows ones and
// clash with the C library's. The functions are therefore defined here under the symbols that
// the header binds the Win32 names to (PAL_socket...), and the Windows numbers they translate are
// repeated below; tests/pal/winsock_test.cpp drives every one of them through the header, so a
// number that drifts apart fails there.
//
// Where this layer deliberately differs from Windows, the function says so. The one difference
// that runs through all of them: the error kept for WSAGetLastError is the thread's errno.
#include <pal/win_types.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

namespace {

typedef unsigned int SocketHandle;
typedef unsigned long WinULong;
const SocketHandle kInvalidSocket = ~0u;

// Windows numbers (see the header).
const int kWinSolSocket = 0xffff;
const int kWinSoDebug = 0x0001;
const int kWinSoAcceptConn = 0x0002;
const int kWinSoReuseAddr = 0x0004;
const int kWinSoKeepAlive = 0x0008;
const int kWinSoDontRoute = 0x0010;
const int kWinSoBroadcast = 0x0020;
const int kWinSoLinger = 0x0080;
const int kWinSoOobInline = 0x0100;
const int kWinSoDontLinger = static_cast<int>(~0x0080u);
const int kWinSoSndBuf = 0x1001;
const int kWinSoRcvBuf = 0x1002;
const int kWinSoSndLowat = 0x1003;
const int kWinSoRcvLowat = 0x1004;
const int kWinSoSndTimeo = 0x1005;
const int kWinSoRcvTimeo = 0x1006;
const int kWinSoError = 0x1007;
const int kWinSoType = 0x1008;
const long kWinFionbio = static_cast<long>(0x8004667EUL);
const long kWinFionread = static_cast<long>(0x4004667FUL);
const unsigned short kWinsockVersion = 0x0101;  // 1.1: low byte major, high byte minor
const int kWsaVerNotSupported = 10092;
const int kWsaNotInitialised = 10093;

struct WinLinger {
  unsigned short l_onoff;
  unsigned short l_linger;
};

struct WinWsaData {
  unsigned short wVersion;
  unsigned short wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};

// The records are handed to the C library uncast: their layouts must agree.
static_assert(sizeof(sockaddr) == 16 && sizeof(sockaddr_in) == 16, "16-byte socket addresses");
static_assert(offsetof(sockaddr_in, sin_port) == 2 && offsetof(sockaddr_in, sin_addr) == 4,
              "sockaddr_in laid out as on Windows");
static_assert(sizeof(socklen_t) == sizeof(int), "Windows lengths are int");
static_assert(sizeof(WinULong) == 4, "u_long is 32 bits");
static_assert(sizeof(WinWsaData) == 400, "WSADATA of 32-bit Windows");

// The header's WSAE* names carry these errno values.
static_assert(EWOULDBLOCK == 11 && EINPROGRESS == 115 && EALREADY == 114 && ENOTSOCK == 88 &&
                  ENOPROTOOPT == 92 && EAFNOSUPPORT == 97 && EADDRINUSE == 98 &&
                  ECONNRESET == 104 && ENOTCONN == 107 && ESHUTDOWN == 108 && ETIMEDOUT == 110 &&
                  ECONNREFUSED == 111 && EBADF == 9 && EFAULT == 14 && EINVAL == 22,
              "errno values behind the WSAE* names");

std::atomic<int> g_startups{0};

inline int fd_of(SocketHandle s) { return static_cast<int>(s); }

int fail(int error) {
  errno = error;
  return -1;
}

// Windows refuses the socket calls on any other handle (WSAENOTSOCK). Linux refuses most of them
// too, but close and ioctl work on every descriptor: without this check a handle that names a
// file or a pipe would be closed or switched by a call meant for a socket.
bool is_socket(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return false;  // errno: EBADF
  if (!S_ISSOCK(status.st_mode)) {
    errno = ENOTSOCK;
    return false;
  }
  return true;
}

enum class OptionKind { Plain, BufferSize, Timeout, Linger, DontLinger };

struct SocketOption {
  int linuxName;
  OptionKind kind;
};

// SOL_SOCKET options by their Windows name. False for a name Windows Sockets 1.1 does not have
// (or that has no Linux counterpart, like SO_USELOOPBACK).
bool socket_option(int winName, SocketOption* out) {
  switch (winName) {
    case kWinSoDebug: *out = {SO_DEBUG, OptionKind::Plain}; return true;
    case kWinSoAcceptConn: *out = {SO_ACCEPTCONN, OptionKind::Plain}; return true;
    case kWinSoReuseAddr: *out = {SO_REUSEADDR, OptionKind::Plain}; return true;
    case kWinSoKeepAlive: *out = {SO_KEEPALIVE, OptionKind::Plain}; return true;
    case kWinSoDontRoute: *out = {SO_DONTROUTE, OptionKind::Plain}; return true;
    case kWinSoBroadcast: *out = {SO_BROADCAST, OptionKind::Plain}; return true;
    case kWinSoOobInline: *out = {SO_OOBINLINE, OptionKind::Plain}; return true;
    case kWinSoSndLowat: *out = {SO_SNDLOWAT, OptionKind::Plain}; return true;
    case kWinSoRcvLowat: *out = {SO_RCVLOWAT, OptionKind::Plain}; return true;
    case kWinSoError: *out = {SO_ERROR, OptionKind::Plain}; return true;
    case kWinSoType: *out = {SO_TYPE, OptionKind::Plain}; return true;
    case kWinSoSndBuf: *out = {SO_SNDBUF, OptionKind::BufferSize}; return true;
    case kWinSoRcvBuf: *out = {SO_RCVBUF, OptionKind::BufferSize}; return true;
    case kWinSoSndTimeo: *out = {SO_SNDTIMEO, OptionKind::Timeout}; return true;
    case kWinSoRcvTimeo: *out = {SO_RCVTIMEO, OptionKind::Timeout}; return true;
    case kWinSoLinger: *out = {SO_LINGER, OptionKind::Linger}; return true;
    case kWinSoDontLinger: *out = {SO_LINGER, OptionKind::DontLinger}; return true;
    default: return false;
  }
}

// Linux interrupts a blocking call for a signal handler; Windows has no such thing, so a
// Windows-minded caller would take EINTR for a real failure. Calls whose retry is harmless are
// repeated (connect is not: its retry would report EALREADY for a connection under way).
template <typename Call>
inline auto without_eintr(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

int set_socket_option(int fd, int winName, const char* value, int length) {
  SocketOption option;
  if (!socket_option(winName, &option)) return fail(ENOPROTOOPT);
  switch (option.kind) {
    case OptionKind::Plain:
    case OptionKind::BufferSize:
      // Linux doubles a buffer size when it stores it (room for its bookkeeping); getsockopt
      // undoes that, so the value given here goes in as it is.
      return setsockopt(fd, SOL_SOCKET, option.linuxName, value, static_cast<socklen_t>(length));
    case OptionKind::Timeout: {
      // Windows: a DWORD of milliseconds; Linux: a timeval. 0 means "never" on both.
      unsigned int ms;
      if (value == nullptr || length < static_cast<int>(sizeof ms)) return fail(EFAULT);
      memcpy(&ms, value, sizeof ms);
      timeval tv;
      tv.tv_sec = static_cast<time_t>(ms / 1000);
      tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
      return setsockopt(fd, SOL_SOCKET, option.linuxName, &tv, sizeof tv);
    }
    case OptionKind::Linger: {
      WinLinger win;
      if (value == nullptr || length < static_cast<int>(sizeof win)) return fail(EFAULT);
      memcpy(&win, value, sizeof win);
      ::linger lin;
      lin.l_onoff = win.l_onoff != 0;
      lin.l_linger = win.l_linger;
      return setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    }
    case OptionKind::DontLinger: {
      // Windows turns lingering off or on and keeps the linger time; Linux sets both at once.
      int dont;
      if (value == nullptr || length < static_cast<int>(sizeof dont)) return fail(EFAULT);
      memcpy(&dont, value, sizeof dont);
      ::linger lin;
      socklen_t linLength = sizeof lin;
      if (getsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, &linLength) < 0) return -1;
      lin.l_onoff = dont == 0;
      return setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    }
  }
  return fail(ENOPROTOOPT);
}

int get_socket_option(int fd, int winName, char* value, int* length) {
  SocketOption option;
  if (!socket_option(winName, &option)) return fail(ENOPROTOOPT);
  if (length == nullptr) return fail(EFAULT);
  switch (option.kind) {
    case OptionKind::Plain:
      // SO_ERROR reads back an errno value, like everything WSAGetLastError reports here.
      return getsockopt(fd, SOL_SOCKET, option.linuxName, value,
                        reinterpret_cast<socklen_t*>(length));
    case OptionKind::BufferSize: {
      int size;
      socklen_t sizeLength = sizeof size;
      if (value == nullptr || *length < static_cast<int>(sizeof size)) return fail(EFAULT);
      if (getsockopt(fd, SOL_SOCKET, option.linuxName, &size, &sizeLength) < 0) return -1;
      // Linux reports twice what was asked for; Windows reports what was asked for.
      size /= 2;
      memcpy(value, &size, sizeof size);
      *length = sizeof size;
      return 0;
    }
    case OptionKind::Timeout: {
      timeval tv;
      socklen_t tvLength = sizeof tv;
      if (value == nullptr || *length < static_cast<int>(sizeof(unsigned int))) return fail(EFAULT);
      if (getsockopt(fd, SOL_SOCKET, option.linuxName, &tv, &tvLength) < 0) return -1;
      unsigned int ms = static_cast<unsigned int>(tv.tv_sec) * 1000u +
                        static_cast<unsigned int>(tv.tv_usec) / 1000u;
      memcpy(value, &ms, sizeof ms);
      *length = sizeof ms;
      return 0;
    }
    case OptionKind::Linger:
    case OptionKind::DontLinger: {
      ::linger lin;
      socklen_t linLength = sizeof lin;
      int needed = option.kind == OptionKind::Linger ? static_cast<int>(sizeof(WinLinger))
                                                     : static_cast<int>(sizeof(int));
      if (value == nullptr || *length < needed) return fail(EFAULT);
      if (getsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, &linLength) < 0) return -1;
      if (option.kind == OptionKind::Linger) {
        WinLinger win;
        win.l_onoff = static_cast<unsigned short>(lin.l_onoff != 0);
        win.l_linger = static_cast<unsigned short>(lin.l_linger);
        memcpy(value, &win, sizeof win);
      } else {
        int dont = lin.l_onoff == 0;
        memcpy(value, &dont, sizeof dont);
      }
      *length = needed;
      return 0;
    }
  }
  return fail(ENOPROTOOPT);
}

}  // namespace

extern "C" {

// ---- service start-up -------------------------------------------------------------------------

PAL_API int WINAPI PAL_WSAStartup(unsigned short versionRequested, WinWsaData* data) {
  // As Windows Sockets 1.1: a request for 1.0 gets 1.0, anything newer gets 1.1 (the caller is
  // to check wVersion); only a major version 0 is refused. The result is returned, not kept.
  unsigned int major = versionRequested & 0xffu;
  unsigned int minor = versionRequested >> 8;
  if (major < 1) return kWsaVerNotSupported;
  if (data == nullptr) return EFAULT;
  bool newer = major > 1 || minor >= 1;
  memset(data, 0, sizeof *data);
  data->wVersion = newer ? kWinsockVersion : versionRequested;
  data->wHighVersion = kWinsockVersion;
  strcpy(data->szDescription, "quorkit PAL: Windows Sockets 1.1 on POSIX sockets");
  strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65507;
  g_startups.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

PAL_API int WINAPI PAL_WSACleanup(void) {
  int count = g_startups.load(std::memory_order_relaxed);
  do {
    if (count == 0) return fail(kWsaNotInitialised);
  } while (!g_startups.compare_exchange_weak(count, count - 1, std::memory_order_relaxed));
  return 0;
}

// Differs from Windows: the thread's errno, not a Windows code (see the header).
PAL_API int WINAPI PAL_WSAGetLastError(void) { return errno; }

PAL_API void WINAPI PAL_WSASetLastError(int error) { errno = error; }

// ---- handles ----------------------------------------------------------------------------------

// Differs from Windows, on purpose: the descriptor is close-on-exec. A Linux child would otherwise
// keep every connection of the parent open (a Windows socket is not passed on implicitly by
// CreateProcess unless handles are inherited, which quorkit never asks for).
PAL_API SocketHandle WINAPI PAL_socket(int af, int type, int protocol) {
  int fd = socket(af, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

PAL_API int WINAPI PAL_closesocket(SocketHandle s) {
  if (!is_socket(fd_of(s))) return -1;
  // No retry on EINTR: Linux has released the descriptor whatever close reports.
  return close(fd_of(s));
}

PAL_API int WINAPI PAL_shutdown(SocketHandle s, int how) {
  // SD_RECEIVE, SD_SEND, SD_BOTH are SHUT_RD, SHUT_WR, SHUT_RDWR: 0, 1, 2 on both systems.
  return shutdown(fd_of(s), how);
}

PAL_API int WINAPI PAL_connect(SocketHandle s, const sockaddr* name, int namelen) {
  return connect(fd_of(s), name, static_cast<socklen_t>(namelen));
}

PAL_API int WINAPI PAL_bind(SocketHandle s, const sockaddr* name, int namelen) {
  return bind(fd_of(s), name, static_cast<socklen_t>(namelen));
}

PAL_API int WINAPI PAL_listen(SocketHandle s, int backlog) { return listen(fd_of(s), backlog); }

PAL_API SocketHandle WINAPI PAL_accept(SocketHandle s, sockaddr* addr, int* addrlen) {
  // Windows gives the accepted socket the listening socket's blocking mode; Linux never does,
  // so the mode is carried over here.
  int flags = fcntl(fd_of(s), F_GETFL);
  if (flags < 0) return kInvalidSocket;
  int acceptFlags = SOCK_CLOEXEC | ((flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
  int fd = without_eintr(
      [&] { return accept4(fd_of(s), addr, reinterpret_cast<socklen_t*>(addrlen), acceptFlags); });
  return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

// ---- data -------------------------------------------------------------------------------------

// A negative length is an unsigned count of 2^31 or more in the caller's hands. As a size_t it
// would let the kernel read or write past the caller's buffer wherever memory happens to be
// mapped; Windows refuses such a buffer (WSAEFAULT) and transfers nothing, and so does this.
namespace {
bool refuseNegativeLength(int len) {
  if (len >= 0) return false;
  errno = EFAULT;
  return true;
}
}  // namespace

// Differs from Linux, as Windows: a send on a broken connection fails (EPIPE) instead of raising
// SIGPIPE, which would end a process that never heard of signals.
PAL_API int WINAPI PAL_send(SocketHandle s, const char* buf, int len, int flags) {
  if (refuseNegativeLength(len)) return -1;
  return static_cast<int>(without_eintr(
      [&] { return send(fd_of(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL); }));
}

PAL_API int WINAPI PAL_sendto(SocketHandle s, const char* buf, int len, int flags,
                              const sockaddr* to, int tolen) {
  if (refuseNegativeLength(len)) return -1;
  return static_cast<int>(without_eintr([&] {
    return sendto(fd_of(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to,
                  static_cast<socklen_t>(tolen));
  }));
}

PAL_API int WINAPI PAL_recv(SocketHandle s, char* buf, int len, int flags) {
  if (refuseNegativeLength(len)) return -1;
  return static_cast<int>(
      without_eintr([&] { return recv(fd_of(s), buf, static_cast<size_t>(len), flags); }));
}

PAL_API int WINAPI PAL_recvfrom(SocketHandle s, char* buf, int len, int flags, sockaddr* from,
                                int* fromlen) {
  if (refuseNegativeLength(len)) return -1;
  return static_cast<int>(without_eintr([&] {
    return recvfrom(fd_of(s), buf, static_cast<size_t>(len), flags, from,
                    reinterpret_cast<socklen_t*>(fromlen));
  }));
}

// ---- options and modes ------------------------------------------------------------------------

// SOL_SOCKET options are translated from their Windows names and value shapes (timeouts in
// milliseconds, the 16-bit linger record, buffer sizes as set); an option Windows Sockets 1.1
// does not name fails with ENOPROTOOPT. Other levels (IPPROTO_TCP: TCP_NODELAY) share their
// numbers with Linux and pass through.
PAL_API int WINAPI PAL_setsockopt(SocketHandle s, int level, int optname, const char* optval,
                                  int optlen) {
  if (level == kWinSolSocket) return set_socket_option(fd_of(s), optname, optval, optlen);
  return setsockopt(fd_of(s), level, optname, optval, static_cast<socklen_t>(optlen));
}

PAL_API int WINAPI PAL_getsockopt(SocketHandle s, int level, int optname, char* optval,
                                  int* optlen) {
  if (level == kWinSolSocket) return get_socket_option(fd_of(s), optname, optval, optlen);
  return getsockopt(fd_of(s), level, optname, optval, reinterpret_cast<socklen_t*>(optlen));
}

PAL_API int WINAPI PAL_ioctlsocket(SocketHandle s, long cmd, WinULong* argp) {
  if (cmd != kWinFionbio && cmd != kWinFionread) return fail(EINVAL);
  if (argp == nullptr) return fail(EFAULT);
  if (!is_socket(fd_of(s))) return -1;
  if (cmd == kWinFionbio) {
    int on = *argp != 0;
    return ioctl(fd_of(s), FIONBIO, &on);
  }
  int pending = 0;
  if (ioctl(fd_of(s), FIONREAD, &pending) < 0) return -1;
  *argp = static_cast<WinULong>(pending);
  return 0;
}

PAL_API int WINAPI PAL_getsockname(SocketHandle s, sockaddr* name, int* namelen) {
  return getsockname(fd_of(s), name, reinterpret_cast<socklen_t*>(namelen));
}

PAL_API int WINAPI PAL_getpeername(SocketHandle s, sockaddr* name, int* namelen) {
  return getpeername(fd_of(s), name, reinterpret_cast<socklen_t*>(namelen));
}

// ---- byte order and address text --------------------------------------------------------------

PAL_API unsigned short WINAPI PAL_htons(unsigned short value) { return htons(value); }
PAL_API unsigned short WINAPI PAL_ntohs(unsigned short value) { return ntohs(value); }
PAL_API WinULong WINAPI PAL_htonl(WinULong value) { return htonl(static_cast<uint32_t>(value)); }
PAL_API WinULong WINAPI PAL_ntohl(WinULong value) { return ntohl(static_cast<uint32_t>(value)); }

// The same dotted forms as Windows (a.b.c.d, a.b.c, a.b, a; octal and hex parts); a null text is
// INADDR_NONE there rather than a crash.
PAL_API WinULong WINAPI PAL_inet_addr(const char* text) {
  if (text == nullptr) return INADDR_NONE;
  return inet_addr(text);
}

}  // extern "C"
