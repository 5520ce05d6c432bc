/*
 * vas.h -- fatal assertions of the support library and the forwarder.
 *
 * Assertions guard our own mistakes (null handles, wrong magic numbers,
 * broken invariants, calls that only fail when we are broken). Bytes from
 * the network or from files never reach them. A failed check prints one
 * line through ODR_assert_fail() and aborts the process.
 */
#ifndef QIL_VAS_H
#define QIL_VAS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Prints "assert fail! <func> <file>:<line> <expr> <value>" and aborts. */
[[noreturn]] void ODR_assert_fail(const char *func, const char *file, int line,
                                  const char *expr, int value);

#ifdef __cplusplus
}
#endif

/* Check `e`; on failure report `text` as the failed expression. */
#define QIL_ASSERT_TEXT(e, text)                                              \
	do {                                                                  \
		if (!(e)) [[unlikely]]                                        \
			ODR_assert_fail(__func__, __FILE__, __LINE__, text, 0);   \
	} while (0)

#define QIL_ASSERT(e) QIL_ASSERT_TEXT(e, #e)
/* Non-zero / zero checks, reported as "(e) != 0" and "(e) == 0". */
#define AN(e) QIL_ASSERT_TEXT((e) != 0, "(" #e ") != 0")
#define AZ(e) QIL_ASSERT_TEXT((e) == 0, "(" #e ") == 0")

#define QIL_STR(x)  #x
#define QIL_XSTR(x) QIL_STR(x)

/* Magic-number records: reported with the magic value spelled out. */
#define CHECK_OBJ_NOTNULL(p, m)                                               \
	do {                                                                  \
		AN(p);                                                        \
		QIL_ASSERT_TEXT((p)->magic == (m),                            \
		    "(" #p ")->magic == " QIL_XSTR(m));                       \
	} while (0)

/* A pointer handed back untyped (a callback's private pointer, an event's
 * data) taken as the record it must be: `to` is assigned from `from` and
 * checked like CHECK_OBJ_NOTNULL, so that a wrong pointer stops here. */
#define CAST_OBJ_NOTNULL(to, from, m)                                         \
	do {                                                                  \
		(to) = static_cast<decltype(to)>(from);                       \
		CHECK_OBJ_NOTNULL(to, m);                                     \
	} while (0)
/* The end of a switch over one of our own enums that covers every value:
 * anything else is memory gone wrong, never a case to pass over. */
#define WRONG(what) ODR_assert_fail(__func__, __FILE__, __LINE__, "wrong " what, 0)
#endif
