/*
 * saved.cc -- the last good configuration document on disk: written to a
 * file of its own and moved over the old one, so that a crash or a full
 * disk never leaves half a document where a whole one was.
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
#include "vtc_log.h"

#define SAVED_CONFIG_TMP SAVED_CONFIG_FILE ".new"

void
saved_config_store(const char *doc, size_t len)
{
	AN(doc);
	FILE *f = fopen(SAVED_CONFIG_TMP, "wb");
	bool ok = f != NULL && fwrite(doc, 1, len, f) == len;
	if (f != NULL && fclose(f) != 0)
		ok = false;
	/* Where the new name exists, some systems refuse to move over it. */
	if (ok && rename(SAVED_CONFIG_TMP, SAVED_CONFIG_FILE) != 0)
		ok = remove(SAVED_CONFIG_FILE) == 0 &&
		    rename(SAVED_CONFIG_TMP, SAVED_CONFIG_FILE) == 0;
	if (!ok) {
		int e = errno;
		vtc_log(vl, VTCLOG_WARN,
		    "QILEC_00889: Could not save the configuration document in %s: %d %s",
		    SAVED_CONFIG_FILE, e, strerror(e));
		(void)remove(SAVED_CONFIG_TMP);
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
	FILE *f = fopen(SAVED_CONFIG_FILE, "rb");
	if (f == NULL || fstat(fileno(f), &st) != 0) {
		/* A warning: the fetch's own error stays the reason start-up gives. */
		vtc_log(vl, VTCLOG_WARN, "QILEC_00890: No saved configuration document (%s) either.",
		    SAVED_CONFIG_FILE);
		if (f != NULL)
			(void)fclose(f);
		return -1;
	}
	*len = fread(buf, 1, cap, f);
	(void)fclose(f);
	if (*len >= cap) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00884: The configuration of %zu bytes leaves no room in %zu bytes.",
		    (size_t)st.st_size, cap);
		return -1;
	}
	buf[*len] = '\0';
	vtc_log(vl, VTCLOG_WARN,
	    "QILEC_00888: No configuration document fetched: using the one saved %s ago (%s).",
	    saved_age(st.st_mtime).c_str(), SAVED_CONFIG_FILE);
	return 0;
}
