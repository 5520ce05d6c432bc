/*
 * odr.h -- the OS layer: library start-up, clocks, threads and mutexes,
 * socket receive with logging, secure random numbers and socket errors.
 *
 * The interface is platform-neutral; lib/libqil/posix/ implements it on
 * Linux and lib/libqil/win32/ on Windows, each with an odr_sys.h that
 * brings in the system's socket headers and the types below. Code outside
 * those two folders includes this header instead of the system's socket
 * headers. Everything here is safe on any thread except ODR_libinit(),
 * which runs once on the first thread before any other thread exists.
 */
#ifndef QIL_ODR_H
#define QIL_ODR_H

#include <stddef.h>
#include <stdint.h>

#include "odr_sys.h"
#include "vas.h"

struct vtclog;

/* Library start-up and the OS generation code (always 0 on Linux). */
int ODR_libinit(void);
int ODR_GetOSVersion(void);
extern int ODR_osversion;

/* Clocks. */
struct odr_timeval {
	int64_t tv_sec;
	int32_t tv_usec;
};
struct odr_timespec {
	int64_t tv_sec;
	int64_t tv_nsec;
};
#define ODR_CLOCK_MONOTONIC 1
#define ODR_CLOCK_REALTIME  2

int ODR_gettimeofday(struct odr_timeval *tv, void *tz);
int ODR_clock_gettime(int clock, struct odr_timespec *ts);
double ODR_real(void);
size_t ODR_strftime(char *buf, const char *fmt, double t);

/* Threads and mutexes with POSIX-threads semantics (attributes are never
 * passed: always NULL). */

int ODR_pthread_create(ODR_pthread_t *thread, const ODR_pthread_attr_t *attr,
                       void *(*start)(void *), void *arg);
int ODR_pthread_mutex_init(ODR_pthread_mutex_t *m,
                           const ODR_pthread_mutexattr_t *attr);
int ODR_pthread_mutex_lock(ODR_pthread_mutex_t *m);
int ODR_pthread_mutex_unlock(ODR_pthread_mutex_t *m);
int ODR_pthread_mutex_destroy(ODR_pthread_mutex_t *m);

/* The wait-for-all receive flag. */
#define ODR_MSG_WAITALL MSG_WAITALL

/*
 * One receive of up to `len` bytes; logs QILEC_00440 on failure and returns
 * the raw result (count, 0 at end of stream, -1 on error).
 */
ssize_t ODR_recv(struct vtclog *vl, int sock, void *buf, size_t len, int flags);

/*
 * One datagram receive. Unlike recvfrom(2), a datagram longer than `len`
 * is reported as the message-size error (-1 with EMSGSIZE): Linux would
 * otherwise hand back its first `len` bytes as if they were all.
 */
ssize_t ODR_recvfrom(int sock, void *buf, size_t len, int flags,
                     struct sockaddr *from, socklen_t *fromlen);

/* A uniformly distributed value from the system's secure generator; 0 after
 * a logged failure. */
uint32_t ODR_random(struct vtclog *vl);
/* 0 when the generator gives values; -1 after the failure is logged as in
 * ODR_random(). The start-up asks once, since 0 is also a valid value. */
int ODR_randomCheck(struct vtclog *vl);

/* The calling thread's last socket error (errno) and its text. */
int ODR_sockError(void);
const char *ODR_sockErrorText(void);
/* Makes `err` the calling thread's socket error, so that the text of an
 * error taken earlier can be had from ODR_sockErrorText(). */
void ODR_setSockError(int err);
/*
 * True for the errors a datagram socket reports after one of its earlier
 * sends drew an ICMP unreachable: the receive path ignores them silently.
 */
int ODR_sockErrorIsReset(int err);

/*
 * Socket calls written once for both platforms: POSIX argument types,
 * results as POSIX gives them (-1 and ODR_sockError() on failure).
 */
int ODR_closesocket(int sock);
/* Switches non-blocking mode on (`on` != 0) or off; 0 or -1. */
int ODR_setnonblocking(int sock, int on);
/* Sets a send or receive time-out (SO_SNDTIMEO, SO_RCVTIMEO) in seconds. */
int ODR_setsocktimeout(int sock, int optname, double sec);
int ODR_setsockopt(int sock, int level, int optname, const void *val, size_t len);
int ODR_getsockopt(int sock, int level, int optname, void *val, socklen_t *len);
ssize_t ODR_send(int sock, const void *buf, size_t len, int flags);
ssize_t ODR_sendto(int sock, const void *buf, size_t len, int flags,
                   const struct sockaddr *to, socklen_t tolen);
/* poll(2) over sockets; on Windows a refused connect is reported as
 * POLLOUT with the error pending in SO_ERROR, as on Linux. */
int ODR_poll(struct pollfd *fds, size_t nfds, int timeout_ms);

/* String helpers with their standard meaning. */
char *ODR_strdup(const char *s);
char *ODR_strndup(const char *s, size_t n);
int ODR_strncasecmp(const char *a, const char *b, size_t n);

#endif
