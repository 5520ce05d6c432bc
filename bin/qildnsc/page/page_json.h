/*
 * page_json.h -- the query page's data as JSON: the records and the
 * counters, read from the record, the counters and the server table.
 */
#ifndef QILDNSC_PAGE_JSON_H
#define QILDNSC_PAGE_JSON_H

#include <stddef.h>
#include <stdint.h>

#include <string>

/* The records after number `since` (at most `max`, oldest first) and the
 * newest number: {"last": N, "queries": [...]}. */
std::string page_queries_json(uint64_t since, size_t max);
/* The counters, each server's answers, wins and median latency, and the
 * chart of the last `seconds` by what the clients got. */
std::string page_stats_json(int seconds);

struct upstream_server;
/* How the page names a server: a TLS one as its list entry does,
 * "tls://ADDRESS:PORT#NAME". */
std::string page_server_text(const struct upstream_server *us);
/* An answer's RCODE by its name ("NXDOMAIN"), "RCODE<n>" past the known. */
std::string page_rcode_text(unsigned rcode);
/* `len` bytes of `s` as valid UTF-8, each byte that is not replaced by
 * U+FFFD: JSON takes nothing else. */
std::string page_utf8(const char *s, size_t len);

#endif
