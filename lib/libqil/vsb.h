/*
 * vsb.h -- the growable string buffer in which every piecewise text is
 * built: log lines, HTTP requests and bodies, server lists.
 *
 * A buffer has no lock; one thread uses it at a time. A failed append
 * raises the overflow flag instead of reporting every later call.
 */
#ifndef QIL_VSB_H
#define QIL_VSB_H

#include <stdarg.h>
#include <stdint.h>

#include "odr_sys.h" /* ODR_PRINTF_FORMAT */

struct vsb {
	unsigned s_magic;
#define VSB_MAGIC 0x4a82dd8a
	char *s_buf;
	unsigned s_size;
	unsigned s_len;
	int s_flags;
};

#define VSB_FIXEDLEN    0x00000000 /* fixed length buffer (default) */
#define VSB_AUTOEXTEND  0x00000001 /* automatically extend buffer */
#define VSB_USRFLAGMSK  0x0000ffff /* mask of flags the user may specify */
#define VSB_DYNAMIC     0x00010000 /* s_buf must be freed */
#define VSB_FINISHED    0x00020000 /* set by vsb_finish() */
#define VSB_OVERFLOWED  0x00040000 /* an append failed to complete */
#define VSB_DYNSTRUCT   0x00080000 /* the record must be freed */

#define VSB_MINEXTENDSIZE  2048     /* growth starts here */
#define VSB_MAXEXTENDSIZE  1048576  /* doubling stops here */
#define VSB_MAXEXTENDINCR  131072   /* linear steps past the doubling */

/*
 * Sets up `s` (NULL: a new record on the heap) over `buf` of `length` bytes
 * (NULL: storage of its own, grown with VSB_AUTOEXTEND); NULL when memory
 * is short. Flags outside VSB_USRFLAGMSK are a caller's bug (asserted).
 */
struct vsb *vsb_new(struct vsb *s, char *buf, int length, int flags);
/* Empties `s` and makes it writable again, overflow flag cleared. */
void vsb_clear(struct vsb *s);
/* Appends `len` bytes of `buf`; 0, or -1 with the overflow flag raised. */
int vsb_bcat(struct vsb *s, const void *buf, size_t len);
/* Appends the byte `c` (a NUL adds nothing); 0, or -1 as vsb_bcat(). */
int vsb_putc(struct vsb *s, int c);
/* Appends the text formatted from `fmt`; 0, or -1 as vsb_bcat() (what
 * fitted is kept). */
int vsb_vprintf(struct vsb *s, const char *fmt, va_list ap)
    __attribute__((format(ODR_PRINTF_FORMAT, 2, 0)));
/* vsb_vprintf() with its arguments in line. */
int vsb_printf(struct vsb *s, const char *fmt, ...)
    __attribute__((format(ODR_PRINTF_FORMAT, 2, 3)));
/* True when an append since the last vsb_clear() failed. */
int vsb_overflowed(const struct vsb *s);
/* Terminates the text and ends the appends (clears the overflow flag);
 * vsb_data() may be called afterwards. */
void vsb_finish(struct vsb *s);
/* The finished text; calling it before vsb_finish() is a bug (asserted). */
char *vsb_data(struct vsb *s);
/* The text's length in bytes, or -1 after an overflow. */
int vsb_len(struct vsb *s);
/* Frees the storage of `s` and, when vsb_new() allocated it, the record. */
void vsb_delete(struct vsb *s);

#endif
