/*
 * cache_file.cc -- the cache file's format and its reading and writing.
 *
 * All numbers big-endian:
 *   "QILCACHE"  8 bytes
 *   version     u32 (CACHE_FILE_VERSION)
 *   count       u32
 *   wall        u64, the IEEE bits of the wall-clock seconds of the save
 *   count times: flags u8 (1: relayed, 2: verified), bits u8, asks u32,
 *                age u64 and life u64 (IEEE bits of seconds), len u16,
 *                the message
 *   checksum    u64, FNV-1a of everything before it
 */
#include <errno.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "cache/cache.h"
#include "cache/cache_file.h"
#include "common/qildnsc.h"
#include "odr_file.h"
#include "vtc_log.h"
#include "vtim.h"

#define CACHE_FILE_MAGIC "QILCACHE"
#define CACHE_FILE_VERSION 1u
#define CACHE_FILE_HEAD (8 + 4 + 4 + 8)
#define CACHE_FILE_ENTRY_HEAD (1 + 1 + 4 + 8 + 8 + 2)

static uint64_t
cache_file_fnv(const uint8_t *p, size_t n)
{
	uint64_t h = 14695981039346656037ull;
	for (size_t i = 0; i < n; i++)
		h = (h ^ p[i]) * 1099511628211ull;
	return h;
}

static void
put_be(std::vector<uint8_t> *out, uint64_t v, int bytes)
{
	for (int i = bytes - 1; i >= 0; i--)
		out->push_back((uint8_t)(v >> (8 * i)));
}

static uint64_t
get_be(const uint8_t *p, int bytes)
{
	uint64_t v = 0;
	for (int i = 0; i < bytes; i++)
		v = v << 8 | p[i];
	return v;
}

static uint64_t
double_bits(double d)
{
	uint64_t u;
	memcpy(&u, &d, sizeof u);
	return u;
}

static double
bits_double(uint64_t u)
{
	double d;
	memcpy(&d, &u, sizeof d);
	return d;
}

struct cache_file_writer {
	std::vector<uint8_t> *out;
	uint32_t count;
};

static bool
cache_file_put(void *arg, const struct cache_saved *s)
{
	auto *w = static_cast<struct cache_file_writer *>(arg);
	if (s->len > UINT16_MAX ||
	    w->out->size() + CACHE_FILE_ENTRY_HEAD + s->len + 8 > CACHE_FILE_MAX)
		return false;
	w->out->push_back((uint8_t)((s->relayed ? 1 : 0) | (s->verified ? 2 : 0)));
	w->out->push_back(s->bits);
	put_be(w->out, s->asks, 4);
	put_be(w->out, double_bits(s->age), 8);
	put_be(w->out, double_bits(s->life), 8);
	put_be(w->out, s->len, 2);
	w->out->insert(w->out->end(), s->msg, s->msg + s->len);
	w->count++;
	return true;
}

void
cache_file_encode(struct dns_cache *c, double mono, double wall, std::vector<uint8_t> *out)
{
	AN(out);
	static const char magic[] = CACHE_FILE_MAGIC;
	out->assign(magic, magic + 8);
	put_be(out, CACHE_FILE_VERSION, 4);
	put_be(out, 0, 4); /* the count, once known */
	put_be(out, double_bits(wall), 8);
	struct cache_file_writer w = {out, 0};
	cache_each(c, mono, cache_file_put, &w);
	for (int i = 0; i < 4; i++)
		(*out)[12 + i] = (uint8_t)(w.count >> (8 * (3 - i)));
	put_be(out, cache_file_fnv(out->data(), out->size()), 8);
}

int
cache_file_decode(struct dns_cache *c, const uint8_t *buf, size_t len, double mono,
                  double wall)
{
	if (buf == NULL || len < CACHE_FILE_HEAD + 8 || memcmp(buf, CACHE_FILE_MAGIC, 8) != 0 ||
	    get_be(buf + 8, 4) != CACHE_FILE_VERSION ||
	    get_be(buf + len - 8, 8) != cache_file_fnv(buf, len - 8))
		return -1;
	uint32_t count = (uint32_t)get_be(buf + 12, 4);
	double saved = bits_double(get_be(buf + 16, 8));
	if (!isfinite(saved))
		return -1;
	/* A clock set back since counts as no time at all. */
	double gap = wall > saved ? wall - saved : 0;
	size_t at = CACHE_FILE_HEAD, end = len - 8;
	/* The whole image is checked before any entry goes in. */
	for (uint32_t i = 0; i < count; i++) {
		if (end - at < CACHE_FILE_ENTRY_HEAD)
			return -1;
		at += CACHE_FILE_ENTRY_HEAD + get_be(buf + at + 22, 2);
		if (at > end)
			return -1;
	}
	if (at != end)
		return -1;
	int restored = 0;
	at = CACHE_FILE_HEAD;
	for (uint32_t i = 0; i < count; i++) {
		const uint8_t *p = buf + at;
		struct cache_saved s = {};
		s.relayed = (p[0] & 1) != 0;
		s.verified = (p[0] & 2) != 0;
		s.bits = p[1];
		s.asks = (unsigned)get_be(p + 2, 4);
		s.age = bits_double(get_be(p + 6, 8)) + gap;
		s.life = bits_double(get_be(p + 14, 8));
		s.len = (size_t)get_be(p + 22, 2);
		s.msg = p + CACHE_FILE_ENTRY_HEAD;
		at += CACHE_FILE_ENTRY_HEAD + s.len;
		if (isfinite(s.age) && isfinite(s.life) && cache_restore(c, &s, mono))
			restored++;
	}
	return restored;
}

void
cache_file_save(struct dns_cache *c, const char *name)
{
	std::vector<uint8_t> img;

	AN(name);
	cache_file_encode(c, VTIM_mono(), VTIM_real(), &img);
	if (ODR_file_replace(name, img.data(), img.size(), 0600) != 0) {
		int e = errno;
		vtc_log(vl, VTCLOG_WARN, "QILEC_01072: Cannot keep the answer cache in %s: %d %s; "
		    "the next start begins with it empty.", name, e, strerror(e));
		return;
	}
	vtc_log(vl, VTCLOG_INFO, "QILEC_01073: The answer cache kept in %s (%zu bytes).", name,
	    img.size());
}

void
cache_file_load(struct dns_cache *c, const char *name)
{
	AN(name);
	/* Most files fit the first size; a larger one is read again whole,
	 * one byte more than may be read, so that a larger still is refused. */
	std::vector<uint8_t> img;
	ssize_t n = -1;
	int e = 0;
	for (size_t cap : {(size_t)4 << 20, (size_t)CACHE_FILE_MAX + 1}) {
		img.resize(cap);
		n = ODR_file_read(name, img.data(), img.size());
		e = errno;
		if (n < 0 && e == ENOENT)
			return;
		if (n < (ssize_t)cap)
			break;
	}
	int restored = n < 0 || (size_t)n > CACHE_FILE_MAX ? -1 :
	    cache_file_decode(c, img.data(), (size_t)n, VTIM_mono(), VTIM_real());
	if (restored < 0) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_01074: The kept answer cache %s is not usable (%s); "
		    "starting with it empty, it is replaced at the next end.", name,
		    n < 0 ? strerror(e) : (size_t)n > CACHE_FILE_MAX ? "too large" :
		    "damaged, cut short or of another version");
		return;
	}
	vtc_log(vl, VTCLOG_INFO, "QILEC_01075: %d answers of the kept cache restored from %s.",
	    restored, name);
}
