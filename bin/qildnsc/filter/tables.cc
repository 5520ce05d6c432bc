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
#include "filter/tables.h"
#include "odr.h"
#include "vtc_log.h"

struct filter_tables tables = {FILTER_TABLES_MAGIC, NULL, 0, NULL, 0};

/* Lines are read in pieces of at most 31 characters. */
#define LINE_PIECE 32

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

/* Counts the pieces of `fp` and rewinds it; -1 when the rewind fails. */
static int
filter_count_pieces(FILE *fp, int32_t *n)
{
	char line[LINE_PIECE];

	*n = 0;
	while (fgets(line, sizeof line, fp) != NULL)
		(*n)++;
	return fseek(fp, 0L, SEEK_SET) == 0 ? 0 : -1;
}

/* Cuts a piece at its first carriage return and its first line feed. */
static void
filter_cut_line(char *line)
{
	line[strcspn(line, "\r\n")] = '\0';
}

int
load_blacklist(void)
{
	char line[LINE_PIECE];
	int32_t i = 0;

	CHECK_OBJ_NOTNULL(&tables, FILTER_TABLES_MAGIC);
	tables.n_ip_blacklist = 0;
	if (dnsc_conf.blacklist_path == NULL)
		return 0;
	FILE *fp = fopen(dnsc_conf.blacklist_path, "rb");
	if (fp == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00685: Failed to openopen IP blacklist: %s",
		    dnsc_conf.blacklist_path);
		return -1;
	}
	int32_t n;
	if (filter_count_pieces(fp, &n) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00686: fseek(3) error.");
		(void)fclose(fp);
		return -1;
	}
	free(tables.ip_blacklist);
	tables.ip_blacklist = static_cast<uint32_t *>(
	    calloc((size_t)n + 1, sizeof *tables.ip_blacklist));
	AN(tables.ip_blacklist);
	/* The second pass stops at the count, should the file have grown. */
	while (i < n && fgets(line, sizeof line, fp) != NULL) {
		filter_cut_line(line);
		tables.ip_blacklist[i++] = inet_addr(line);
	}
	tables.n_ip_blacklist = i;
	qsort(tables.ip_blacklist, (size_t)tables.n_ip_blacklist, sizeof *tables.ip_blacklist,
	    blacklist_cmp);
	(void)fclose(fp);
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

int
load_croute(void)
{
	char line[LINE_PIECE];
	int32_t i = 0;

	CHECK_OBJ_NOTNULL(&tables, FILTER_TABLES_MAGIC);
	tables.n_croute = 0;
	if (dnsc_conf.croute_path == NULL) {
		vtc_log(vl, VTCLOG_WARN, "[WARN] No CRoute file found.");
		return 0;
	}
	FILE *fp = fopen(dnsc_conf.croute_path, "rb");
	if (fp == NULL) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_00687: Failed to open CRoute: %s",
		    dnsc_conf.croute_path);
		return -1;
	}
	int32_t n;
	if (filter_count_pieces(fp, &n) != 0) {
		(void)fclose(fp);
		return -1;
	}
	free(tables.croute_table);
	tables.croute_table = static_cast<struct croute_entry *>(
	    calloc((size_t)n + 1, sizeof *tables.croute_table));
	AN(tables.croute_table);
	while (i < n && fgets(line, sizeof line, fp) != NULL) {
		filter_cut_line(line);
		uint32_t hostmask = 0xFFFFFFFFu;
		char *slash = strchr(line, '/');
		if (slash != NULL) {
			*slash = '\0';
			int64_t m = croute_hostmask(slash + 1);
			if (m < 0) {
				*slash = '/';
				vtc_log(vl, VTCLOG_ERROR,
				    "QILEC_00688: Invalid address format. (%s at %s:%d",
				    line, dnsc_conf.croute_path, i + 1);
				(void)fclose(fp);
				return -1;
			}
			hostmask = (uint32_t)m;
		}
		tables.croute_table[i].start = inet_addr(line);
		tables.croute_table[i].hostmask = hostmask;
		i++;
	}
	tables.n_croute = i;
	qsort(tables.croute_table, (size_t)tables.n_croute, sizeof *tables.croute_table,
	    croute_cmp);
	(void)fclose(fp);
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
