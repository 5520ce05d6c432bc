/*
 * saved.cc -- the last good configuration document on disk: written to a
 * file of its own and moved over the old one, so that a crash or a full
 * disk never leaves half a document where a whole one was; a link or a
 * FIFO at its names is never followed or opened.
 *
 * Start-up thread only.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "common/qildnsc.h"
#include "config/saved.h"
#include "odr.h"
#include "odr_file.h"
#include "vtc_log.h"

void
saved_config_store(const char *doc, size_t len)
{
	AN(doc);
	/* Through a new file moved over the old: a link or a FIFO planted at
	 * either name is replaced, never followed or opened. */
	if (ODR_file_replace(SAVED_CONFIG_FILE, doc, len, 0600) != 0) {
		int e = errno;
		vtc_log(vl, VTCLOG_WARN,
		    "QILEC_00889: Could not save the configuration document in %s: %d %s",
		    SAVED_CONFIG_FILE, e, ODR_file_strerror(e));
	}
}

/* "N s", "N min" or "N h": how long ago `when` was. */
static std::string
saved_age(time_t when)
{
	long long s = (long long)difftime(time(NULL), when);
	if (s < 0)
		s = 0;
	if (s < 120)
		return std::to_string(s) + " s";
	if (s < 2 * 3600)
		return std::to_string(s / 60) + " min";
	return std::to_string(s / 3600) + " h";
}

int
saved_config_load(char *buf, size_t cap, size_t *len)
{
	struct stat st;

	AN(buf);
	AN(len);
	ssize_t n = ODR_file_read(SAVED_CONFIG_FILE, buf, cap);
	if (n < 0) {
		int e = errno;
		/* A warning: the fetch's own error stays the reason start-up gives. */
		if (e != ENOENT)
			vtc_log(vl, VTCLOG_WARN, "QILEC_01112: The saved configuration document %s "
			    "cannot be read: %s", SAVED_CONFIG_FILE, ODR_file_strerror(e));
		vtc_log(vl, VTCLOG_WARN, "QILEC_00890: No saved configuration document (%s) either.",
		    SAVED_CONFIG_FILE);
		return -1;
	}
	*len = (size_t)n;
	if (*len >= cap) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00884: The configuration of %zu bytes leaves no room in %zu bytes.",
		    stat(SAVED_CONFIG_FILE, &st) == 0 ? (size_t)st.st_size : *len, cap);
		return -1;
	}
	buf[*len] = '\0';
	/* Its age is only said: read from the name again, it could be
	 * another file's by now, which costs nothing but a wrong age. */
	time_t when = stat(SAVED_CONFIG_FILE, &st) == 0 ? st.st_mtime : time(NULL);
	vtc_log(vl, VTCLOG_WARN,
	    "QILEC_00888: No configuration document fetched: using the one saved %s ago (%s).",
	    saved_age(when).c_str(), SAVED_CONFIG_FILE);
	return 0;
}
