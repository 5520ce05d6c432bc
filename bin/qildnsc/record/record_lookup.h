/*
 * record_lookup.h -- the queue between the record and the thread that
 * finds which application asked (record_who.h): the local clients whose
 * socket is still to be named.
 */
#ifndef QILDNSC_RECORD_LOOKUP_H
#define QILDNSC_RECORD_LOOKUP_H

#include <stdint.h>

#include <vector>

#include "record/record.h"

/* One client to name: the record it belongs to and its socket. */
struct record_lookup {
	uint64_t seq;
	bool tcp;
	struct record_addr addr;
	uint16_t port;
};

/* Waits for clients to name, then `gather_ms` more for those that come
 * with them, and hands them all over in `out`; false once stopping. */
bool record_lookups_wait(std::vector<struct record_lookup> *out, int gather_ms);
/* Wakes the waiting thread for good (at "Exit"). */
void record_lookups_stop(void);

#endif
