/*
 * vtc_log.h -- levelled, time-stamped log lines on standard output.
 *
 * Any thread may log through a shared handle; its mutex keeps every line
 * (and every multi-line dump) whole.
 */
#ifndef QIL_VTC_LOG_H
#define QIL_VTC_LOG_H

#include <stdio.h>

#include "odr.h"

#define VTCLOG_ERROR  0
#define VTCLOG_WARN   1
#define VTCLOG_INFO   2
#define VTCLOG_DEBUG  3
#define VTCLOG_DEBUG2 4
#define NLEAD 5

/* A line hook: returns >= 0 when it took the line, < 0 to fall through. */
typedef int vtc_log_hook_f(int lvl, double elapsed, const char *fmt, ...);

struct vtclog {
	unsigned magic;
#define VTCLOG_MAGIC 0x82731202
	const char *id;
	struct vsb *vsb;
	ODR_pthread_mutex_t mtx;
	vtc_log_hook_f *hook;
	FILE *fp;
	/* The lines kept while no stream is chosen (vtc_loghold()); NULL
	 * while they go to `fp`. */
	struct vsb *held;
};

/* A new handle writing to standard output, its lines labelled `id` and
 * offered first to `hook` (may be NULL); a failure is fatal. */
struct vtclog *vtc_logopen(const char *id, vtc_log_hook_f *hook);
/* Frees the handle; no thread may log through it any more. */
void vtc_logclose(struct vtclog *vl);
/* Keeps every later line in memory, hook and all, until
 * vtc_logrelease(): a program that has not yet chosen its log file, or
 * that writes none, still has the lines to show. */
void vtc_loghold(struct vtclog *vl);
/* Writes the kept lines to `fp`, which takes every later line. */
void vtc_logrelease(struct vtclog *vl, FILE *fp);
/* Appends the kept lines to `out` (nothing when none are kept). */
void vtc_logheld(struct vtclog *vl, struct vsb *out);
/* Writes one line at level `lvl` (VTCLOG_ERROR to VTCLOG_DEBUG2; anything
 * else is a caller's bug, asserted); any thread. */
void vtc_log(struct vtclog *vl, int lvl, const char *fmt, ...)
    __attribute__((format(ODR_PRINTF_FORMAT, 3, 4)));
/* Writes one line as vtc_log() does, but without offering it to the
 * handle's hook: a line the log keeps that nobody need act on, such as a
 * failure the caller takes in its stride. */
void vtc_log_quiet(struct vtclog *vl, int lvl, const char *fmt, ...)
    __attribute__((format(ODR_PRINTF_FORMAT, 3, 4)));
/* Writes `len` bytes of `data` (< 0: up to its NUL) escaped, "pfx| " before
 * each line, cut after 512 bytes unless `len` is -2; NULL as "(null)". */
void vtc_dump(struct vtclog *vl, int lvl, const char *pfx, const char *data,
              int len);

#endif
