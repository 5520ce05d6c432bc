/*
 * odr.h -- the OS layer: library start-up, clocks, threads and mutexes,
 * socket calls and socket errors, a file's lock, string helpers.
 *
 * The interface is platform-neutral; lib/libqil/posix/ implements it on
 * Linux and lib/libqil/win32/ on Windows, each with an odr_sys.h that
 * brings in the system's socket headers and the types below. Code outside
 * those two folders includes this header instead of the system's socket
 * headers. Everything here is safe on any thread except ODR_libinit(),
 * which runs once on the first thread before any other thread exists.
 * Nothing here logs: the calls that write their failures to the log stand
 * above it, in odr_recv.h and odr_random.h.
 */
#ifndef QIL_ODR_H
#define QIL_ODR_H

#include <stddef.h>
#include <stdint.h>

#include "odr_sys.h"
#include "vas.h"

/* Starts the OS layer (Winsock on Windows) and sets ODR_osversion; first
 * thread only, before any other call. Returns 0 (a failure is fatal). */
int ODR_libinit(void);
/* The OS generation code of the running system (always 0 on Linux); any
 * thread. Windows releases get the codes of their table, others 0. */
int ODR_GetOSVersion(void);
/* ODR_GetOSVersion() as ODR_libinit() found it; only read afterwards. */
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

/* The time of day into `*tv`; `tz` must be NULL (asserted). Returns 0: a
 * failing clock is fatal. */
int ODR_gettimeofday(struct odr_timeval *tv, void *tz);
/* ODR_CLOCK_MONOTONIC (also 4) or ODR_CLOCK_REALTIME into `*ts`; any other
 * clock is a caller's bug (asserted). Returns 0: a failing clock is fatal. */
int ODR_clock_gettime(int clock, struct odr_timespec *ts);
/* The real time in seconds since 1970, with its fraction. */
double ODR_real(void);
/* Formats the UTC time `t` (seconds since 1970) with strftime(3) format
 * `fmt` ("%T" too) into `buf` (30 bytes); the length, 0 when it does not fit. */
size_t ODR_strftime(char *buf, const char *fmt, double t);

/* Threads and mutexes with POSIX-threads semantics (attributes are never
 * passed: always NULL). */

/* Starts a thread running start(arg); 0 or the error number. */
int ODR_pthread_create(ODR_pthread_t *thread, const ODR_pthread_attr_t *attr,
                       void *(*start)(void *), void *arg);
/* Sets up the mutex `m`; 0 or the error number. */
int ODR_pthread_mutex_init(ODR_pthread_mutex_t *m,
                           const ODR_pthread_mutexattr_t *attr);
/* Takes `m`, waiting for it; 0 or the error number. */
int ODR_pthread_mutex_lock(ODR_pthread_mutex_t *m);
/* Releases `m`, which the calling thread holds; 0 or the error number. */
int ODR_pthread_mutex_unlock(ODR_pthread_mutex_t *m);
/* Tears down the unlocked mutex `m`; 0 or the error number. */
int ODR_pthread_mutex_destroy(ODR_pthread_mutex_t *m);

/*
 * One datagram receive. Unlike recvfrom(2), a datagram longer than `len`
 * is reported as the message-size error (-1 with EMSGSIZE): Linux would
 * otherwise hand back its first `len` bytes as if they were all.
 */
ssize_t ODR_recvfrom(int sock, void *buf, size_t len, int flags,
                     struct sockaddr *from, socklen_t *fromlen);

/* The calling thread's last socket error (errno, WSAGetLastError()). */
int ODR_sockError(void);
/* The text of that error; it may lie in a static buffer that the next
 * call overwrites. */
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

/* Closes `sock`; 0 or -1. */
int ODR_closesocket(int sock);
/* Switches non-blocking mode on (`on` != 0) or off; 0 or -1. */
int ODR_setnonblocking(int sock, int on);
/* Sets a send or receive time-out (SO_SNDTIMEO, SO_RCVTIMEO) in seconds. */
int ODR_setsocktimeout(int sock, int optname, double sec);
/* setsockopt(2) with the value's length as a size_t; 0 or -1. */
int ODR_setsockopt(int sock, int level, int optname, const void *val, size_t len);
/* getsockopt(2); 0 or -1. */
int ODR_getsockopt(int sock, int level, int optname, void *val, socklen_t *len);
/* send(2): the count sent, or -1. */
ssize_t ODR_send(int sock, const void *buf, size_t len, int flags);
/* recv(2): the count received, 0 at the end of the stream, or -1; nothing
 * is logged (ODR_recv() of odr_recv.h logs its failure). */
ssize_t ODR_recvplain(int sock, void *buf, size_t len, int flags);
/* sendto(2): the count sent, or -1. */
ssize_t ODR_sendto(int sock, const void *buf, size_t len, int flags,
                   const struct sockaddr *to, socklen_t tolen);
/* poll(2) over sockets; on Windows a refused connect is reported as
 * POLLOUT with the error pending in SO_ERROR, as on Linux. */
int ODR_poll(struct pollfd *fds, size_t nfds, int timeout_ms);

/* The index of the network interface named `name` (the scope of an IPv6
 * address, "fe80::1%eth0"); 0 when there is none such. */
uint32_t ODR_ifindex(const char *name);

/* Files. */

/* Locks the open file `fd` for as long as it stays open, against every
 * other process that asks the same; never waits. 0; -1 with errno
 * EWOULDBLOCK when another process holds the lock, or the system's reason
 * when the file cannot be locked at all. Readers are never kept out. */
int ODR_lockfile(int fd);

/* String helpers with their standard meaning. */

/* strdup(3): a heap copy of `s`, NULL when memory is short. */
char *ODR_strdup(const char *s);
/* strndup(3): a heap copy of at most `n` bytes of `s`, NULL when memory is
 * short. */
char *ODR_strndup(const char *s, size_t n);
/* strncasecmp(3): compares at most `n` bytes, ignoring ASCII case. */
int ODR_strncasecmp(const char *a, const char *b, size_t n);

#endif
