/*
 * vtc_log.cc -- the log: one formatting pass into the handle's reused line
 * buffer, then the header and the message written to the stream.
 *
 * Line format: "<GMT date> [<elapsed>] <id> <label> <message>", the elapsed
 * seconds counted from the first line the process wrote through any handle.
 */
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "vsb.h"
#include "vtc_log.h"
#include "vtim.h"

static const char *const lead[NLEAD] = {
	"[ERROR]", "[WARN] ", "[INFO] ", "[DEBUG]", "[DEBUG]",
};

/*
 * Seconds from the first line the process wrote, through any handle, to
 * `now`. The start is fixed once by the first call: a local static is
 * initialised exactly once even when threads logging through different
 * handles (under different mutexes) race to it.
 */
static double
vtc_elapsed(double now)
{
	static const double t0 = now;

	return now - t0;
}

struct vtclog *
vtc_logopen(const char *id, vtc_log_hook_f *hook)
{
	struct vtclog *vl;

	vl = static_cast<struct vtclog *>(calloc(1, sizeof *vl));
	AN(vl);
	vl->magic = VTCLOG_MAGIC;
	vl->id = id;
	vl->vsb = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
	AN(vl->vsb);
	QIL_ASSERT_TEXT(ODR_pthread_mutex_init(&vl->mtx, NULL) == 0,
	    "(ODR_pthread_mutex_init(&vl->mtx, ((void *)0))) == 0");
	vl->hook = hook;
	vl->fp = stdout;
	vl->held = NULL;
	return vl;
}

void
vtc_logclose(struct vtclog *vl)
{
	CHECK_OBJ_NOTNULL(vl, VTCLOG_MAGIC);
	vsb_delete(vl->vsb);
	if (vl->held != NULL)
		vsb_delete(vl->held);
	AZ(ODR_pthread_mutex_destroy(&vl->mtx));
	vl->magic = 0;
	free(vl);
}

static void
vtc_lock(struct vtclog *vl, int lvl)
{
	CHECK_OBJ_NOTNULL(vl, VTCLOG_MAGIC);
	QIL_ASSERT_TEXT((unsigned)lvl < NLEAD, "lvl < NLEAD");
	QIL_ASSERT_TEXT(ODR_pthread_mutex_lock(&vl->mtx) == 0,
	    "(ODR_pthread_mutex_lock(&vl->mtx)) == 0");
}

static void
vtc_unlock(struct vtclog *vl)
{
	vsb_clear(vl->vsb);
	QIL_ASSERT_TEXT(ODR_pthread_mutex_unlock(&vl->mtx) == 0,
	    "(ODR_pthread_mutex_unlock(&vl->mtx)) == 0");
}

/* Writes the finished line buffer with its header, after offering it to
 * the hook (`hook`); the mutex is held. */
static void
vtc_emit(struct vtclog *vl, int lvl, bool hook)
{
	char date[30];
	double elapsed = vtc_elapsed(VTIM_now());

	if (hook && vl->hook != NULL && vl->hook(lvl, elapsed, "%s", vsb_data(vl->vsb)) >= 0)
		return;
	if (ODR_strftime(date, "%a, %d %b %Y %T GMT", ODR_real()) == 0)
		date[0] = '\0';
	if (vl->held != NULL) {
		(void)vsb_printf(vl->held, "%s [%f] %-4s %s ", date, elapsed, vl->id, lead[lvl]);
		(void)vsb_bcat(vl->held, vsb_data(vl->vsb), vl->vsb->s_len);
		return;
	}
	(void)fprintf(vl->fp, "%s [%f] %-4s %s ", date, elapsed, vl->id, lead[lvl]);
	(void)fputs(vsb_data(vl->vsb), vl->fp);
}

void
vtc_loghold(struct vtclog *vl)
{
	vtc_lock(vl, VTCLOG_ERROR);
	if (vl->held == NULL) {
		vl->held = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
		AN(vl->held);
	}
	vtc_unlock(vl);
}

void
vtc_logrelease(struct vtclog *vl, FILE *fp)
{
	AN(fp);
	vtc_lock(vl, VTCLOG_ERROR);
	vl->fp = fp;
	if (vl->held != NULL) {
		(void)fwrite(vl->held->s_buf, 1, vl->held->s_len, fp);
		vsb_delete(vl->held);
		vl->held = NULL;
	}
	vtc_unlock(vl);
}

void
vtc_logheld(struct vtclog *vl, struct vsb *out)
{
	vtc_lock(vl, VTCLOG_ERROR);
	if (vl->held != NULL)
		(void)vsb_bcat(out, vl->held->s_buf, vl->held->s_len);
	vtc_unlock(vl);
}

/* One line from `fmt` and `ap`, through the hook when `hook`. */
static void
vtc_vlog(struct vtclog *vl, int lvl, bool hook, const char *fmt, va_list ap)
{
	vtc_lock(vl, lvl);
	vsb_clear(vl->vsb);
	(void)vsb_vprintf(vl->vsb, fmt, ap);
	(void)vsb_putc(vl->vsb, '\n');
	vsb_finish(vl->vsb);
	vtc_emit(vl, lvl, hook);
	vtc_unlock(vl);
}

void
vtc_log(struct vtclog *vl, int lvl, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vtc_vlog(vl, lvl, true, fmt, ap);
	va_end(ap);
}

void
vtc_log_quiet(struct vtclog *vl, int lvl, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vtc_vlog(vl, lvl, false, fmt, ap);
	va_end(ap);
}

/* Renders the dump of `data` into the line buffer. */
static void
vtc_render(struct vsb *vsb, const char *pfx, const char *data, int len)
{
	int nolim = len == -2;
	bool nl = true;

	if (len < 0)
		len = (int)strlen(data);
	for (int l = 0; l < len; l++, data++) {
		if (l > 512 && !nolim) {
			(void)vsb_printf(vsb, "...");
			break;
		}
		if (nl) {
			(void)vsb_printf(vsb, "%s| ", pfx);
			nl = false;
		}
		unsigned char c = (unsigned char)*data;
		if (c == '\r')
			(void)vsb_printf(vsb, "\\r");
		else if (c == '\t')
			(void)vsb_printf(vsb, "\\t");
		else if (c == '\n') {
			(void)vsb_printf(vsb, "\\n\n");
			nl = true;
		} else if (c < 0x20 || c >= 0x7f)
			(void)vsb_printf(vsb, "\\x%02x", c);
		else
			(void)vsb_putc(vsb, c);
	}
}

void
vtc_dump(struct vtclog *vl, int lvl, const char *pfx, const char *data, int len)
{
	vtc_lock(vl, lvl);
	vsb_clear(vl->vsb);
	if (pfx == NULL)
		pfx = "";
	if (data == NULL) {
		(void)vsb_printf(vl->vsb, "%s(null)\n", pfx);
	} else {
		vtc_render(vl->vsb, pfx, data, len);
		unsigned n = vl->vsb->s_len;
		if (n == 0 || vl->vsb->s_buf[n - 1] != '\n')
			(void)vsb_putc(vl->vsb, '\n');
	}
	vsb_finish(vl->vsb);
	vtc_emit(vl, lvl, true);
	vtc_unlock(vl);
}
