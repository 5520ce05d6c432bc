/*
 * cache.h -- the answers the forwarder already gave, kept with their TTLs:
 * the answer a client took, its first (an answer relayed at once, or a
 * held one when it was released), is stored under its question, so that
 * the next query for it is answered at once, without a new wait for the
 * servers and the hold. It also keeps what the background refreshes of
 * popular entries (prefetch) and the answers of last resort (serve stale)
 * need.
 *
 * Knows DNS messages, not sockets. Both the event loop and the TCP thread
 * use the process's cache, so every call takes the handle's own lock; the
 * clock is the caller's (monotonic seconds), so that tests run it on
 * virtual time. A lookup allocates nothing; a store allocates the entry.
 */
#ifndef QILDNSC_CACHE_H
#define QILDNSC_CACHE_H

#include <stddef.h>
#include <stdint.h>

#include "vdns.h"
#include "vdns_question.h"

/* TTLs are clamped to this range: a forged answer must not live for weeks. */
#define CACHE_TTL_MIN 0
#define CACHE_TTL_MAX 86400
/* Negative answers (NXDOMAIN, NODATA) live their SOA minimum, at most
 * this long. */
#define CACHE_NEGATIVE_MAX 3600
/* An entry expired less than this long ago may still answer a query that
 * the servers leave unanswered, with CACHE_STALE_TTL. */
#define CACHE_STALE_KEEP 86400.0
#define CACHE_STALE_TTL 30
/* An entry asked for more than once is refreshed when this share of its
 * TTL has passed. */
#define CACHE_REFRESH_AT 0.9
/* Background refreshes: at most this many started a second, this many in
 * flight (one counts as landed once stored, or after the time-out). */
#define CACHE_REFRESH_RATE 4
#define CACHE_REFRESH_INFLIGHT 8
#define CACHE_REFRESH_TIMEOUT 3.0

/* What of a query makes its answer differ, besides the question. */
#define CACHE_BIT_DO   0x01 /* DNSSEC records asked for (EDNS DO) */
#define CACHE_BIT_CD   0x02 /* checking disabled */
#define CACHE_BIT_EDNS 0x04 /* the query had an OPT record: so has its answer */
/* The answer is the asker's own: a signed query (TSIG, SIG(0)), another
 * EDNS version, an option the answer depends on (NSID, Client Subnet,
 * EXPIRE, any unknown), or no plain query. It goes to the servers, and
 * its answer is never kept. */
#define CACHE_BIT_FORWARD 0x80

/* The UDP size that the OPT record of a reply from the cache announces:
 * what the listening socket takes (SOCK_DGRAM_MAX). */
#define CACHE_EDNS_SIZE 4096

/* How the answer to be stored reached its client. */
enum cache_origin {
	CACHE_RELAYED,  /* relayed at once */
	CACHE_RELEASED, /* held, then released: it does not replace a fresh
	                   entry that came relayed */
	CACHE_VERIFIED, /* relayed from a verified TLS connection: no answer
	                   of another origin replaces it while it is fresh */
};

struct dns_cache;

/* The process's cache: made at start-up when -C is given, else NULL. */
extern struct dns_cache *qil_cache;

/* A cache of at most `entries` answers (> 0), TTLs clamped to
 * [ttl_min, ttl_max]. */
struct dns_cache *cache_new(size_t entries, uint32_t ttl_min, uint32_t ttl_max);
void cache_delete(struct dns_cache *c);

/* The CACHE_BIT_ values of the parsed query `msg`; meaningful with or
 * without a cache. */
uint8_t cache_query_bits(struct vdns_msg *msg);

/*
 * Stores the answer `ans` (`len` bytes; its ID does not matter) to a query
 * with `bits`, at `now`. Only answers worth keeping are stored: a whole
 * (not truncated), unsigned standard answer of one question to a query
 * without CACHE_BIT_FORWARD, NOERROR with records, or NXDOMAIN/NODATA
 * with an SOA; its OPT record, if last, is not kept. True when it was
 * stored.
 */
bool cache_store(struct dns_cache *c, const uint8_t *ans, size_t len, uint8_t bits,
                 enum cache_origin origin, double now);

/*
 * The answer to the client's query `query` (`qlen` bytes, parsed question
 * `q`, `bits`) if a fresh one is stored: written to `out` as a reply to
 * that query (its ID, RD and CD, its spelling of the name, an OPT record
 * of its own when it had one), TTLs counted down; its length, or 0 on a
 * miss or for a query with CACHE_BIT_FORWARD (-1 when `out` is too small).
 * On a miss, `*stale` (when not NULL) says whether an expired entry could
 * still serve as stale.
 */
int cache_answer(struct dns_cache *c, const uint8_t *query, size_t qlen,
                 const struct vdns_question *q, uint8_t bits, double now, uint8_t *out,
                 size_t outsize, bool *stale);

/* A stale entry's answer for the question (expired less than
 * CACHE_STALE_KEEP ago, or fresh) with every TTL CACHE_STALE_TTL, as a
 * reply to a query with ID `id` and header `flags`, as cache_answer();
 * its length, or 0 when there is none (-1 when `out` is too small). */
int cache_stale_answer(struct dns_cache *c, const struct vdns_question *q, uint8_t bits,
                       uint16_t id, uint16_t flags, double now, uint8_t *out,
                       size_t outsize);

/*
 * The next background refresh that may start at `now`: a query for it
 * (ID `id`) written to `out`, its length, or 0 when none is due or the
 * rate or in-flight limit stops it.
 */
int cache_refresh_next(struct dns_cache *c, double now, uint16_t id, uint8_t *out,
                       size_t outsize);
/* Seconds from `now` until cache_refresh_next() may give one, or -1 when
 * no refresh is waiting (nothing to wake up for). */
double cache_refresh_wait(struct dns_cache *c, double now);

/* Empty answers (NOERROR without records, NXDOMAIN) that carry no SOA
 * live `seconds` (at most CACHE_NEGATIVE_MAX; 0, the default: they are not
 * kept), since nobody said how long the name is missing. */
void cache_set_bare_negative(struct dns_cache *c, uint32_t seconds);

/* One entry as the cache file keeps it. */
struct cache_saved {
	const uint8_t *msg; /* the answer, as a hit copies it */
	size_t len;
	uint8_t bits;       /* its key's CACHE_BIT_ values */
	bool relayed;       /* it came relayed at once (not released) */
	bool verified;      /* ...from a verified TLS connection */
	unsigned asks;      /* queries it answered or was stored for */
	double age;         /* seconds since it was stored */
	double life;        /* seconds it lives from when it was stored */
};

/* Calls `fn(arg, s)` for every entry that may still serve at `now`, fresh
 * or stale, the most recently used first, until `fn` returns false. */
void cache_each(struct dns_cache *c, double now,
                bool (*fn)(void *arg, const struct cache_saved *s), void *arg);

/*
 * Puts back an entry that cache_each() gave, `s->age` old at `now`: its
 * message checked as a store checks an answer, its life no longer than its
 * records' TTLs allow, behind the entries already there. One past its life
 * but within CACHE_STALE_KEEP serves as stale and is refreshed first; a
 * popular one is refreshed when it would have been. False when refused,
 * too old, or the cache is full.
 */
bool cache_restore(struct dns_cache *c, const struct cache_saved *s, double now);

/* Entries stored now. */
size_t cache_size(struct dns_cache *c);
/* Refreshes waiting: at most one per entry stored now. */
size_t cache_refresh_count(struct dns_cache *c);

#endif
