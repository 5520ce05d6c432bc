/*
 * vtc_limit.cc -- per-message rate limits of log lines.
 */
#include <stdarg.h>
#include <stdio.h>

#include <atomic>

#include "vtc_limit.h"
#include "vtc_log.h"
#include "vtim.h"

/* Lines kept out of every log, for the statistics: any thread counts. */
static std::atomic<uint64_t> vtc_limit_total;
/* When a line was last suppressed (monotonic milliseconds): until the
 * second after it is over, some limit may owe its summary, and the threads
 * that flush theirs on every turn must not sleep without a time-out. */
static std::atomic<int64_t> vtc_limit_last_ms{INT64_MIN / 2};

bool
vtc_limit_pending(void)
{
	int64_t last = vtc_limit_last_ms.load(std::memory_order_relaxed);
	return (int64_t)(VTIM_mono() * 1000.0) - last < 2000;
}

uint64_t
vtc_limit_suppressed_total(void)
{
	return vtc_limit_total.load(std::memory_order_relaxed);
}

void
vtc_limit_flush(struct vtc_limit *lim, struct vtclog *vl, double now)
{
	CHECK_OBJ_NOTNULL(lim, VTC_LIMIT_MAGIC);
	if (now - lim->window < 1.0)
		return;
	if (lim->suppressed > 0)
		vtc_log(vl, lim->lvl, "%s: %u more suppressed", lim->tag, lim->suppressed);
	lim->window = now;
	lim->written = 0;
	lim->suppressed = 0;
}

static void
vtc_limit_vlog(struct vtc_limit *lim, struct vtclog *vl, double now, const char *fmt,
               va_list ap)
{
	char line[512];

	vtc_limit_flush(lim, vl, now);
	if (lim->written >= VTC_LIMIT_BURST) {
		lim->suppressed++;
		vtc_limit_last_ms.store((int64_t)(now * 1000.0), std::memory_order_relaxed);
		vtc_limit_total.fetch_add(1, std::memory_order_relaxed);
		return;
	}
	lim->written++;
	/* Longer lines are cut: what anyone can trigger stays short. */
	(void)vsnprintf(line, sizeof line, fmt, ap);
	vtc_log(vl, lim->lvl, "%s", line);
}

void
vtc_limit_logat(struct vtc_limit *lim, struct vtclog *vl, double now, const char *fmt,
                ...)
{
	va_list ap;

	va_start(ap, fmt);
	vtc_limit_vlog(lim, vl, now, fmt, ap);
	va_end(ap);
}

void
vtc_limit_log(struct vtc_limit *lim, struct vtclog *vl, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vtc_limit_vlog(lim, vl, VTIM_mono(), fmt, ap);
	va_end(ap);
}
