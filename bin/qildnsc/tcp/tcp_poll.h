/*
 * tcp_poll.h -- the readiness set of the TCP thread: sockets, each with
 * the events it waits for and a pointer of the caller's, handed back with
 * the events that are ready. Level-triggered: a socket stays ready until
 * what made it ready is taken. Errors and hang-ups are reported whether
 * asked for or not.
 *
 * One thread only (tcp_server.h). An epoll(7) set on Linux
 * (posix/tcp_poll.cc), select() over the set's sockets on Windows
 * (win32/tcp_poll.cc).
 */
#ifndef QILDNSC_TCP_POLL_H
#define QILDNSC_TCP_POLL_H

#include <stdint.h>

/* The events; their values are those of epoll(7). */
#define TCP_POLL_IN  0x001u /* readable, or a connection to accept */
#define TCP_POLL_OUT 0x004u /* writable, or a connect that succeeded */
#define TCP_POLL_ERR 0x008u /* an error, such as a connect that failed */
#define TCP_POLL_HUP 0x010u /* closed both ways */

struct tcp_poll_event {
	void *ptr;
	uint32_t events;
};

struct tcp_poll;

/* A new, empty set; NULL (errno or the socket error says why) on failure. */
struct tcp_poll *tcp_poll_new(void);
/* Frees the set; the sockets still in it stay open. */
void tcp_poll_delete(struct tcp_poll *p);
/* Adds `fd` with the `events` it waits for and `ptr` to hand back; 0, or
 * -1 (ODR_sockError() says why) when the set cannot take it: on Windows a
 * set holds at most TCP_POLL_MAX sockets (win32/tcp_poll.cc). */
int tcp_poll_add(struct tcp_poll *p, int fd, uint32_t events, void *ptr);
/* Changes the events `fd` waits for (0: none but errors). */
void tcp_poll_mod(struct tcp_poll *p, int fd, uint32_t events, void *ptr);
/* Takes `fd` out of the set and closes it. */
void tcp_poll_close(struct tcp_poll *p, int fd);
/* The system call behind tcp_poll_wait(), for log lines. */
extern const char tcp_poll_wait_call[];
/* Waits up to `timeout_ms` for ready sockets; fills up to `max` of `ev`
 * and returns their count, or -1 (ODR_sockError() says why). */
int tcp_poll_wait(struct tcp_poll *p, struct tcp_poll_event *ev, int max, int timeout_ms);

#endif
