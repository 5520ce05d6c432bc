/*
 * edns.cc -- a client's EDNS UDP size read from its query, and capped in
 * place at what our sockets receive: a server that honours the client's
 * 8192 would send answers our 4096-byte buffers drop, and the client
 * would wait out its time-out for nothing.
 *
 * Called by intake on the event-loop thread; allocates nothing.
 */
#include <stddef.h>

#include "forward/edns.h"
#include "odr.h"

uint16_t
edns_client_max(struct vdns_msg *msg, uint8_t *query, uint16_t cap)
{
	struct vdns_rr rr;

	AN(msg);
	AN(query);
	for (int i = 0; i < msg->counts[VDNS_S_AR]; i++) {
		if (VDNS_parserr(msg, VDNS_S_AR, i, &rr) < 0)
			break;
		if (rr.type != EDNS_T_OPT)
			continue;
		/* The OPT record's class is its UDP size: the two bytes before
		 * its TTL and data length. */
		uint8_t *size = query + (rr.rdata - msg->msg) - 8;
		if (rr.rr_class > cap) {
			size[0] = (uint8_t)(cap >> 8);
			size[1] = (uint8_t)(cap & 0xff);
		}
		return rr.rr_class < EDNS_CLASSIC_SIZE ? EDNS_CLASSIC_SIZE : rr.rr_class;
	}
	return EDNS_CLASSIC_SIZE;
}
