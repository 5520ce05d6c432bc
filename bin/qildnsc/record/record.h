/*
 * record.h -- the record of each query, for the query page: a bounded ring
 * of the last queries, each with its client (and, for a local one, the
 * application that asked), its question, what every server answered and
 * the verdict on it, and what the client finally got; beside it, a count
 * per second of the last hour by what the client got.
 *
 * Off unless record_init() was called: every call is then a test of one
 * flag. Written by the event-loop, TCP and lookup threads, read by the
 * page's; one lock guards the ring, held only to copy an entry in or out.
 * Nothing is written to disk.
 */
#ifndef QILDNSC_RECORD_H
#define QILDNSC_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "odr.h"
#include "vdns_question.h"

#define RECORD_QUERIES_DEFAULT 10000
#define RECORD_ANSWERS_MAX 6 /* answers kept per query; more are counted */
#define RECORD_ADDRS_MAX 4   /* addresses kept per answer */
#define RECORD_CHART_SECONDS 3600

/* How the query came. */
enum record_transport : uint8_t {
	RECORD_UDP,
	RECORD_TCP,
	RECORD_DIVERTED_UDP, /* an application's datagram to another server, turned to us */
	RECORD_DIVERTED_TCP, /* an application's connection to another server, redirected */
};

/* What became of one server's answer. */
enum record_verdict : uint8_t {
	RECORD_RELAYED,       /* sent to the client at once */
	RECORD_LATE,          /* not sent: the client had an answer already */
	RECORD_HELD,          /* held as a fallback, still waiting */
	RECORD_HELD_SENT,     /* held, then sent when its time came */
	RECORD_HELD_REPLACED, /* held, then replaced by a later answer */
	RECORD_KEPT_OUT,      /* a server's failure, not taken over a held answer */
	RECORD_BLOCKED,       /* dropped: an address on the blocklist */
	RECORD_ABROAD,        /* dropped: a domestic server pointing abroad */
	RECORD_UNMATCHED,     /* its ID, another question: dropped */
	RECORD_TOO_BIG,       /* too large for the client even truncated: dropped */
	RECORD_VERDICTS
};

/* What the client finally got; the first that happens is kept. */
enum record_outcome : uint8_t {
	RECORD_WAITING,     /* nothing yet */
	RECORD_ANSWERED,    /* an answer relayed at once */
	RECORD_HELD_ANSWER, /* a held answer, when its time came */
	RECORD_SERVFAIL,    /* a failure of our own */
	RECORD_CACHED,      /* from the cache */
	RECORD_STALE,       /* an expired cache entry, the servers silent */
	RECORD_OUTCOMES
};

/* Classes of the chart: what the clients got, second by second. */
enum record_class : uint8_t {
	RECORD_C_RELAYED,
	RECORD_C_HELD,
	RECORD_C_CACHED,
	RECORD_C_FAILED, /* a failure of ours */
	RECORD_CLASSES
};

struct record_addr {
	uint8_t family; /* 0, AF_INET or AF_INET6 */
	uint8_t a[16];
};

struct record_reply {
	int8_t server;   /* number in the server table */
	uint8_t verdict; /* enum record_verdict */
	uint8_t rcode;
	uint8_t n_addrs;
	uint16_t ancount;
	uint32_t usec; /* from the query's leaving */
	struct record_addr addrs[RECORD_ADDRS_MAX];
	struct record_addr cause; /* the address a drop was for */
};

struct record_entry {
	uint64_t seq; /* 1 and up; 0 in an unused slot */
	double wall;  /* seconds since the epoch */
	uint8_t transport;
	uint8_t outcome;
	uint8_t n_answers;
	uint8_t answers_seen; /* all answers, kept or not (saturates) */
	uint16_t qtype;
	uint32_t outcome_usec;
	struct record_addr client;
	uint16_t client_port;
	int32_t uid; /* -1 until known */
	int32_t gid; /* -1 unless diversion said */
	int32_t pid; /* -1 until known */
	char comm[16];
	char name[VDNS_MAXCDNAME + 8]; /* dotted, lower case, odd bytes as \DDD */
	struct odr_timeval sent; /* the hold queue's clock at intake */
	struct record_reply answers[RECORD_ANSWERS_MAX];
};

/* One second of the chart. */
struct record_second {
	int64_t second; /* seconds since the epoch */
	uint32_t counts[RECORD_CLASSES];
};

/* Turns recording on, with room for `queries` (start-up, first thread). */
void record_init(size_t queries);
/* True once record_init() ran. */
bool record_on(void);

/* A new query: its record's number, or 0 when recording is off. A local
 * client's application is looked up off this path (record_who_*). A local
 * datagram that diversion noted (record_divert.h) is recorded as
 * RECORD_DIVERTED_UDP, with the owner of its packet. */
uint64_t record_query(enum record_transport t, const struct sockaddr_storage *client,
                      const struct vdns_question *q, const struct odr_timeval *now);
/* Server `server`'s answer of `len` bytes to query `seq` and its verdict;
 * `cause` is the address a drop was for (NULL for none). */
void record_answer(uint64_t seq, int server, const uint8_t *msg, size_t len,
                   enum record_verdict v, const struct record_addr *cause,
                   const struct odr_timeval *now);
/* The held answer of `server` to query `seq` became `v`. */
void record_held_end(uint64_t seq, int server, enum record_verdict v);
/* What query `seq`'s client got; only the first call counts. */
void record_outcome(uint64_t seq, enum record_outcome o, const struct odr_timeval *now);
/* The application of query `seq`'s client. */
void record_app(uint64_t seq, int32_t uid, int32_t pid, const char *comm);

/* Copies of the records after number `after`, oldest first, at most `max`. */
std::vector<struct record_entry> record_since(uint64_t after, size_t max);
/* The chart's last `n` seconds up to `now_wall`, oldest first. */
std::vector<struct record_second> record_chart(int64_t now_wall, int n);

/* The queue between the record and the thread that names local clients'
 * applications (record_who.h). */
/* One client to name: the record it belongs to and its socket. A
 * diverted client's socket may be bound to any local address of its
 * family; `uid`, when not -1, is its packet's owner. */
struct record_lookup {
	uint64_t seq;
	bool tcp;
	bool diverted;
	struct record_addr addr;
	uint16_t port;
	int32_t uid;
};

/* Waits for clients to name, then `gather_ms` more for those that come
 * with them, and hands them all over in `out`; false once stopping. */
bool record_lookups_wait(std::vector<struct record_lookup> *out, int gather_ms);
/* Wakes the waiting thread for good (at "Exit"). */
void record_lookups_stop(void);

/* Text of a verdict, an outcome, a transport, for the page. */
const char *record_verdict_name(enum record_verdict v);
const char *record_outcome_name(enum record_outcome o);
const char *record_transport_name(enum record_transport t);

#endif
