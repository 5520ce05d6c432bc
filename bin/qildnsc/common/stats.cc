/*
 * stats.cc -- the counters, one relaxed atomic each: the threads that
 * count never wait for the one that reports, and a report a few counts
 * behind is as good as exact.
 */
#include <atomic>
#include <array>

#include "common/qildnsc.h"
#include "common/stats.h"
#include "odr.h"
#include "vtc_log.h"

struct stats {
	unsigned magic;
#define STATS_MAGIC 0x1f6d93c4
	std::array<std::atomic<uint64_t>, STATS_COUNTERS> counters;
};

static struct stats stats = {STATS_MAGIC, {}};

/* The report's name of each counter, in the enum's order. */
static const char *const stats_names[STATS_COUNTERS] = {
    "queries over UDP",
    "queries over TCP",
    "answers relayed at once",
    "answers held",
    "held answers sent",
    "held answers replaced",
    "answers dropped: blocklisted address",
    "answers dropped: domestic server pointing abroad",
    "server datagrams answering no query",
    "answers truncated to the client's size",
    "diverted packets",
};

void
stats_add(enum stats_counter c, uint64_t n)
{
	QIL_ASSERT(c >= 0 && c < STATS_COUNTERS);
	stats.counters[(size_t)c].fetch_add(n, std::memory_order_relaxed);
}

uint64_t
stats_get(enum stats_counter c)
{
	QIL_ASSERT(c >= 0 && c < STATS_COUNTERS);
	return stats.counters[(size_t)c].load(std::memory_order_relaxed);
}

void
stats_log(void)
{
	CHECK_OBJ_NOTNULL(&stats, STATS_MAGIC);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] Statistics:");
	for (int c = 0; c < STATS_COUNTERS; c++)
		vtc_log(vl, VTCLOG_DEBUG2, "[INFO]   %s: %llu", stats_names[c],
		    (unsigned long long)stats_get((enum stats_counter)c));
}
