/*
 * cache.cc -- the answer cache: entries found by their key (the question's
 * name folded to lower case, type, class and the query's DO, CD and EDNS
 * bits), the least recently used one dropped when full, and an index of
 * the popular entries by the time of their background refresh.
 *
 * Any thread, under the handle's lock. An entry keeps the answer as the
 * client got it less its OPT record, which was that client's, with its
 * TTLs clamped and the offset of each TTL, so that a hit only copies,
 * counts down and makes the header and OPT its asker's.
 */
#include <string.h>

#include <algorithm>
#include <array>
#include <list>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "cache/cache.h"
#include "cache/cache_records.h"
#include "odr.h"

#define CACHE_T_SOA 6
#define CACHE_RCODE_NXDOMAIN 3
/* The options a reply from the cache may leave unanswered: one without a
 * COOKIE is what a server without cookies sends (RFC 7873), and the other
 * two only shape the transport. */
#define CACHE_OPTIONS_IGNORED (VDNS_OPTION_BIT(VDNS_OPTION_COOKIE) | \
	VDNS_OPTION_BIT(VDNS_OPTION_KEEPALIVE) | VDNS_OPTION_BIT(VDNS_OPTION_PADDING))

struct dns_cache *qil_cache;


static uint16_t
cache_get16(const uint8_t *p)
{
	return (uint16_t)(p[0] << 8 | p[1]);
}

static uint32_t
cache_get32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void
cache_put16(uint8_t *p, uint16_t v)
{
	p[0] = (uint8_t)(v >> 8);
	p[1] = (uint8_t)v;
}

static void
cache_put32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t)(v >> 24);
	p[1] = (uint8_t)(v >> 16);
	p[2] = (uint8_t)(v >> 8);
	p[3] = (uint8_t)v;
}

static void
cache_make_key(cache_key *k, const struct vdns_question *q, uint8_t bits)
{
	memcpy(k->b.data(), q->name, q->name_len);
	uint8_t *p = k->b.data() + q->name_len;
	p[0] = (uint8_t)(q->type >> 8);
	p[1] = (uint8_t)q->type;
	p[2] = (uint8_t)(q->rr_class >> 8);
	p[3] = (uint8_t)q->rr_class;
	p[4] = bits;
	k->len = (uint16_t)(q->name_len + 5);
}

/* The length of the uncompressed name at offset 12 of `msg`, or 0 when it
 * is compressed or runs past the end. */
static size_t
cache_plain_name(const uint8_t *msg, size_t len)
{
	size_t at = VDNS_HEADER_SIZE;
	while (at < len && msg[at] != 0) {
		if (msg[at] > 63)
			return 0;
		at += (size_t)msg[at] + 1;
	}
	return at < len ? at + 1 - VDNS_HEADER_SIZE : 0;
}

struct dns_cache *
cache_new(size_t entries, uint32_t ttl_min, uint32_t ttl_max)
{
	QIL_ASSERT(entries > 0 && ttl_min <= ttl_max);
	auto *c = new dns_cache();
	c->magic = DNS_CACHE_MAGIC;
	c->max_entries = entries;
	c->ttl_min = ttl_min;
	c->ttl_max = ttl_max;
	c->tokens = CACHE_REFRESH_RATE;
	return c;
}

void
cache_set_bare_negative(struct dns_cache *c, uint32_t seconds)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	c->bare_negative = std::min<uint32_t>(seconds, CACHE_NEGATIVE_MAX);
}

void
cache_delete(struct dns_cache *c)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	c->magic = 0;
	delete c;
}

/* True for a plain query of one question, whose answer is the same for
 * every client that asks it with the same key bits. */
static bool
cache_plain_query(const struct vdns_msg *msg, const struct vdns_edns *e)
{
	if ((msg->flags & (VDNS_QR | VDNS_OPCODE | VDNS_TC | VDNS_Z)) != 0 ||
	    msg->counts[VDNS_S_QD] != 1 || msg->counts[VDNS_S_AN] != 0 ||
	    msg->counts[VDNS_S_NS] != 0)
		return false;
	/* A signature, another version or an option such as NSID, Client
	 * Subnet or EXPIRE asks for an answer of its own. */
	return e->count <= 1 && e->others == 0 && e->version == 0 && !e->malformed &&
	    (e->options & ~CACHE_OPTIONS_IGNORED) == 0;
}

uint8_t
cache_query_bits(struct vdns_msg *msg)
{
	struct vdns_edns e;

	AN(msg);
	uint8_t bits = (msg->flags & VDNS_CD) ? CACHE_BIT_CD : 0;
	if (VDNS_edns_read(msg, &e) < 0)
		return bits | CACHE_BIT_FORWARD;
	if (e.count > 0)
		bits |= CACHE_BIT_EDNS;
	if (e.flags & VDNS_EDNS_DO)
		bits |= CACHE_BIT_DO;
	if (!cache_plain_query(msg, &e))
		bits |= CACHE_BIT_FORWARD;
	return bits;
}

/*
 * Reads the TTLs of the parsed answer `m` into `e` and its lifetime into
 * `*ttl` (before the clamp): the least TTL of its records, or for a
 * negative answer the SOA's TTL and minimum, whichever is less. False when
 * it is not worth keeping.
 */
static bool
cache_scan(const struct dns_cache *c, struct vdns_msg *m, cache_entry *e, uint32_t *ttl)
{
	struct vdns_rr rr;
	unsigned rcode = m->flags & VDNS_RCODE;
	bool negative = rcode == CACHE_RCODE_NXDOMAIN || m->counts[VDNS_S_AN] == 0;
	uint32_t least = UINT32_MAX, soa = UINT32_MAX;

	for (int s = VDNS_S_AN; s < VDNS_S_MAX; s++) {
		for (int i = 0; i < m->counts[s]; i++) {
			if (VDNS_parserr(m, s, i, &rr) < 0)
				return false;
			if (rr.type == VDNS_T_OPT)
				continue;
			e->ttl_at.push_back((uint16_t)(rr.rdata - m->msg - 6));
			least = std::min(least, rr.ttl);
			if (s == VDNS_S_NS && rr.type == CACHE_T_SOA && rr.rdlength >= 22)
				soa = std::min({soa, rr.ttl,
				    cache_get32(rr.rdata + rr.rdlength - 4)});
		}
	}
	if (negative) {
		/* Without an SOA nobody said how long the name is missing:
		 * kept briefly all the same, so that the hold of such an
		 * answer (the empty AAAA of an IPv4-only name, as home routers
		 * send it) is paid once a minute, not at every lookup. */
		if (soa == UINT32_MAX) {
			*ttl = c->bare_negative;
			return c->bare_negative > 0;
		}
		*ttl = std::min<uint32_t>(soa, CACHE_NEGATIVE_MAX);
		return true;
	}
	*ttl = least;
	return least != UINT32_MAX;
}

/* Drops the entry `it`, with its refresh. */
static void
cache_drop(struct dns_cache *c, cache_lru::iterator it)
{
	if (it->due)
		c->refresh.erase(it->refresh);
	c->index.erase(it->key);
	c->lru.erase(it);
}

/* Drops the least recently used entries until `room` more fit. */
static void
cache_evict(struct dns_cache *c, size_t room)
{
	while (!c->lru.empty() && c->lru.size() + room > c->max_entries)
		cache_drop(c, std::prev(c->lru.end()));
}

/* Frees the in-flight slot of a refresh of `k`, if any. */
static void
cache_refresh_landed(struct dns_cache *c, const cache_key &k)
{
	for (auto &s : c->inflight)
		if (s.started != 0 && s.key == k)
			s.started = 0;
}

/*
 * Makes `e` of the answer `ans` (`len` bytes) to a query with `bits`: its
 * message less the OPT record, with TTLs clamped, their offsets, its key;
 * its lifetime in `*ttl`. False when it is not worth keeping.
 */
static bool
cache_entry_make(const struct dns_cache *c, const uint8_t *ans, size_t len, uint8_t bits,
                 cache_entry *e, uint32_t *ttl_out)
{
	struct vdns_msg m;
	struct vdns_question q;
	struct vdns_edns opt;
	uint32_t ttl;

	if ((bits & CACHE_BIT_FORWARD) || VDNS_initparse(ans, len, &m) < 0 ||
	    VDNS_question_read(&m, &q) < 0 || VDNS_edns_read(&m, &opt) < 0)
		return false;
	unsigned rcode = m.flags & VDNS_RCODE;
	if (!(m.flags & VDNS_QR) || (m.flags & (VDNS_TC | VDNS_OPCODE)) ||
	    m.counts[VDNS_S_QD] != 1 || (rcode != 0 && rcode != CACHE_RCODE_NXDOMAIN))
		return false;
	/* The OPT record is cut off, so it must be the last; an extended
	 * RCODE (BADVERS) is no NOERROR, and a signed answer was for one
	 * client only. */
	if (opt.signature || opt.count > 1 ||
	    (opt.count == 1 && (opt.ext_rcode != 0 || (size_t)opt.at + opt.len != len)))
		return false;
	/* The question is rewritten in the client's spelling on a hit. */
	e->name_len = (uint16_t)cache_plain_name(ans, len);
	if (e->name_len != q.name_len || !cache_scan(c, &m, e, &ttl))
		return false;
	ttl = std::clamp(ttl, c->ttl_min, c->ttl_max);
	if (ttl == 0)
		return false;
	e->msg.assign(ans, ans + (opt.count == 1 ? opt.at : len));
	if (opt.count == 1)
		cache_put16(e->msg.data() + 10, (uint16_t)(m.counts[VDNS_S_AR] - 1));
	/* A negative answer's records tell its client how long the name is
	 * missing: as long as we keep it (the SOA's TTL, RFC 2308). */
	bool negative = rcode == CACHE_RCODE_NXDOMAIN || m.counts[VDNS_S_AN] == 0;
	uint32_t cap = negative ? ttl : c->ttl_max;
	for (uint16_t at : e->ttl_at)
		cache_put32(e->msg.data() + at, std::min(cache_get32(e->msg.data() + at), cap));
	cache_make_key(&e->key, &q, bits);
	*ttl_out = ttl;
	return true;
}

bool
cache_store(struct dns_cache *c, const uint8_t *ans, size_t len, uint8_t bits,
            enum cache_origin origin, double now)
{
	cache_entry e = {};
	uint32_t ttl;

	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	AN(ans);
	if (!cache_entry_make(c, ans, len, bits, &e, &ttl))
		return false;
	e.stored = now;
	e.expires = now + ttl;
	e.relayed = origin != CACHE_RELEASED;
	e.verified = origin == CACHE_VERIFIED;
	e.asks = 1;

	std::lock_guard<std::mutex> lock(c->mtx);
	auto it = c->index.find(e.key);
	if (it != c->index.end()) {
		cache_entry &old = *it->second;
		/* A held answer released after a relayed one of the same
		 * query: the client has the relayed one to go by. */
		if (origin == CACHE_RELEASED && old.relayed && old.expires > now)
			return false;
		/* What could not have been forged on the path stays until it
		 * expires, whatever a plain server says meanwhile. */
		if (old.verified && origin != CACHE_VERIFIED && old.expires > now)
			return false;
		/* A refresh's answer starts a lifetime nobody asked for yet. */
		for (const auto &s : c->inflight)
			if (s.started != 0 && s.key == e.key)
				e.asks = 0;
		cache_refresh_landed(c, e.key);
		cache_drop(c, it->second);
	}
	cache_evict(c, 1);
	c->lru.push_front(std::move(e));
	c->index.emplace(c->lru.front().key, c->lru.begin());
	return true;
}

/* The entry for the question, made most recently used; NULL on a miss. */
static cache_entry *
cache_find(struct dns_cache *c, const struct vdns_question *q, uint8_t bits)
{
	cache_key k;

	if (!q->present)
		return NULL;
	cache_make_key(&k, q, bits);
	auto it = c->index.find(k);
	if (it == c->index.end())
		return NULL;
	c->lru.splice(c->lru.begin(), c->lru, it->second);
	return &*it->second;
}

/*
 * Writes the entry to `out` as the reply to a query with `id`, header
 * `flags`, question `q` and key `bits`, each TTL made `ttl(old)`: its
 * length, or -1 when `out` is too small.
 */
template <typename F>
static int
cache_reply(const cache_entry *e, uint16_t id, uint16_t flags, const struct vdns_question *q,
            uint8_t bits, uint8_t *out, size_t outsize, F ttl)
{
	size_t len = e->msg.size();
	if (len + ((bits & CACHE_BIT_EDNS) ? VDNS_EDNS_LEN : 0) > outsize)
		return -1;
	memcpy(out, e->msg.data(), len);
	cache_put16(out, id);
	/* RD and CD as asked (RFC 1035, RFC 4035); AD only to a query that
	 * asked for it with AD or DO (RFC 6840), whoever stored the answer. */
	uint16_t stored = cache_get16(out + 2);
	uint16_t f = (uint16_t)((stored & ~(VDNS_RD | VDNS_CD | VDNS_AD)) |
	    (flags & (VDNS_RD | VDNS_CD)));
	if ((flags & VDNS_AD) || (bits & CACHE_BIT_DO))
		f |= stored & VDNS_AD;
	cache_put16(out + 2, f);
	for (uint16_t at : e->ttl_at)
		cache_put32(out + at, ttl(cache_get32(out + at)));
	/* The records' compressed owner names point at the question's name. */
	VDNS_question_spell(q, out + VDNS_HEADER_SIZE);
	if (!(bits & CACHE_BIT_EDNS))
		return (int)len;
	/* The asker's own OPT: no option it did not ask for, no cookie. */
	return VDNS_edns_append(out, len, outsize, CACHE_EDNS_SIZE,
	    (bits & CACHE_BIT_DO) ? VDNS_EDNS_DO : 0);
}

int
cache_answer(struct dns_cache *c, const uint8_t *query, size_t qlen,
             const struct vdns_question *q, uint8_t bits, double now, uint8_t *out,
             size_t outsize, bool *stale)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	AN(query);
	AN(q);
	if (stale != NULL)
		*stale = false;
	if ((bits & CACHE_BIT_FORWARD) || qlen < VDNS_HEADER_SIZE ||
	    cache_get16(query + 4) != 1 || (cache_get16(query + 2) & VDNS_OPCODE) != 0)
		return 0;

	std::lock_guard<std::mutex> lock(c->mtx);
	cache_entry *e = cache_find(c, q, bits);
	if (e == NULL)
		return 0;
	if (e->expires <= now) {
		if (stale != NULL)
			*stale = now - e->expires < CACHE_STALE_KEEP;
		return 0;
	}
	e->asks++;
	if (e->asks == 2) {
		double ttl = e->expires - e->stored;
		/* cache_find() made it the first. */
		e->refresh = c->refresh.emplace(e->stored + CACHE_REFRESH_AT * ttl,
		    c->lru.begin());
		e->due = true;
	}
	uint32_t age = (uint32_t)(now - e->stored);
	return cache_reply(e, cache_get16(query), cache_get16(query + 2), q, bits, out, outsize,
	    [age](uint32_t v) { return v > age ? v - age : 0; });
}

int
cache_stale_answer(struct dns_cache *c, const struct vdns_question *q, uint8_t bits,
                   uint16_t id, uint16_t flags, double now, uint8_t *out, size_t outsize)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	AN(q);
	if (bits & CACHE_BIT_FORWARD)
		return 0;
	std::lock_guard<std::mutex> lock(c->mtx);
	cache_entry *e = cache_find(c, q, bits);
	if (e == NULL || now - e->expires >= CACHE_STALE_KEEP)
		return 0;
	return cache_reply(e, id, flags, q, bits, out, outsize,
	    [](uint32_t) { return CACHE_STALE_TTL; });
}

/* Writes a query for the key `k` with `id` to `out`; its length or 0. */
static int
cache_refresh_query(const cache_key &k, uint16_t id, uint8_t *out, size_t outsize)
{
	uint8_t bits = k.b[k.len - 1];
	size_t qlen = VDNS_HEADER_SIZE + (size_t)k.len - 1;
	size_t len = qlen + ((bits & CACHE_BIT_EDNS) ? 11 : 0);
	if (len > outsize)
		return 0;
	memset(out, 0, len);
	out[0] = (uint8_t)(id >> 8);
	out[1] = (uint8_t)id;
	uint16_t flags = VDNS_RD | ((bits & CACHE_BIT_CD) ? VDNS_CD : 0);
	out[2] = (uint8_t)(flags >> 8);
	out[3] = (uint8_t)flags;
	out[5] = 1;
	memcpy(out + VDNS_HEADER_SIZE, k.b.data(), (size_t)k.len - 1);
	if (bits & CACHE_BIT_EDNS) {
		uint8_t *opt = out + qlen; /* root name, OPT, size 4096, flags */
		out[11] = 1;
		opt[2] = VDNS_T_OPT;
		opt[3] = 0x10;
		opt[7] = (bits & CACHE_BIT_DO) ? 0x80 : 0;
	}
	return (int)len;
}

/* Refills the refresh tokens at `now`; true when one may start. */
static bool
cache_refresh_allowed(struct dns_cache *c, double now)
{
	c->tokens = std::min<double>(CACHE_REFRESH_RATE,
	    c->tokens + (now - c->tokens_at) * CACHE_REFRESH_RATE);
	c->tokens_at = now;
	for (auto &s : c->inflight)
		if (s.started != 0 && now - s.started > CACHE_REFRESH_TIMEOUT)
			s.started = 0;
	return c->tokens >= 1.0 &&
	    std::any_of(c->inflight.begin(), c->inflight.end(),
	        [](const cache_refresh_slot &s) { return s.started == 0; });
}

int
cache_refresh_next(struct dns_cache *c, double now, uint16_t id, uint8_t *out,
                   size_t outsize)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	std::lock_guard<std::mutex> lock(c->mtx);
	while (!c->refresh.empty() && c->refresh.begin()->first <= now) {
		auto first = c->refresh.begin();
		cache_entry &e = *first->second;
		bool live = e.expires > now || e.revive;
		if (live && !cache_refresh_allowed(c, now))
			return 0;
		cache_key k = e.key;
		c->refresh.erase(first);
		e.due = false;
		if (!live)
			continue;
		int n = cache_refresh_query(k, id, out, outsize);
		if (n == 0)
			continue;
		c->tokens -= 1.0;
		for (auto &s : c->inflight) {
			if (s.started == 0) {
				s = {k, now};
				break;
			}
		}
		return n;
	}
	return 0;
}

double
cache_refresh_wait(struct dns_cache *c, double now)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	std::lock_guard<std::mutex> lock(c->mtx);
	if (c->refresh.empty())
		return -1;
	double at = c->refresh.begin()->first;
	if (c->tokens < 1.0)
		at = std::max(at, c->tokens_at + (1.0 - c->tokens) / CACHE_REFRESH_RATE);
	bool free = std::any_of(c->inflight.begin(), c->inflight.end(),
	    [](const cache_refresh_slot &s) { return s.started == 0; });
	if (!free) {
		/* Every slot taken: the first to time out frees one. */
		double first = now + CACHE_REFRESH_TIMEOUT;
		for (const auto &s : c->inflight)
			first = std::min(first, s.started + CACHE_REFRESH_TIMEOUT);
		at = std::max(at, first);
	}
	return std::max(0.0, at - now);
}

void
cache_each(struct dns_cache *c, double now,
           bool (*fn)(void *arg, const struct cache_saved *s), void *arg)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	AN(fn);
	std::lock_guard<std::mutex> lock(c->mtx);
	for (const cache_entry &e : c->lru) {
		if (now - e.expires >= CACHE_STALE_KEEP)
			continue;
		struct cache_saved s = {e.msg.data(), e.msg.size(), e.key.b[e.key.len - 1u],
		    e.relayed, e.verified, e.asks, now - e.stored, e.expires - e.stored};
		if (!fn(arg, &s))
			return;
	}
}

bool
cache_restore(struct dns_cache *c, const struct cache_saved *s, double now)
{
	cache_entry e = {};
	uint32_t ttl;

	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	AN(s);
	if (!(s->age >= 0 && s->life > 0) ||
	    !cache_entry_make(c, s->msg, s->len, s->bits, &e, &ttl))
		return false;
	e.stored = now - s->age;
	e.expires = e.stored + std::min(s->life, (double)ttl);
	if (!(now - e.expires < CACHE_STALE_KEEP))
		return false;
	e.relayed = s->relayed;
	e.verified = s->verified;
	e.asks = std::min(s->asks, 2u);
	e.revive = e.expires <= now;
	std::lock_guard<std::mutex> lock(c->mtx);
	if (c->lru.size() >= c->max_entries || c->index.count(e.key) != 0)
		return false;
	c->lru.push_back(std::move(e));
	auto it = std::prev(c->lru.end());
	c->index.emplace(it->key, it);
	/* An expired one first, before anyone asks; a popular one when a
	 * refresh of it would have come. */
	if (it->revive || it->asks >= 2) {
		double at = it->revive ? now : it->stored + CACHE_REFRESH_AT *
		    (it->expires - it->stored);
		it->refresh = c->refresh.emplace(at, it);
		it->due = true;
	}
	return true;
}

size_t
cache_size(struct dns_cache *c)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	std::lock_guard<std::mutex> lock(c->mtx);
	return c->lru.size();
}

size_t
cache_refresh_count(struct dns_cache *c)
{
	CHECK_OBJ_NOTNULL(c, DNS_CACHE_MAGIC);
	std::lock_guard<std::mutex> lock(c->mtx);
	return c->refresh.size();
}
