/*
 * vtcp.h -- the few socket options the system sets.
 */
#ifndef QIL_VTCP_H
#define QIL_VTCP_H

int VTCP_blocking(int sock);
int VTCP_nonblocking(int sock);
int VTCP_reuseaddr(int sock);
void VTCP_setTimeout(int sock, int sec);

#endif
