/*
 * cache_file_fuzz.cc -- libFuzzer target: arbitrary bytes as the kept
 * answer cache read at start-up. Whatever the bytes: no access outside
 * them, no more entries than the cache holds, and what was restored is
 * written out again into an image that restores the same.
 *
 * The first 8 bytes of an input, when the rest is a whole image, are most
 * often a checksum that does not match; the seeds and the fuzzer's own
 * finds carry right ones, so the entries behind it are reached too.
 */
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "cache/cache.h"
#include "cache/cache_file.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const double mono = 1000.0, wall = 1.7e9;
	struct dns_cache *c = cache_new(16, CACHE_TTL_MIN, CACHE_TTL_MAX);
	cache_set_bare_negative(c, 60);
	int n = cache_file_decode(c, data, size, mono, wall);
	if (n > 16 || (n >= 0 && (size_t)n != cache_size(c)))
		abort();
	if (n > 0) {
		std::vector<uint8_t> img;
		cache_file_encode(c, mono, wall, &img);
		struct dns_cache *again = cache_new(16, CACHE_TTL_MIN, CACHE_TTL_MAX);
		cache_set_bare_negative(again, 60);
		if (cache_file_decode(again, img.data(), img.size(), mono, wall) != n)
			abort();
		cache_delete(again);
	}
	cache_delete(c);
	return 0;
}
