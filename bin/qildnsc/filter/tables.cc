/*
 * tables.cc -- loading the blocklist and CRoute files into sorted tables,
 * and looking addresses up in them.
 *
 * Loaders run once on the start-up thread; lookups run on the event-loop
 * and TCP threads for every A record of every answer, so both tables are
 * sorted once and searched by bisection.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/qildnsc.h"
#include "filter/list_file.h"
#include "filter/tables.h"
#include "odr.h"
#include "vtc_log.h"

struct filter_tables tables = {FILTER_TABLES_MAGIC, NULL, 0, NULL, 0, 0, 0};

static int
blacklist_cmp(const void *a, const void *b)
{
	uint32_t x = *static_cast<const uint32_t *>(a);
	uint32_t y = *static_cast<const uint32_t *>(b);
	return x < y ? -1 : x > y;
}

static int
croute_cmp(const void *a, const void *b)
{
	uint32_t x = ntohl(static_cast<const struct croute_entry *>(a)->start);
	uint32_t y = ntohl(static_cast<const struct croute_entry *>(b)->start);
	return x < y ? -1 : x > y;
}

/* A blank piece: the address that a blank line has always added. */
#define BLANK_ADDRESS 0xFFFFFFFFu

/* The address of a piece's text into `*addr` (network order); false when
 * the text is no dotted IPv4 address. A blank text is the blank address. */
static bool
filter_address(const char *text, uint32_t *addr)
{
	struct in_addr in;

	if (*text == '\0') {
		*addr = BLANK_ADDRESS;
		return true;
	}
	if (inet_pton(AF_INET, text, &in) != 1)
		return false;
	*addr = in.s_addr;
	return true;
}

int
load_blacklist(void)
{
	char text[LIST_PIECE];
	struct list_file lf;
	int32_t i = 0;

	CHECK_OBJ_NOTNULL(&tables, FILTER_TABLES_MAGIC);
	tables.n_ip_blacklist = 0;
	tables.n_ip_blacklist_skipped = 0;
	if (dnsc_conf.blacklist_path == NULL)
		return 0;
	if (list_open(&lf, dnsc_conf.blacklist_path) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00685: Failed to openopen IP blacklist: %s",
		    dnsc_conf.blacklist_path);
		return -1;
	}
	free(tables.ip_blacklist);
	tables.ip_blacklist = static_cast<uint32_t *>(
	    calloc((size_t)lf.pieces + 1, sizeof *tables.ip_blacklist));
	AN(tables.ip_blacklist);
	while (list_next(&lf, text)) {
		if (filter_address(text, &tables.ip_blacklist[i]))
			i++;
		else
			list_skip(&lf, text);
	}
	tables.n_ip_blacklist_skipped = lf.skipped;
	list_close(&lf);
	tables.n_ip_blacklist = i;
	qsort(tables.ip_blacklist, (size_t)tables.n_ip_blacklist, sizeof *tables.ip_blacklist,
	    blacklist_cmp);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] %d entries of IP blacklist are loaded.",
	    tables.n_ip_blacklist);
	return 0;
}

/*
 * Reads the prefix length after the '/': decimal digits only, 0 to 32.
 * Returns the hostmask in host order, or -1 when the text is not valid.
 */
static int64_t
croute_hostmask(const char *text)
{
	if (*text == '\0' || strspn(text, "0123456789") != strlen(text))
		return -1;
	long n = strtol(text, NULL, 10);
	if (n > 32)
		return -1;
	/* 2^(32-n)-1 without ever shifting a 32-bit value by 32. */
	return (int64_t)((UINT64_C(1) << (32 - n)) - 1);
}

/* One piece of the CRoute file into `*e`: 1 when it is an entry, 0 when
 * it holds no address (skipped), -1 for a bad prefix (logged: it fails the
 * load). */
static int
croute_parse(struct list_file *lf, char *text, struct croute_entry *e)
{
	e->hostmask = 0xFFFFFFFFu;
	char *slash = strchr(text, '/');
	if (slash != NULL) {
		*slash = '\0';
		int64_t m = croute_hostmask(slash + 1);
		if (m < 0) {
			*slash = '/';
			vtc_log(vl, VTCLOG_ERROR, "QILEC_00688: Invalid address format. (%s at %s:%d",
			    text, lf->path, lf->line);
			return -1;
		}
		e->hostmask = (uint32_t)m;
	}
	if ((slash != NULL && *text == '\0') || !filter_address(text, &e->start)) {
		if (slash != NULL)
			*slash = '/';
		list_skip(lf, text);
		return 0;
	}
	return 1;
}

int
load_croute(void)
{
	char text[LIST_PIECE];
	struct list_file lf;
	int32_t i = 0;
	int r = 0;

	CHECK_OBJ_NOTNULL(&tables, FILTER_TABLES_MAGIC);
	tables.n_croute = 0;
	tables.n_croute_skipped = 0;
	if (dnsc_conf.croute_path == NULL) {
		/* The table is optional: the log keeps the line, standard error
		 * is for what a person must act on. */
		vtc_log_quiet(vl, VTCLOG_WARN, "[WARN] No CRoute file found.");
		return 0;
	}
	if (list_open(&lf, dnsc_conf.croute_path) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00687: Failed to open CRoute: %s",
		    dnsc_conf.croute_path);
		return -1;
	}
	free(tables.croute_table);
	tables.croute_table = static_cast<struct croute_entry *>(
	    calloc((size_t)lf.pieces + 1, sizeof *tables.croute_table));
	AN(tables.croute_table);
	while (r >= 0 && list_next(&lf, text)) {
		r = croute_parse(&lf, text, &tables.croute_table[i]);
		if (r > 0)
			i++;
	}
	tables.n_croute_skipped = lf.skipped;
	list_close(&lf);
	if (r < 0)
		return -1;
	tables.n_croute = i;
	qsort(tables.croute_table, (size_t)tables.n_croute, sizeof *tables.croute_table,
	    croute_cmp);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] %d CRoute entries are loaded.", tables.n_croute);
	return 0;
}

int
croute_lookup(uint32_t addr)
{
	CHECK_OBJ_NOTNULL(&tables, FILTER_TABLES_MAGIC);
	if (tables.n_croute == 0)
		return 0;
	uint32_t key = ntohl(addr);
	/* Floor entry: the greatest start not above the key; the first entry
	 * when the key lies below all of them. */
	int32_t lo = 0, hi = tables.n_croute - 1, floor = 0;
	while (lo <= hi) {
		int32_t mid = lo + (hi - lo) / 2;
		if (ntohl(tables.croute_table[mid].start) <= key) {
			floor = mid;
			lo = mid + 1;
		} else {
			hi = mid - 1;
		}
	}
	const struct croute_entry *e = &tables.croute_table[floor];
	return ((ntohl(e->start) ^ key) & ~e->hostmask) == 0;
}

bool
blacklist_lookup(uint32_t addr)
{
	CHECK_OBJ_NOTNULL(&tables, FILTER_TABLES_MAGIC);
	return tables.n_ip_blacklist > 0 &&
	    bsearch(&addr, tables.ip_blacklist, (size_t)tables.n_ip_blacklist,
	        sizeof *tables.ip_blacklist, blacklist_cmp) != NULL;
}
