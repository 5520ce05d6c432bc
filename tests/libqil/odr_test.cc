/*
 * odr_test.cc -- the Linux OS layer: clocks, the assertion reporter,
 * receives, random numbers, socket errors and string helpers.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "libqil_test.h"
#include "odr.h"
#include "odr_random.h"
#include "odr_recv.h"
#include "vtc_log.h"
#include "vtim.h"

namespace {

using qiltest::Fd;
using LogFile = qiltest::LogCapture;

TEST(OdrLibinit, GenerationCodeIsZero)
{
	EXPECT_EQ(ODR_libinit(), 0);
	EXPECT_EQ(ODR_GetOSVersion(), 0);
	EXPECT_EQ(ODR_osversion, 0);
}

TEST(OdrClock, RealtimeAgreesWithTheSystemClock)
{
	struct odr_timespec ts;
	struct odr_timeval tv;

	time_t now = time(nullptr);
	ASSERT_EQ(ODR_clock_gettime(ODR_CLOCK_REALTIME, &ts), 0);
	ASSERT_EQ(ODR_gettimeofday(&tv, nullptr), 0);
	EXPECT_LE(llabs(ts.tv_sec - (int64_t)now), 5);
	EXPECT_LE(llabs(tv.tv_sec - (int64_t)now), 5);
	EXPECT_NEAR(VTIM_now(), (double)now, 5.0);
	EXPECT_NEAR(VTIM_real(), VTIM_now(), 1.0);
	EXPECT_NEAR(ODR_real(), VTIM_now(), 1.0);
}

TEST(OdrClock, FieldsStayInRangeAndMonotonicNeverGoesBack)
{
	struct odr_timespec prev = {}, ts;
	struct odr_timeval tv;
	double mono = 0;

	for (int i = 0; i < 2000; i++) {
		/* 4 is accepted as another name of the monotonic clock. */
		int id = i % 2 ? ODR_CLOCK_MONOTONIC : 4;
		ASSERT_EQ(ODR_clock_gettime(id, &ts), 0);
		ASSERT_GE(ts.tv_nsec, 0);
		ASSERT_LT(ts.tv_nsec, 1000000000);
		ASSERT_TRUE(ts.tv_sec > prev.tv_sec ||
		            (ts.tv_sec == prev.tv_sec && ts.tv_nsec >= prev.tv_nsec));
		prev = ts;

		ASSERT_EQ(ODR_gettimeofday(&tv, nullptr), 0);
		ASSERT_GE(tv.tv_usec, 0);
		ASSERT_LT(tv.tv_usec, 1000000);

		double m = VTIM_mono();
		ASSERT_GE(m, mono);
		mono = m;
	}
}

TEST(OdrClock, StrftimeTruncatesTowardZeroAndStopsAt30Bytes)
{
	const struct {
		double t;
		const char *fmt;
		const char *want;
	} cases[] = {
	    {0.0, "%a, %d %b %Y %T GMT", "Thu, 01 Jan 1970 00:00:00 GMT"},
	    {-0.5, "%a, %d %b %Y %T GMT", "Thu, 01 Jan 1970 00:00:00 GMT"},
	    {1796567971.9, "%a, %d %b %Y %T GMT", "Sun, 06 Dec 2026 14:39:31 GMT"},
	    {0.0, "%a, %d %b %Y %T GMT!", ""}, /* 30 characters do not fit */
	};
	for (const auto &c : cases) {
		char buf[64];
		memset(buf, 0, sizeof buf);
		size_t n = ODR_strftime(buf, c.fmt, c.t);
		EXPECT_EQ(n, strlen(c.want)) << c.t << " " << c.fmt;
		if (n > 0) {
			EXPECT_STREQ(buf, c.want);
		}
	}
}

TEST(OdrDeath, AssertionReporterPrintsOneLineAndAborts)
{
	EXPECT_ASSERT_FAIL(ODR_assert_fail("fn", "dir/file.cc", 12, "x == y", 0),
	                   "^assert fail! fn dir/file\\.cc:12 x == y 0\n$");

	const char *volatile p = nullptr;
	const std::string re = "^assert fail! [A-Za-z_0-9]+ [^ ]*odr_test\\.cc:" +
	    std::to_string(__LINE__ + 1) + " \\(p\\) != 0 0\n$";
	EXPECT_ASSERT_FAIL(AN(p), re);
}

/* What a callback gets back untyped is checked for its magic, and a switch
 * over our own enum stops on a value it does not know. */
TEST(OdrDeath, WrongRecordsAndImpossibleValuesAreFatal)
{
	struct rec {
		unsigned magic;
	} good = {0x600d}, bad = {0xbad};
	void *volatile priv = &good;
	struct rec *r = nullptr;

	CAST_OBJ_NOTNULL(r, priv, 0x600d);
	EXPECT_EQ(r, &good);
	priv = &bad;
	EXPECT_ASSERT_FAIL(CAST_OBJ_NOTNULL(r, priv, 0x600d), "\\(r\\)->magic == 0x600d 0\n$");
	priv = nullptr;
	EXPECT_ASSERT_FAIL(CAST_OBJ_NOTNULL(r, priv, 0x600d), "\\(r\\) != 0 0\n$");
	EXPECT_ASSERT_FAIL(WRONG("verdict"), " wrong verdict 0\n$");
}

TEST(OdrDeath, BadClockArgumentsAreFatal)
{
	struct odr_timeval tv;
	struct odr_timespec ts;
	int tz = 0;

	EXPECT_ASSERT_FAIL(ODR_gettimeofday(&tv, &tz),
	                   qiltest::assert_line("ODR_gettimeofday", "odr_time\\.cc",
	                                        "tz == NULL"));
	EXPECT_ASSERT_FAIL(ODR_clock_gettime(3, &ts),
	                   qiltest::assert_line("ODR_clock_gettime", "odr_time\\.cc",
	                                        "clock == .*"));
}

TEST(OdrRecv, FailureIsLoggedAndErrnoKept)
{
	LogFile log;
	char buf[8];
	Fd sock(socket(AF_INET, SOCK_DGRAM, 0));
	ASSERT_GE(sock.get(), 0);
	int bad = sock.get() + 1000;

	errno = 0;
	EXPECT_EQ(ODR_recv(log.vl(), bad, buf, sizeof buf, 0), -1);
	EXPECT_EQ(errno, EBADF);
	std::string want = "[WARN]  QILEC_00440: recv(2) error: read -1 error " +
	    std::to_string(EBADF) + "\n";
	std::string t = log.text();
	ASSERT_GE(t.size(), want.size());
	EXPECT_EQ(t.substr(t.size() - want.size()), want) << t;
	EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 1);
}

TEST(OdrRecv, ShortReadsPassThroughSilently)
{
	LogFile log;
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	Fd a(sv[0]), b(sv[1]);
	char buf[8];

	ASSERT_EQ(write(a.get(), "abcde", 5), 5);
	EXPECT_EQ(ODR_recv(log.vl(), b.get(), buf, 5, ODR_MSG_WAITALL), 5);
	ASSERT_EQ(write(a.get(), "xyz", 3), 3);
	EXPECT_EQ(ODR_recv(log.vl(), b.get(), buf, 5, 0), 3);
	EXPECT_EQ(std::string(buf, 3), "xyz");
	(void)shutdown(a.get(), SHUT_WR);
	EXPECT_EQ(ODR_recv(log.vl(), b.get(), buf, 5, 0), 0);
	EXPECT_EQ(log.text(), "");
}

/* Waits (bounded) until `fd` is readable. */
bool
readable(int fd)
{
	struct pollfd p = {fd, POLLIN, 0};
	return poll(&p, 1, 5000) == 1;
}

TEST(OdrRecvfrom, OversizedDatagramIsAnErrorAndIsGone)
{
	Fd rx(socket(AF_INET, SOCK_DGRAM, 0)), tx(socket(AF_INET, SOCK_DGRAM, 0));
	ASSERT_GE(rx.get(), 0);
	ASSERT_GE(tx.get(), 0);
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ASSERT_EQ(bind(rx.get(), (struct sockaddr *)&sin, sizeof sin), 0);
	socklen_t sl = sizeof sin;
	ASSERT_EQ(getsockname(rx.get(), (struct sockaddr *)&sin, &sl), 0);
	ASSERT_EQ(connect(tx.get(), (struct sockaddr *)&sin, sizeof sin), 0);
	struct sockaddr_in self = {};
	sl = sizeof self;
	ASSERT_EQ(getsockname(tx.get(), (struct sockaddr *)&self, &sl), 0);

	std::string big(100, 'B'), exact(50, 'E'), small = "small";
	for (const std::string *d : {&big, &exact, &small})
		ASSERT_EQ(send(tx.get(), d->data(), d->size(), 0), (ssize_t)d->size());

	char buf[50];
	struct sockaddr_storage from;
	socklen_t fl;

	ASSERT_TRUE(readable(rx.get()));
	fl = sizeof from;
	errno = 0;
	EXPECT_EQ(ODR_recvfrom(rx.get(), buf, sizeof buf, 0, (struct sockaddr *)&from, &fl), -1);
	EXPECT_EQ(errno, EMSGSIZE);

	/* The next datagram fills the buffer exactly: that is not truncation. */
	ASSERT_TRUE(readable(rx.get()));
	fl = sizeof from;
	ASSERT_EQ(ODR_recvfrom(rx.get(), buf, sizeof buf, 0, (struct sockaddr *)&from, &fl), 50);
	EXPECT_EQ(std::string(buf, 50), exact);
	ASSERT_EQ(fl, sizeof self);
	EXPECT_EQ(memcmp(&from, &self, sizeof self), 0);

	ASSERT_TRUE(readable(rx.get()));
	EXPECT_EQ(ODR_recvfrom(rx.get(), buf, sizeof buf, 0, nullptr, nullptr), 5);
	EXPECT_EQ(std::string(buf, 5), small);
}

TEST(OdrRandom, ValuesVary)
{
	LogFile log;
	std::set<uint32_t> seen;
	for (int i = 0; i < 16; i++)
		seen.insert(ODR_random(log.vl()));
	EXPECT_GT(seen.size(), 1u);
	EXPECT_EQ(log.text(), "");
}

TEST(OdrSockError, IsErrnoWithANeutralText)
{
	errno = 4242;
	EXPECT_EQ(ODR_sockError(), 4242);
	EXPECT_STREQ(ODR_sockErrorText(), "Unknown 4242");
	errno = ECONNREFUSED;
	EXPECT_EQ(ODR_sockErrorText(), std::string("Unknown ") + std::to_string(ECONNREFUSED));

	EXPECT_TRUE(ODR_sockErrorIsReset(ECONNREFUSED));
	EXPECT_TRUE(ODR_sockErrorIsReset(ECONNRESET));
	EXPECT_FALSE(ODR_sockErrorIsReset(EAGAIN));
	EXPECT_FALSE(ODR_sockErrorIsReset(0));
}

TEST(OdrString, StrndupStopsAtNOrAtTheEnd)
{
	const struct {
		const char *s;
		size_t n;
		const char *want;
	} cases[] = {{"abcdef", 3, "abc"}, {"ab", 3, "ab"}, {"abc", 0, ""}};
	for (const auto &c : cases) {
		char *d = ODR_strndup(c.s, c.n);
		ASSERT_NE(d, nullptr);
		EXPECT_STREQ(d, c.want);
		free(d);
	}
}

} // namespace
