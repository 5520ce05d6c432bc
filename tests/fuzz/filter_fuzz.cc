/*
 * filter_fuzz.cc -- libFuzzer target: arbitrary bytes as the blocklist
 * file and as the CRoute file, through both loaders, then CRoute lookups
 * of addresses taken from the bytes and around the table's edges.
 *
 * Whatever the bytes: each loader returns 0 or -1, never holds more
 * entries than the file has lines, leaves its table sorted, and a lookup
 * never reads outside the table.
 */
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "forward/filter.h"
#include "filter/tables.h"
#include "fuzz_support.h"

static void
check_sorted()
{
	for (int32_t i = 1; i < tables.n_ip_blacklist; i++)
		if (tables.ip_blacklist[i - 1] > tables.ip_blacklist[i])
			abort();
	for (int32_t i = 1; i < tables.n_croute; i++)
		if (ntohl(tables.croute_table[i - 1].start) > ntohl(tables.croute_table[i].start))
			abort();
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const std::string path = [] {
		qilfuzz::open_log();
		std::string p = qilfuzz::dir() + "/table.txt";
		dnsc_conf.blacklist_path = strdup(p.c_str());
		dnsc_conf.croute_path = strdup(p.c_str());
		return p;
	}();
	if (size > 8192)
		return 0;
	qilfuzz::write_bytes(path, data, size);

	int b = load_blacklist();
	int c = load_croute();
	if ((b != 0 && b != -1) || (c != 0 && c != -1))
		abort();
	/* Lines are read in pieces of 31 characters: at most one entry per
	 * piece, one piece per byte at worst. */
	if ((size_t)tables.n_ip_blacklist > size || (size_t)tables.n_croute > size)
		abort();
	check_sorted();

	uint32_t probes[] = {0, 0xffffffff, 0x7f000001, 0};
	if (size >= 4)
		memcpy(&probes[3], data, 4);
	for (uint32_t a : probes) {
		int hit = croute_lookup(a);
		if (hit != 0 && hit != 1)
			abort();
	}
	if (tables.n_croute > 0) {
		(void)croute_lookup(tables.croute_table[0].start);
		(void)croute_lookup(tables.croute_table[tables.n_croute - 1].start);
	}
	return 0;
}
