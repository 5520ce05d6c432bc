/*
 * stats.cc -- the counters, one relaxed atomic each: the threads that
 * count never wait for the one that reports, and a report a few counts
 * behind is as good as exact.
 */
#include <stdarg.h>
#include <stdio.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "common/qildnsc.h"
#include "common/stats.h"
#include "odr.h"
#include "vtc_limit.h"
#include "vtc_log.h"

/* One server's share: written by the thread that judged its answers, read
 * by the report. */
struct stats_server {
	char name[64];
	std::atomic<uint64_t> answers, wins;
	std::array<std::atomic<uint32_t>, STATS_LATENCIES> usec; /* a ring */
};

struct stats {
	unsigned magic;
#define STATS_MAGIC 0x1f6d93c4
	std::array<std::atomic<uint64_t>, STATS_COUNTERS> counters;
	std::array<struct stats_server, STATS_SERVERS_MAX> servers;
	/* Where the report goes besides the log (stats_echo()); first thread. */
	FILE *echo;
};

static struct stats stats = {STATS_MAGIC, {}, {}, NULL};

/* The entry of server number `server`: the last serves the rest. */
static struct stats_server *
stats_of(int server)
{
	QIL_ASSERT(server >= 0);
	return &stats.servers[(size_t)std::min(server, STATS_SERVERS_MAX - 1)];
}

void
stats_server_name(int server, const char *name)
{
	AN(name);
	struct stats_server *ss = stats_of(server);
	(void)snprintf(ss->name, sizeof ss->name, "%s", server < STATS_SERVERS_MAX - 1 ?
	    name : "the others");
}

void
stats_server_answer(int server, int64_t usec)
{
	struct stats_server *ss = stats_of(server);
	uint64_t n = ss->answers.fetch_add(1, std::memory_order_relaxed);
	uint32_t u = (uint32_t)std::clamp<int64_t>(usec, 0, UINT32_MAX);
	ss->usec[n % STATS_LATENCIES].store(u, std::memory_order_relaxed);
}

void
stats_server_win(int server)
{
	stats_of(server)->wins.fetch_add(1, std::memory_order_relaxed);
}

uint64_t
stats_server_answers(int server)
{
	return stats_of(server)->answers.load(std::memory_order_relaxed);
}

uint64_t
stats_server_wins(int server)
{
	return stats_of(server)->wins.load(std::memory_order_relaxed);
}

int64_t
stats_server_median_usec(int server)
{
	const struct stats_server *ss = stats_of(server);
	uint64_t n = std::min<uint64_t>(ss->answers.load(std::memory_order_relaxed),
	    STATS_LATENCIES);
	if (n == 0)
		return -1;
	std::array<uint32_t, STATS_LATENCIES> v;
	for (size_t i = 0; i < n; i++)
		v[i] = ss->usec[i].load(std::memory_order_relaxed);
	std::nth_element(v.begin(), v.begin() + (long)(n / 2), v.begin() + (long)n);
	return v[n / 2];
}

/* The report's name of each counter, in the enum's order. */
static const char *const stats_names[STATS_COUNTERS] = {
    "queries over UDP",
    "queries over TCP",
    "answers relayed at once",
    "answers held",
    "held answers sent",
    "held answers replaced",
    "answers not sent: their client had one already",
    "answers dropped: blocklisted address",
    "answers dropped: domestic server pointing abroad",
    "server datagrams answering no query",
    "answers truncated to the client's size",
    "diverted packets",
    "queries pushed out unanswered by a burst",
    "queries answered from the cache",
    "cache entries refreshed in the background",
    "expired answers served as the servers were silent",
    "SERVFAIL for queries left unanswered",
    "DNS over TLS: connections made",
    "DNS over TLS: sessions resumed",
    "DNS over TLS: certificates refused",
    "DNS over TLS: servers unreachable",
    "DNS over TLS: handshakes stalled",
    "DNS over TLS: queries not sent (server down or queue full)",
    "DNS over TLS: queries unanswered in time",
    "DNS over TLS: connections given up (no answer, a stalled answer, stray answers)",
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
stats_echo(FILE *fp)
{
	CHECK_OBJ_NOTNULL(&stats, STATS_MAGIC);
	stats.echo = fp;
}

/* One line of the report: to the log, and to the echo when there is one. */
static void
stats_line(const char *fmt, ...) __attribute__((format(ODR_PRINTF_FORMAT, 1, 2)));

static void
stats_line(const char *fmt, ...)
{
	char line[256];
	va_list ap;

	va_start(ap, fmt);
	(void)vsnprintf(line, sizeof line, fmt, ap);
	va_end(ap);
	vtc_log(vl, VTCLOG_DEBUG2, "[INFO] %s", line);
	if (stats.echo != NULL)
		(void)fprintf(stats.echo, "qildnsc: %s\n", line);
}

void
stats_log(void)
{
	CHECK_OBJ_NOTNULL(&stats, STATS_MAGIC);
	stats_line("Statistics:");
	for (int c = 0; c < STATS_COUNTERS; c++)
		stats_line("  %s: %llu", stats_names[c],
		    (unsigned long long)stats_get((enum stats_counter)c));
	stats_line("  log lines suppressed by rate limits: %llu",
	    (unsigned long long)vtc_limit_suppressed_total());
	for (int i = 0; i < STATS_SERVERS_MAX && stats.servers[(size_t)i].name[0] != '\0'; i++) {
		int64_t med = stats_server_median_usec(i);
		char lat[32] = "none yet";
		if (med >= 0)
			(void)snprintf(lat, sizeof lat, "%.1f ms", (double)med / 1000.0);
		stats_line("  server %s: answers %llu, first answers %llu, median latency %s",
		    stats.servers[(size_t)i].name, (unsigned long long)stats_server_answers(i),
		    (unsigned long long)stats_server_wins(i), lat);
	}
	if (stats.echo != NULL)
		(void)fflush(stats.echo);
}
