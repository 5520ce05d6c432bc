/*
 * cache_file.h -- the answer cache kept across restarts: written beside
 * the log at every orderly end (signals, the tray's "Exit", sleep) and read
 * back at the next start, so that a laptop's resume does not start cold.
 * Each entry's age goes on by the wall clock between the two.
 *
 * The file is ours alone (0600), replaced whole, and checked whole before
 * anything in it is used: a magic, a version, a checksum; every entry is
 * then checked as an answer from a server would be. A file that is cut
 * short, damaged, of another version or made by someone else is ignored
 * with one warning and replaced at the next end.
 *
 * First thread only, before the event loop starts and after it ended.
 */
#ifndef QILDNSC_CACHE_FILE_H
#define QILDNSC_CACHE_FILE_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#define CACHE_FILE_NAME "qildnsc_cache.dat"
/* What is written and read at most: a cache beyond it keeps its most
 * recently used entries. */
#define CACHE_FILE_MAX (64u << 20)

struct dns_cache;

/* The cache's entries that may still serve, as the file holds them, at
 * monotonic `mono` and wall-clock `wall` seconds, into `out`. */
void cache_file_encode(struct dns_cache *c, double mono, double wall,
                       std::vector<uint8_t> *out);

/* Restores the entries of the file image `buf` (`len` bytes) at `mono` and
 * `wall`: how many, or -1 when the image is refused whole (nothing
 * restored). */
int cache_file_decode(struct dns_cache *c, const uint8_t *buf, size_t len, double mono,
                      double wall);

/* cache_file_encode() written to `name` (logged on failure). */
void cache_file_save(struct dns_cache *c, const char *name);
/* cache_file_decode() of `name`, logged: how many were restored, or one
 * warning for a file refused. An absent file is a first start: silent. */
void cache_file_load(struct dns_cache *c, const char *name);

#endif
