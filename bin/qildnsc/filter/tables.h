/*
 * tables.h -- the IP blocklist and the CRoute table of domestic address
 * ranges: loaded from their files, sorted, and searched by address.
 *
 * The tables are loaded on the start-up thread and only read afterwards
 * (by init_servers, the event-loop thread and the TCP thread), without
 * locks.
 */
#ifndef QILDNSC_TABLES_H
#define QILDNSC_TABLES_H

#include <stdint.h>

struct croute_entry {
	uint32_t start;    /* network byte order */
	uint32_t hostmask; /* host byte order: the bits that may differ */
};

/* Both tables, sorted by address: start-up writes, everyone reads. */
struct filter_tables {
	unsigned magic;
#define FILTER_TABLES_MAGIC 0x7c21e94b
	uint32_t *ip_blacklist; /* network byte order */
	int32_t n_ip_blacklist;
	struct croute_entry *croute_table;
	int32_t n_croute;
	/* Lines of each file skipped as no address: a check (-t) fails on
	 * any. */
	int32_t n_ip_blacklist_skipped;
	int32_t n_croute_skipped;
};

extern struct filter_tables tables;

/* Loads dnsc_conf.blacklist_path into the blocklist (start-up thread);
 * 0 on success or when no file is configured, -1 on failure (logged). */
int load_blacklist(void);
/* Loads dnsc_conf.croute_path into the CRoute table (start-up thread);
 * 0 on success or when no file is configured, -1 on failure (logged). */
int load_croute(void);

/* 1 when `addr` (network order) lies in the domestic range found for it. */
int croute_lookup(uint32_t addr);
/* True when `addr` (network order) is on the blocklist. */
bool blacklist_lookup(uint32_t addr);

#endif
