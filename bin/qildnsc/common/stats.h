/*
 * stats.h -- the forwarder's counters: what came in, what became of each
 * answer, what was kept out of the log. Written to the log in one block
 * when REPORT_SIGNAL (SIGUSR1) arrives, and to standard error when that
 * is where a person reads the messages.
 *
 * Any thread counts (the event loop, the TCP thread, the diversion
 * thread), lock-free; the first thread reads them for the report.
 */
#ifndef QILDNSC_STATS_H
#define QILDNSC_STATS_H

#include <stdint.h>
#include <stdio.h>

enum stats_counter {
	STATS_QUERIES_UDP,      /* client queries taken on the listening socket */
	STATS_QUERIES_TCP,      /* client queries taken over TCP */
	STATS_RELAYED,          /* answers sent to the client at once */
	STATS_HELD,             /* answers held as a fallback */
	STATS_HELD_SENT,        /* held answers sent when their time came */
	STATS_REPLACED,         /* held answers replaced by a later one */
	STATS_LATE,             /* answers not sent: their client had one already */
	STATS_DROPPED_BLOCKED,  /* answers dropped for a blocklisted address */
	STATS_DROPPED_ABROAD,   /* a domestic server's answers pointing abroad */
	STATS_UNMATCHED,        /* server datagrams that answered no query */
	STATS_TRUNCATED,        /* answers cut to the client's size */
	STATS_DIVERTED,         /* packets through the diversion queue */
	STATS_PUSHED_OUT,       /* queries pushed out of the pending ring unanswered */
	STATS_CACHE_HITS,       /* queries answered from the cache */
	STATS_REFRESHES,        /* background refreshes of popular cache entries */
	STATS_STALE,            /* expired cache answers sent as servers were silent */
	STATS_FAIL_FAST,        /* SERVFAIL sent for queries left unanswered (-F) */
	STATS_TLS_CONNECTS,     /* TLS connections made */
	STATS_TLS_RESUMED,      /* of them, sessions resumed */
	STATS_TLS_CERT,         /* TLS servers whose certificate was refused */
	STATS_TLS_UNREACHABLE,  /* TLS servers that could not be reached */
	STATS_TLS_STALLED,      /* TLS connects or handshakes that stalled */
	STATS_TLS_DROPPED,      /* queries not sent to a TLS server (down, or queue full) */
	STATS_TLS_TIMEOUT,      /* queries a TLS server did not answer in time */
	STATS_TLS_GIVEN_UP,     /* TLS connections closed for answering nothing */
	STATS_COUNTERS
};

/* Upstream servers counted one by one; more share the last entry. */
#define STATS_SERVERS_MAX 32
/* Latencies kept per server for its median: the most recent ones. */
#define STATS_LATENCIES 128

/* Adds `n` to counter `c`; any thread, never blocks. */
void stats_add(enum stats_counter c, uint64_t n);
/* The value of counter `c` now. */
uint64_t stats_get(enum stats_counter c);
/* Names server number `server` in the report (start-up thread). */
void stats_server_name(int server, const char *name);
/* Counts an answer of server number `server` that came `usec`
 * microseconds after its query left; the event loop or the TCP thread. */
void stats_server_answer(int server, int64_t usec);
/* Counts an answer of server number `server` that was the first its
 * client got. */
void stats_server_win(int server);
/* The answers counted for server number `server`. */
uint64_t stats_server_answers(int server);
/* The first answers counted for server number `server`. */
uint64_t stats_server_wins(int server);
/* The median latency of the server's recent answers in microseconds, or
 * -1 before its first. */
int64_t stats_server_median_usec(int server);

/* Writes every counter to the log in one block (the first thread, at
 * REPORT_SIGNAL), and to the stream of stats_echo() too; the counters go
 * on counting. */
void stats_log(void);
/* The report also goes to `fp` (NULL: the log alone), where a person
 * reads the messages: standard error when it is the journal or a
 * terminal. First thread, before the first report. */
void stats_echo(FILE *fp);

#endif
