/*
 * filter.h -- the IP blocklist, the CRoute table of domestic address
 * ranges, and the judgement of upstream answers by them.
 *
 * The tables are loaded on the start-up thread and only read afterwards
 * (by init_servers and by the event-loop thread), without locks.
 */
#ifndef QILDNSC_FILTER_H
#define QILDNSC_FILTER_H

#include <stdint.h>

#include "vdns.h"

#define FILTER_RELAY 0
#define FILTER_DROP  1
#define FILTER_HOLD  (-1)

struct croute_entry {
	uint32_t start;    /* network byte order */
	uint32_t hostmask; /* host byte order: the bits that may differ */
};

extern uint32_t *ip_blacklist;
extern int32_t n_ip_blacklist;
extern struct croute_entry *croute_table;
extern int32_t n_croute;

/* 0 on success or when no file is configured, -1 on failure (logged). */
int load_blacklist(void);
int load_croute(void);

/* 1 when `addr` (network order) lies in the domestic range found for it. */
int croute_lookup(uint32_t addr);

/* FILTER_RELAY, FILTER_DROP or FILTER_HOLD for a parsed upstream answer
 * from `server` (IPv4, network order). */
int filter_response(struct vdns_msg *msg, uint32_t server);

#endif
