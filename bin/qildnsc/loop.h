/*
 * loop.h -- the two UDP sockets and the event loop that serves them.
 */
#ifndef QILDNSC_LOOP_H
#define QILDNSC_LOOP_H

#include <stddef.h>
#include <stdint.h>

#define SELECT_TIMEOUT_USEC 50000

/* The listening socket (client queries) and the upstream socket. */
extern int local_fd;
extern int remote_fd;

/* Sends one datagram; a failure is logged as "<code>: sendto(2) error". */
void loop_sendto(int fd, const void *data, size_t len, const void *addr,
                 int32_t addrlen, const char *code);
/* True for receive errors that are not worth a log line: the reset a
 * datagram socket reports after an ICMP unreachable, and no data after all. */
bool loop_recv_quiet(int err);

/* Creates both sockets and binds the listening one; -1 on failure (logged). */
int init_sockets(void);

/* Thread body of the event loop; returns only after a select(2) failure. */
void *main_loop(void *arg);

#endif
