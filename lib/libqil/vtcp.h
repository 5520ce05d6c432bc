/*
 * vtcp.h -- the few socket options the system sets. Safe on any thread;
 * nothing here logs.
 */
#ifndef QIL_VTCP_H
#define QIL_VTCP_H

/* Puts `sock` in blocking mode; returns 0 (a failure means a bad socket:
 * asserted). */
int VTCP_blocking(int sock);
/* Puts `sock` in non-blocking mode; 0, or -1 with the socket error kept. */
int VTCP_nonblocking(int sock);
/* Lets `sock` bind an address still in TIME_WAIT; 0 or -1. */
int VTCP_reuseaddr(int sock);
/* Bounds every receive and send on `sock` to `sec` seconds (> 0); a bad
 * socket or time-out is a caller's bug (asserted). */
void VTCP_setTimeout(int sock, int sec);

#endif
