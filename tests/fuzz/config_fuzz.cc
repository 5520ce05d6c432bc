/*
 * config_fuzz.cc -- libFuzzer target: arbitrary bytes as the body of the
 * configuration document, through its reader (config_parse), as the
 * fetch hands it over: cut at the buffer's size, ended by a NUL.
 *
 * Whatever the bytes: 0 or -1, nothing leaks, and a server-list text made
 * from the document holds only marked host entries with ports ("E" host
 * ":" port, or "E[" IPv6 literal "]:" port, comma-separated): a document
 * must never smuggle a plain server, a blank or a line end into the list.
 */
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config/config.h"
#include "fuzz_support.h"

static void
check_list(const char *list)
{
	static const char kHost[] =
	    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-.";
	const char *p = list;
	while (*p != '\0') {
		if (*p++ != 'E')
			abort();
		/* An IPv6 literal takes our port alone; a host, the document's
		 * own port, if any, then ours. */
		int most = 2;
		if (*p == '[') {
			size_t lit = strspn(p + 1, "0123456789abcdefABCDEF:.");
			if (lit == 0 || p[1 + lit] != ']' || p[2 + lit] != ':')
				abort();
			p += 2 + lit;
			most = 1;
		} else {
			size_t host = strspn(p, kHost);
			if (host == 0)
				abort();
			p += host;
		}
		for (int ports = 0; *p == ':'; ports++) {
			size_t digits = strspn(p + 1, "0123456789");
			if (digits == 0 || ports == most)
				abort();
			p += 1 + digits;
		}
		if (*p == ',')
			p++;
		else if (*p != '\0')
			abort();
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	qilfuzz::open_log();
	if (size >= CONFIG_BUFSIZE)
		return 0;
	std::string text(reinterpret_cast<const char *>(data), size);
	json_t *doc = nullptr;
	const char *cc = nullptr;
	char *list = nullptr;

	int r = config_parse(text.c_str(), &doc, &cc, &list);
	if (r == 0) {
		if (cc == nullptr || list == nullptr)
			abort();
		check_list(list);
		free(list);
	} else if (r != -1) {
		abort();
	}
	if (doc != nullptr)
		json_decref(doc);
	return 0;
}
