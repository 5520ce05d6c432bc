/*
 * win32/odr_sys.h -- the system headers and types behind odr.h on Windows.
 *
 * Only odr.h includes this file; the build puts the folder of the platform
 * in use on the include path. Quirks made good here, so that the rest of
 * the tree is written once against the POSIX socket calls:
 *  - Socket handles are SOCKET (an unsigned pointer-sized value); they are
 *    kept in int, where INVALID_SOCKET becomes -1 like a failed socket(2).
 *  - Winsock takes buffers as char * and lengths as int: ODR_send() and
 *    the other socket calls of odr.h take void * and size_t and convert.
 *  - The socket error is WSAGetLastError(), not errno (ODR_sockError()).
 *  - A non-blocking connect reports WSAEWOULDBLOCK where POSIX says
 *    EINPROGRESS.
 *  - Sockets are closed with closesocket() (ODR_closesocket()).
 *  - MSG_NOSIGNAL does not exist: there is no SIGPIPE to suppress.
 */
#ifndef QIL_ODR_SYS_H
#define QIL_ODR_SYS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>

typedef HANDLE ODR_pthread_t;
typedef struct odr_pthread_attr ODR_pthread_attr_t;   /* never passed */
typedef CRITICAL_SECTION ODR_pthread_mutex_t;
typedef struct odr_pthread_mutexattr ODR_pthread_mutexattr_t; /* never passed */

#define ODR_EWOULDBLOCK WSAEWOULDBLOCK
#define ODR_EINPROGRESS WSAEWOULDBLOCK
#define ODR_EINTR       WSAEINTR
#define ODR_EMSGSIZE    WSAEMSGSIZE

#define ODR_MSG_NOSIGNAL 0
/* The program starts no child processes on Windows: nothing to close on
 * exec. */
#define SOCK_CLOEXEC 0

/* The format archetype of our printf-like functions (C99 formats: MinGW's
 * own printf is used). */
#define ODR_PRINTF_FORMAT gnu_printf

#endif
