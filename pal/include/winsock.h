/* winsock.h of the PAL: the Windows Sockets 1.1 subset that quor::Socket, its tests and the
 * examples use, implemented on the POSIX socket calls (pal/src/winsock.cpp).
 *
 * What is Windows and what is not:
 * - Handles, records, option levels and names, ioctl commands and the result convention
 *   (INVALID_SOCKET, SOCKET_ERROR) are those of Windows Sockets 1.1 on 32-bit Windows.
 * - Error codes are NOT Windows codes: WSAGetLastError returns the thread's errno, and the WSAE*
 *   names below carry the Linux errno values, so code that compares against the names works on
 *   both systems while the numbers it logs are the host's own. The few codes errno has no
 *   counterpart for (WSAVERNOTSUPPORTED, WSANOTINITIALISED...) keep their Windows numbers.
 *
 * The functions keep their Win32 names in source but are bound to PAL_-prefixed symbols: the C
 * library already owns socket, send, recv... with another calling convention, and both must live
 * in one process. */
#ifndef QUORKIT_PAL_WINSOCK_H
#define QUORKIT_PAL_WINSOCK_H

/* As with the SDK's, including this header brings in <windows.h>. */
#include <windows.h>

#define PAL_WINSOCK_SYMBOL(name) __asm__("PAL_" #name)

typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
typedef unsigned long u_long; /* 32 bits on i386, as on Windows */

typedef u_int SOCKET;
#define INVALID_SOCKET ((SOCKET)(~0u))
#define SOCKET_ERROR (-1)

#ifndef MAKEWORD
#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | ((WORD)((BYTE)(high))) << 8))
#endif

/* ---- addresses --------------------------------------------------------------------------- */
#define AF_UNSPEC 0
#define AF_UNIX 1
#define AF_INET 2
#define PF_UNSPEC AF_UNSPEC
#define PF_INET AF_INET

#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3

#define IPPROTO_IP 0
#define IPPROTO_ICMP 1
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

#define INADDR_ANY ((u_long)0x00000000)
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_BROADCAST ((u_long)0xffffffff)
#define INADDR_NONE 0xffffffff

struct in_addr {
  union {
    struct {
      u_char s_b1, s_b2, s_b3, s_b4;
    } S_un_b;
    struct {
      u_short s_w1, s_w2;
    } S_un_w;
    u_long S_addr;
  } S_un;
};
#define s_addr S_un.S_addr

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  short sin_family;
  u_short sin_port;
  struct in_addr sin_addr;
  char sin_zero[8];
};

typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* PSOCKADDR;
typedef struct sockaddr* LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
typedef struct sockaddr_in* PSOCKADDR_IN;
typedef struct sockaddr_in* LPSOCKADDR_IN;

/* ---- flags, options, ioctl commands (Windows values) --------------------------------------- */
#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_DONTROUTE 0x4

#define SOMAXCONN 5

#define SOL_SOCKET 0xffff
#define SO_DEBUG 0x0001
#define SO_ACCEPTCONN 0x0002
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_DONTROUTE 0x0010
#define SO_BROADCAST 0x0020
#define SO_LINGER 0x0080
#define SO_OOBINLINE 0x0100
#define SO_DONTLINGER ((u_int)(~SO_LINGER))
#define SO_SNDBUF 0x1001
#define SO_RCVBUF 0x1002
#define SO_SNDLOWAT 0x1003
#define SO_RCVLOWAT 0x1004
#define SO_SNDTIMEO 0x1005 /* DWORD milliseconds, 0 = never */
#define SO_RCVTIMEO 0x1006
#define SO_ERROR 0x1007
#define SO_TYPE 0x1008

#define TCP_NODELAY 0x0001

struct linger {
  u_short l_onoff;
  u_short l_linger;
};

#define FIONBIO ((long)0x8004667EUL)
#define FIONREAD ((long)0x4004667FUL)

/* ---- errors: Linux errno values under the Windows names (see the top of this file) ---------- */
#define WSAEINTR 4
#define WSAEBADF 9
#define WSAEACCES 13
#define WSAEFAULT 14
#define WSAEINVAL 22
#define WSAEMFILE 24
#define WSAEWOULDBLOCK 11
#define WSAEINPROGRESS 115
#define WSAEALREADY 114
#define WSAENOTSOCK 88
#define WSAEDESTADDRREQ 89
#define WSAEMSGSIZE 90
#define WSAEPROTOTYPE 91
#define WSAENOPROTOOPT 92
#define WSAEPROTONOSUPPORT 93
#define WSAESOCKTNOSUPPORT 94
#define WSAEOPNOTSUPP 95
#define WSAEPFNOSUPPORT 96
#define WSAEAFNOSUPPORT 97
#define WSAEADDRINUSE 98
#define WSAEADDRNOTAVAIL 99
#define WSAENETDOWN 100
#define WSAENETUNREACH 101
#define WSAENETRESET 102
#define WSAECONNABORTED 103
#define WSAECONNRESET 104
#define WSAENOBUFS 105
#define WSAEISCONN 106
#define WSAENOTCONN 107
#define WSAESHUTDOWN 108
#define WSAETIMEDOUT 110
#define WSAECONNREFUSED 111
#define WSAEHOSTUNREACH 113
/* No errno counterpart: the Windows numbers. */
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093

/* ---- service start-up ------------------------------------------------------------------------ */
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
} WSADATA, *LPWSADATA;

PAL_BEGIN_DECLS

/* Counts start-ups so that WSACleanup can refuse an unmatched call. The PAL's sockets work
 * without it (a Linux process needs no start-up); code meant for Windows must still call it. */
PAL_API int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data) PAL_WINSOCK_SYMBOL(WSAStartup);
PAL_API int WINAPI WSACleanup(void) PAL_WINSOCK_SYMBOL(WSACleanup);
PAL_API int WINAPI WSAGetLastError(void) PAL_WINSOCK_SYMBOL(WSAGetLastError);
PAL_API void WINAPI WSASetLastError(int error) PAL_WINSOCK_SYMBOL(WSASetLastError);

PAL_API SOCKET WINAPI socket(int af, int type, int protocol) PAL_WINSOCK_SYMBOL(socket);
PAL_API int WINAPI closesocket(SOCKET s) PAL_WINSOCK_SYMBOL(closesocket);
PAL_API int WINAPI shutdown(SOCKET s, int how) PAL_WINSOCK_SYMBOL(shutdown);
PAL_API int WINAPI connect(SOCKET s, const struct sockaddr* name, int namelen)
    PAL_WINSOCK_SYMBOL(connect);
PAL_API int WINAPI bind(SOCKET s, const struct sockaddr* name, int namelen)
    PAL_WINSOCK_SYMBOL(bind);
PAL_API int WINAPI listen(SOCKET s, int backlog) PAL_WINSOCK_SYMBOL(listen);
PAL_API SOCKET WINAPI accept(SOCKET s, struct sockaddr* addr, int* addrlen)
    PAL_WINSOCK_SYMBOL(accept);
PAL_API int WINAPI send(SOCKET s, const char* buf, int len, int flags) PAL_WINSOCK_SYMBOL(send);
PAL_API int WINAPI sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to,
                          int tolen) PAL_WINSOCK_SYMBOL(sendto);
PAL_API int WINAPI recv(SOCKET s, char* buf, int len, int flags) PAL_WINSOCK_SYMBOL(recv);
PAL_API int WINAPI recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from,
                            int* fromlen) PAL_WINSOCK_SYMBOL(recvfrom);
PAL_API int WINAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
    PAL_WINSOCK_SYMBOL(setsockopt);
PAL_API int WINAPI getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
    PAL_WINSOCK_SYMBOL(getsockopt);
PAL_API int WINAPI ioctlsocket(SOCKET s, long cmd, u_long* argp) PAL_WINSOCK_SYMBOL(ioctlsocket);
PAL_API int WINAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen)
    PAL_WINSOCK_SYMBOL(getsockname);
PAL_API int WINAPI getpeername(SOCKET s, struct sockaddr* name, int* namelen)
    PAL_WINSOCK_SYMBOL(getpeername);

PAL_API u_short WINAPI htons(u_short value) PAL_WINSOCK_SYMBOL(htons);
PAL_API u_short WINAPI ntohs(u_short value) PAL_WINSOCK_SYMBOL(ntohs);
PAL_API u_long WINAPI htonl(u_long value) PAL_WINSOCK_SYMBOL(htonl);
PAL_API u_long WINAPI ntohl(u_long value) PAL_WINSOCK_SYMBOL(ntohl);
PAL_API u_long WINAPI inet_addr(const char* text) PAL_WINSOCK_SYMBOL(inet_addr);

PAL_END_DECLS

#endif
