/*
 * libqil_test.h -- helpers shared by the support library's tests: a
 * descriptor holder, a log handle that writes into a temporary file, and
 * checking that a statement dies through the assertion reporter.
 */
#ifndef QIL_TEST_LIBQIL_TEST_H
#define QIL_TEST_LIBQIL_TEST_H

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "vtc_log.h"

namespace qiltest {

/* A descriptor that closes itself. */
class Fd {
public:
	explicit Fd(int fd = -1) : fd_(fd) {}
	~Fd()
	{
		if (fd_ >= 0)
			(void)close(fd_);
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	int get() const { return fd_; }

private:
	int fd_;
};

/* A log handle whose lines go to a temporary file instead of stdout. */
class LogCapture {
public:
	explicit LogCapture(const char *id = "dnsc")
	    : vl_(vtc_logopen(id, nullptr)), fp_(tmpfile())
	{
		if (fp_ != nullptr)
			vl_->fp = fp_;
	}
	~LogCapture()
	{
		vtc_logclose(vl_);
		if (fp_ != nullptr)
			(void)fclose(fp_);
	}
	LogCapture(const LogCapture &) = delete;
	LogCapture &operator=(const LogCapture &) = delete;

	struct vtclog *vl() const { return vl_; }

	/* Everything written so far. */
	std::string text()
	{
		std::string out;
		char buf[4096];
		size_t n;

		EXPECT_NE(fp_, nullptr);
		if (fp_ == nullptr)
			return out;
		(void)fflush(fp_);
		rewind(fp_);
		while ((n = fread(buf, 1, sizeof buf, fp_)) > 0)
			out.append(buf, n);
		(void)fseek(fp_, 0, SEEK_END);
		return out;
	}

private:
	struct vtclog *vl_;
	FILE *fp_;
};

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
