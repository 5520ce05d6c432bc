/*
 * edns.h -- what a client's query says of the answers it can take over
 * UDP (its EDNS OPT record), and the size we ask upstream for on its
 * behalf.
 *
 * Pure functions over the caller's datagram; called by intake on the
 * event-loop thread.
 */
#ifndef QILDNSC_EDNS_H
#define QILDNSC_EDNS_H

#include <stdint.h>

#include "vdns.h"

/* The answer size every client takes over UDP, with or without EDNS. */
#define EDNS_CLASSIC_SIZE 512
#define EDNS_T_OPT 41

/*
 * The largest UDP answer the client of the parsed query `msg` takes (512
 * without an OPT record, else the size its first OPT record gives, never
 * below 512). A size above `cap` is rewritten to `cap` in the query's
 * bytes, so that no server sends an answer larger than we can receive.
 */
uint16_t edns_client_max(struct vdns_msg *msg, uint8_t *query, uint16_t cap);

#endif
