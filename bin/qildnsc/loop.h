/*
 * loop.h -- the two UDP sockets and the event loop that serves them.
 */
#ifndef QILDNSC_LOOP_H
#define QILDNSC_LOOP_H

#define SELECT_TIMEOUT_USEC 50000

/* The listening socket (client queries) and the upstream socket. */
extern int local_fd;
extern int remote_fd;

/* Creates both sockets and binds the listening one; -1 on failure (logged). */
int init_sockets(void);

/* Thread body of the event loop; returns only after a select(2) failure. */
void *main_loop(void *arg);

#endif
