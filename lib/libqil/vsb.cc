/*
 * vsb.cc -- the growable string buffer.
 *
 * Storage doubles from 2048 bytes up to 1 MiB and then grows in 128 KiB
 * steps. One byte is always kept free for the terminating NUL.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vas.h"
#include "vsb.h"

#define VSB_ISDYNAMIC(s)   ((s)->s_flags & VSB_DYNAMIC)
#define VSB_ISDYNSTRUCT(s) ((s)->s_flags & VSB_DYNSTRUCT)
#define VSB_HASROOM(s)     ((s)->s_len < (s)->s_size - 1)
#define VSB_CANEXTEND(s)   ((s)->s_flags & VSB_AUTOEXTEND)

static void
_vsb_assert_integrity(const struct vsb *s)
{
	QIL_ASSERT_TEXT(s != NULL, "s != NULL");
	QIL_ASSERT_TEXT(s->s_magic == VSB_MAGIC, "s->s_magic == VSB_MAGIC");
	QIL_ASSERT_TEXT(s->s_buf != NULL, "s->s_buf != NULL");
	QIL_ASSERT_TEXT(s->s_len < s->s_size, "s->s_len < s->s_size");
}

static void
_vsb_assert_state(const struct vsb *s, int state)
{
	QIL_ASSERT_TEXT((s->s_flags & VSB_FINISHED) == state,
	    "(s->s_flags & VSB_FINISHED) == state");
}

#define assert_vsb_integrity(s) _vsb_assert_integrity(s)
#define assert_vsb_state(s, i)  _vsb_assert_state((s), (i))

static unsigned
vsb_extendsize(unsigned size)
{
	unsigned newsize = VSB_MINEXTENDSIZE;

	while (newsize < size) {
		if (newsize < VSB_MAXEXTENDSIZE)
			newsize *= 2;
		else
			newsize += VSB_MAXEXTENDINCR;
	}
	return newsize;
}

static int
vsb_extend(struct vsb *s, unsigned addlen)
{
	if (!VSB_CANEXTEND(s))
		return -1;
	unsigned newsize = vsb_extendsize(s->s_size + addlen);
	char *newbuf = static_cast<char *>(malloc(newsize));
	if (newbuf == NULL)
		return -1;
	memcpy(newbuf, s->s_buf, s->s_size);
	if (VSB_ISDYNAMIC(s))
		free(s->s_buf);
	else
		s->s_flags |= VSB_DYNAMIC;
	s->s_buf = newbuf;
	s->s_size = newsize;
	return 0;
}

struct vsb *
vsb_new(struct vsb *s, char *buf, int length, int flags)
{
	QIL_ASSERT(length >= 0);
	QIL_ASSERT((flags & ~VSB_USRFLAGMSK) == 0);

	flags &= VSB_USRFLAGMSK;
	if (s == NULL) {
		s = static_cast<struct vsb *>(malloc(sizeof *s));
		if (s == NULL)
			return NULL;
		memset(s, 0, sizeof *s);
		s->s_flags = flags | VSB_DYNSTRUCT;
	} else {
		memset(s, 0, sizeof *s);
		s->s_flags = flags;
	}
	s->s_magic = VSB_MAGIC;
	s->s_size = (unsigned)length;
	if (buf != NULL) {
		s->s_buf = buf;
		return s;
	}
	if (flags & VSB_AUTOEXTEND)
		s->s_size = vsb_extendsize(s->s_size);
	s->s_buf = static_cast<char *>(malloc(s->s_size));
	if (s->s_buf == NULL) {
		if (VSB_ISDYNSTRUCT(s))
			free(s);
		return NULL;
	}
	s->s_flags |= VSB_DYNAMIC;
	return s;
}

void
vsb_clear(struct vsb *s)
{
	assert_vsb_integrity(s);
	s->s_flags &= ~(VSB_FINISHED | VSB_OVERFLOWED);
	s->s_len = 0;
}

int
vsb_bcat(struct vsb *s, const void *buf, size_t len)
{
	const char *str = static_cast<const char *>(buf);
	const char *end = str + len;

	assert_vsb_integrity(s);
	assert_vsb_state(s, 0);

	if (s->s_flags & VSB_OVERFLOWED)
		return -1;
	for (; str < end; str++) {
		if (!VSB_HASROOM(s) && vsb_extend(s, (unsigned)(end - str)) < 0)
			break;
		s->s_buf[s->s_len++] = *str;
	}
	if (str < end) {
		s->s_flags |= VSB_OVERFLOWED;
		return -1;
	}
	return 0;
}

int
vsb_putc(struct vsb *s, int c)
{
	assert_vsb_integrity(s);
	assert_vsb_state(s, 0);

	if (s->s_flags & VSB_OVERFLOWED)
		return -1;
	if (!VSB_HASROOM(s) && vsb_extend(s, 1) < 0) {
		s->s_flags |= VSB_OVERFLOWED;
		return -1;
	}
	if (c != '\0')
		s->s_buf[s->s_len++] = (char)c;
	return 0;
}

int
vsb_vprintf(struct vsb *s, const char *fmt, va_list ap)
{
	va_list ap_copy;
	int len;

	assert_vsb_integrity(s);
	assert_vsb_state(s, 0);
	QIL_ASSERT(fmt != NULL);

	if (s->s_flags & VSB_OVERFLOWED)
		return -1;
	do {
		va_copy(ap_copy, ap);
		len = vsnprintf(&s->s_buf[s->s_len], s->s_size - s->s_len, fmt, ap_copy);
		va_end(ap_copy);
		if (len < 0) {
			/* A formatting error: keep what we had, report the failure. */
			s->s_buf[s->s_len] = '\0';
			s->s_flags |= VSB_OVERFLOWED;
			return -1;
		}
	} while ((unsigned)len > s->s_size - s->s_len - 1 &&
	    vsb_extend(s, VSB_MINEXTENDSIZE) == 0);

	/* Cut the text to what fits when growth failed. */
	unsigned room = s->s_size - s->s_len - 1;
	s->s_len += (unsigned)len < room ? (unsigned)len : room;
	if (!VSB_HASROOM(s) && !VSB_CANEXTEND(s))
		s->s_flags |= VSB_OVERFLOWED;

	QIL_ASSERT_TEXT(s->s_len < s->s_size, "s->s_len < s->s_size");
	if (s->s_flags & VSB_OVERFLOWED)
		return -1;
	return 0;
}

int
vsb_printf(struct vsb *s, const char *fmt, ...)
{
	va_list ap;
	int result;

	va_start(ap, fmt);
	result = vsb_vprintf(s, fmt, ap);
	va_end(ap);
	return result;
}

int
vsb_overflowed(const struct vsb *s)
{
	return (s->s_flags & VSB_OVERFLOWED) != 0;
}

void
vsb_finish(struct vsb *s)
{
	assert_vsb_integrity(s);
	assert_vsb_state(s, 0);

	s->s_buf[s->s_len] = '\0';
	s->s_flags &= ~VSB_OVERFLOWED;
	s->s_flags |= VSB_FINISHED;
}

char *
vsb_data(struct vsb *s)
{
	assert_vsb_integrity(s);
	assert_vsb_state(s, VSB_FINISHED);
	return s->s_buf;
}

int
vsb_len(struct vsb *s)
{
	assert_vsb_integrity(s);
	if (s->s_flags & VSB_OVERFLOWED)
		return -1;
	return (int)s->s_len;
}

void
vsb_delete(struct vsb *s)
{
	assert_vsb_integrity(s);
	int isdyn = VSB_ISDYNSTRUCT(s);
	if (VSB_ISDYNAMIC(s))
		free(s->s_buf);
	memset(s, 0, sizeof *s);
	if (isdyn)
		free(s);
}
