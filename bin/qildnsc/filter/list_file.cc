/*
 * list_file.cc -- the pieces of a list file, with comments and blanks
 * taken out and the lines that hold no address reported, a few by name.
 */
#include <errno.h>
#include <string.h>

#include "common/qildnsc.h"
#include "filter/list_file.h"
#include "odr.h"
#include "vtc_log.h"

int
list_open(struct list_file *lf, const char *path)
{
	char piece[LIST_PIECE];

	AN(lf);
	AN(path);
	memset(lf, 0, sizeof *lf);
	lf->magic = LIST_FILE_MAGIC;
	lf->path = path;
	lf->line_start = true;
	lf->fp = fopen(path, "rb");
	if (lf->fp == NULL)
		return -1;
	while (fgets(piece, sizeof piece, lf->fp) != NULL)
		lf->pieces++;
	/* A directory opens, but reading it fails (EISDIR). */
	int err = ferror(lf->fp) ? errno : 0;
	if (err == 0 && fseek(lf->fp, 0L, SEEK_SET) != 0)
		err = errno != 0 ? errno : EIO;
	if (err != 0) {
		(void)fclose(lf->fp);
		lf->fp = NULL;
		errno = err;
		return -1;
	}
	return 0;
}

/* Cuts `piece` at its line end and its comment, notes where the next piece
 * stands, and trims blanks; the text, or NULL when it was all comment. */
static char *
list_clean(struct list_file *lf, char *piece)
{
	bool ends_line = strchr(piece, '\n') != NULL;
	bool was_comment = lf->in_comment;

	piece[strcspn(piece, "\r\n")] = '\0';
	char *hash = strchr(piece, '#');
	if (hash != NULL)
		*hash = '\0';
	lf->in_comment = !ends_line && (was_comment || hash != NULL);
	lf->line_start = ends_line;
	char *text = piece + strspn(piece, " \t");
	size_t len = strlen(text);
	while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t'))
		text[--len] = '\0';
	if (was_comment || (hash != NULL && len == 0))
		return NULL;
	return text;
}

bool
list_next(struct list_file *lf, char *buf)
{
	char piece[LIST_PIECE];

	CHECK_OBJ_NOTNULL(lf, LIST_FILE_MAGIC);
	AN(buf);
	/* Stops at the count, should the file have grown since. */
	while (lf->read < lf->pieces && fgets(piece, sizeof piece, lf->fp) != NULL) {
		lf->read++;
		if (lf->line_start)
			lf->line++;
		const char *text = list_clean(lf, piece);
		if (text != NULL) {
			memmove(buf, text, strlen(text) + 1);
			return true;
		}
	}
	return false;
}

void
list_skip(struct list_file *lf, const char *text)
{
	CHECK_OBJ_NOTNULL(lf, LIST_FILE_MAGIC);
	AN(text);
	if (lf->skipped_line == lf->line)
		return;
	lf->skipped_line = lf->line;
	/* A check is read to find them all: each is named. */
	if (++lf->skipped <= LIST_WARN_MAX || dnsc_conf.check_only)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00902: %s:%d: \"%s\" is not an address; line skipped.",
		    lf->path, lf->line, text);
}

void
list_close(struct list_file *lf)
{
	CHECK_OBJ_NOTNULL(lf, LIST_FILE_MAGIC);
	if (lf->skipped > LIST_WARN_MAX && !dnsc_conf.check_only)
		vtc_log(vl, VTCLOG_WARN, "QILEC_00903: %s: %d lines in all are not addresses and "
		    "were skipped.", lf->path, lf->skipped);
	if (lf->fp != NULL)
		(void)fclose(lf->fp);
	lf->fp = NULL;
	lf->magic = 0;
}
