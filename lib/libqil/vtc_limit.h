/*
 * vtc_limit.h -- rate limits for the log lines that anyone on the network
 * can trigger: per message, the first VTC_LIMIT_BURST lines of each second
 * are written as they come; the rest are only counted, and one summary line
 * ("<tag>: N more suppressed") reports them once the second is over.
 *
 * A limit belongs to the one thread that logs through it; no lock.
 */
#ifndef QIL_VTC_LIMIT_H
#define QIL_VTC_LIMIT_H

#include <stdint.h>

#include "odr.h" /* ODR_PRINTF_FORMAT */

struct vtclog;

#define VTC_LIMIT_BURST 5

struct vtc_limit {
	unsigned magic;
#define VTC_LIMIT_MAGIC 0x1d5e7a03
	const char *tag;     /* names the message in the summary line */
	int lvl;             /* the level of its lines and of the summary */
	double window;       /* start of the current second (monotonic) */
	unsigned written;    /* lines written in the current second */
	unsigned suppressed; /* lines counted but not written since then */
};

#define VTC_LIMIT_INIT(tag, lvl) {VTC_LIMIT_MAGIC, (tag), (lvl), 0.0, 0, 0}

/* Writes one line through `vl` unless this second's burst is spent. */
void vtc_limit_log(struct vtc_limit *lim, struct vtclog *vl, const char *fmt, ...)
    __attribute__((format(ODR_PRINTF_FORMAT, 3, 4)));
/* The same, at monotonic time `now` (seconds). */
void vtc_limit_logat(struct vtc_limit *lim, struct vtclog *vl, double now,
                     const char *fmt, ...) __attribute__((format(ODR_PRINTF_FORMAT, 4, 5)));

/* Writes the summary of a second that is over; call it now and then, so
 * that the last burst of a flood is reported even when nothing follows. */
void vtc_limit_flush(struct vtc_limit *lim, struct vtclog *vl, double now);

/*
 * vtc_log() at level `lvl` under a limit of this call site's own, whose
 * summary names `tag`: the one-line form for a call site that one thread
 * reaches.
 */
#define VTC_LOG_LIMITED(vl, lvl, tag, ...)                                    \
	do {                                                                  \
		static struct vtc_limit vtc_limit_site_ = VTC_LIMIT_INIT(tag, lvl); \
		vtc_limit_log(&vtc_limit_site_, (vl), __VA_ARGS__);           \
	} while (0)

/* True for two seconds after any limit of the process suppressed a line:
 * a limit may owe its summary, so a thread that sleeps without a time-out
 * and flushes its limits on every turn wakes within the second meanwhile. */
bool vtc_limit_pending(void);

/* Lines suppressed by every limit of the process since it started. */
uint64_t vtc_limit_suppressed_total(void);

#endif
