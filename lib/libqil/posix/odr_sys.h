/*
 * posix/odr_sys.h -- the system headers and types behind odr.h on Linux.
 *
 * Only odr.h includes this file; the build puts the folder of the platform
 * in use on the include path.
 */
#ifndef QIL_ODR_SYS_H
#define QIL_ODR_SYS_H

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

typedef pthread_t ODR_pthread_t;
typedef pthread_attr_t ODR_pthread_attr_t;
typedef pthread_mutex_t ODR_pthread_mutex_t;
typedef pthread_mutexattr_t ODR_pthread_mutexattr_t;

/* The socket error numbers the callers tell apart. */
#define ODR_EWOULDBLOCK EAGAIN
#define ODR_EINPROGRESS EINPROGRESS
#define ODR_EINTR       EINTR
#define ODR_EMSGSIZE    EMSGSIZE

/* Sends on a peer that has gone must fail, not raise SIGPIPE. */
#define ODR_MSG_NOSIGNAL MSG_NOSIGNAL

/* The format archetype of our printf-like functions. */
#define ODR_PRINTF_FORMAT printf

#endif
