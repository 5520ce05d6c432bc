/*
 * tcp_reply.h -- how a query over TCP gives its one reply back to whoever
 * asked (the client connection): a callback, called on the TCP thread.
 */
#ifndef QILDNSC_TCP_REPLY_H
#define QILDNSC_TCP_REPLY_H

#include <stddef.h>
#include <stdint.h>

/* Takes the `len`-byte reply for the asker `priv`. */
typedef void tcp_reply_f(void *priv, const uint8_t *reply, size_t len);

#endif
