/*
 * libqil_test.h -- helpers shared by the support library's tests: the
 * descriptor holder and the captured log handle of the test support, and
 * checking that a statement dies through the assertion reporter.
 */
#ifndef QIL_TEST_LIBQIL_TEST_H
#define QIL_TEST_LIBQIL_TEST_H

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "fd.h"
#include "log_capture.h"

namespace qiltest {

/*
 * The reporter writes to standard output while gtest's matcher reads the
 * child's standard error: flush what the test binary had buffered to the
 * real standard output, then point descriptor 1 at descriptor 2.
 */
inline void
stdout_to_stderr()
{
	(void)fflush(stdout);
	(void)dup2(2, 1);
}

/* The complete output of a failed check: exactly one reporter line. */
inline std::string
assert_line(const std::string &func_re, const std::string &file_re,
            const std::string &expr_re)
{
	return "^assert fail! " + func_re + " [^ ]*" + file_re + ":[0-9]+ " +
	    expr_re + " 0\n$";
}

} // namespace qiltest

#define EXPECT_ASSERT_FAIL(stmt, re)                                          \
	do {                                                                  \
		GTEST_FLAG_SET(death_test_style, "threadsafe");               \
		EXPECT_EXIT(                                                  \
		    {                                                         \
			    qiltest::stdout_to_stderr();                      \
			    stmt;                                             \
		    },                                                        \
		    ::testing::KilledBySignal(SIGABRT), re);                  \
	} while (0)

#endif
