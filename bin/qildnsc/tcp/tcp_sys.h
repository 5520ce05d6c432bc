/*
 * tcp_sys.h -- the socket calls of DNS over TCP that differ between Linux
 * (posix/tcp_sys.cc) and Windows (win32/tcp_sys.cc). Sockets are kept in
 * int and fail with -1 and ODR_sockError(), as in odr.h.
 */
#ifndef QILDNSC_TCP_SYS_H
#define QILDNSC_TCP_SYS_H

#include "odr.h"

/* A new non-blocking stream socket of `family`, not inherited by child
 * processes. */
int tcp_sys_socket(int family);
/* A new non-blocking datagram socket of `family`, not inherited by child
 * processes. */
int tcp_sys_dgram_socket(int family);
/* Lets the listener `fd` bind while connections of an earlier run linger,
 * and still keeps a second listener off its port. */
void tcp_sys_listener_options(int fd);
/* Takes one waiting connection of `fd` as a socket like tcp_sys_socket()'s;
 * `ss` gets the peer's address. */
int tcp_sys_accept(int fd, struct sockaddr_storage *ss);
/* True when an accept failed with `err` only because nothing is waiting
 * any more (none, or a connection reset before it was taken). */
bool tcp_sys_accept_again(int err);
/* One receive of up to `len` bytes: the count, 0 at the end of the
 * stream, -1 on failure. */
ssize_t tcp_sys_recv(int fd, void *buf, size_t len);
/* True when the accepted connection `fd` was redirected to us by
 * diversion: it was made to another address than the one it reached. */
bool tcp_sys_redirected(int fd);
/* Keeps diversion away from the upstream socket `fd`, quietly. */
void tcp_sys_exempt(int fd);
/* Marks the listener `fd` whose replies diversion rewrites, quietly. */
void tcp_sys_divert_listener(int fd);
/* Room for every descriptor the limits allow: the clients, and per query
 * one connection per plain server and one datagram socket. */
void tcp_sys_raise_limit(void);
/* The text of the socket error `err`. */
const char *tcp_sys_strerror(int err);

#endif
