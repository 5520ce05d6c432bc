/*
 * cache_records.h -- the cache's own records: its key, its entries, the
 * index of their refreshes and the handle. For cache.cc alone; the rest of
 * the program holds a struct dns_cache by pointer only.
 */
#ifndef QILDNSC_CACHE_RECORDS_H
#define QILDNSC_CACHE_RECORDS_H

#include <stdint.h>
#include <string.h>

#include <array>
#include <list>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "vdns.h"

/* The key: the folded name in wire form, type, class and the bits. */
struct cache_key {
	uint16_t len;
	std::array<uint8_t, VDNS_MAXCDNAME + 5> b;
	bool operator==(const cache_key &o) const
	{
		return len == o.len && memcmp(b.data(), o.b.data(), len) == 0;
	}
};

struct cache_key_hash {
	size_t operator()(const cache_key &k) const
	{
		uint64_t h = 14695981039346656037ull; /* FNV-1a */
		for (uint16_t i = 0; i < k.len; i++)
			h = (h ^ k.b[i]) * 1099511628211ull;
		return (size_t)h;
	}
};

struct cache_entry;
using cache_lru = std::list<cache_entry>;
/* Entries by when their refresh is due. */
using cache_due = std::multimap<double, cache_lru::iterator>;

struct cache_entry {
	cache_key key;
	std::vector<uint8_t> msg;     /* the answer, TTLs clamped */
	std::vector<uint16_t> ttl_at; /* offsets of its TTL fields */
	uint16_t name_len;            /* the question's name at offset 12 */
	double stored;
	double expires;
	bool relayed;
	bool verified; /* from a verified TLS connection */
	unsigned asks; /* queries it answered or was stored for */
	bool revive;   /* restored after its TTL: refreshed though expired */
	bool due;      /* a refresh of it is waiting, at `refresh` */
	cache_due::iterator refresh;
};

struct cache_refresh_slot {
	cache_key key;
	double started; /* 0: free */
};

struct dns_cache {
	unsigned magic;
#define DNS_CACHE_MAGIC 0x5ca0c4e1
	std::mutex mtx;
	size_t max_entries;
	uint32_t ttl_min, ttl_max;
	uint32_t bare_negative; /* the life of an empty answer without SOA */
	cache_lru lru; /* most recently used first */
	std::unordered_map<cache_key, cache_lru::iterator, cache_key_hash> index;
	/* Popular entries by when their refresh is due: at most one item per
	 * entry, dropped with it, so that nothing here outgrows -C. */
	cache_due refresh;
	std::array<cache_refresh_slot, CACHE_REFRESH_INFLIGHT> inflight;
	double tokens;
	double tokens_at;
};

#endif
