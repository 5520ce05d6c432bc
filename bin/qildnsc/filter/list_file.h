/*
 * list_file.h -- reading a list file (the blocklist, the CRoute table) in
 * pieces of at most 31 characters, as the tables have always been read: a
 * longer line is two pieces. A '#' starts a comment to the end of its
 * line; blanks around a piece's text are trimmed. Start-up thread only.
 */
#ifndef QILDNSC_LIST_FILE_H
#define QILDNSC_LIST_FILE_H

#include <stdint.h>
#include <stdio.h>

/* A piece with its terminator. */
#define LIST_PIECE 32
/* Lines of a file that are named in a warning; the rest are counted. */
#define LIST_WARN_MAX 3

/* One list file being read: the caller's, from list_open() to list_close(). */
struct list_file {
	unsigned magic;
#define LIST_FILE_MAGIC 0x1f5ca3d2
	FILE *fp;
	const char *path;
	int32_t pieces;       /* counted when opened: no more are read */
	int32_t read;         /* pieces read so far */
	int32_t line;         /* the line of the last piece, from 1 */
	int32_t skipped;      /* lines skipped as no address */
	int32_t skipped_line; /* the line skipped last, 0 for none */
	bool line_start;      /* the next piece begins a line */
	bool in_comment;      /* the rest of the line is a comment */
};

/* Opens `path` and counts its pieces. -1 (nothing logged; errno says why)
 * when it cannot be opened or read to its end: missing, unreadable, a
 * directory. */
int list_open(struct list_file *lf, const char *path);

/* The next piece's text in `buf` (LIST_PIECE bytes), cut at its line end
 * and its comment and trimmed; "" for a blank piece (which the tables take
 * as 255.255.255.255). Pieces that are all comment are passed over. False
 * after the last piece counted. */
bool list_next(struct list_file *lf, char *buf);

/* Logs that the line of the last piece, holding `text`, is no address and
 * is skipped: once per line, naming the file and line for the first
 * LIST_WARN_MAX such lines (every one in a check, -t) and counting the
 * rest. */
void list_skip(struct list_file *lf, const char *text);

/* Closes the file, and logs how many lines were skipped in all when not
 * every one was named. */
void list_close(struct list_file *lf);

#endif
