/*
 * win32/odr_test.cc -- the Windows OS layer, run under Wine: clocks and the
 * log's date text, rand_s, the socket error texts, the string helpers,
 * threads and mutexes, and the Winsock quirks it makes good (a datagram
 * longer than the buffer, a refused non-blocking connect seen by ODR_poll),
 * and a file replaced whole over an older one.
 */
#include <string.h>
#include <time.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "odr.h"
#include "odr_file.h"
#include "odr_random.h"
#include "vtc_log.h"

namespace {

class OdrWin32Test : public ::testing::Test {
protected:
	static void SetUpTestSuite() { (void)ODR_libinit(); }
};

TEST_F(OdrWin32Test, ClocksStayInRangeAndAgreeWithTheRuntime)
{
	struct odr_timespec a, b;
	struct odr_timeval tv;
	ASSERT_EQ(ODR_clock_gettime(ODR_CLOCK_MONOTONIC, &a), 0);
	ASSERT_EQ(ODR_clock_gettime(4, &b), 0);
	EXPECT_TRUE(b.tv_sec > a.tv_sec || (b.tv_sec == a.tv_sec && b.tv_nsec >= a.tv_nsec));
	EXPECT_LT(b.tv_nsec, 1000000000);
	ASSERT_EQ(ODR_gettimeofday(&tv, NULL), 0);
	EXPECT_LT(tv.tv_usec, 1000000);
	EXPECT_NEAR((double)tv.tv_sec, (double)time(NULL), 2.0);
	EXPECT_NEAR(ODR_real(), (double)time(NULL), 2.0);
}

TEST_F(OdrWin32Test, StrftimeSpellsOutTheTimeOfDay)
{
	const struct {
		double t;
		const char *want;
	} cases[] = {
		{0.0, "Thu, 01 Jan 1970 00:00:00 GMT"},
		{1000000000.9, "Sun, 09 Sep 2001 01:46:40 GMT"},
		{4102444799.0, "Thu, 31 Dec 2099 23:59:59 GMT"},
	};
	for (const auto &c : cases) {
		char buf[30];
		EXPECT_EQ(ODR_strftime(buf, "%a, %d %b %Y %T GMT", c.t), strlen(c.want));
		EXPECT_STREQ(buf, c.want);
	}
	char buf[30];
	EXPECT_EQ(ODR_strftime(buf, "%Y-%m-%d %T and more than fits", 0.0), 0u);
}

TEST_F(OdrWin32Test, RandomValuesDiffer)
{
	struct vtclog *vl = vtc_logopen("test", NULL);
	std::set<uint32_t> seen;
	for (int i = 0; i < 16; i++)
		seen.insert(ODR_random(vl));
	EXPECT_GT(seen.size(), 8u);
	vtc_logclose(vl);
}

TEST_F(OdrWin32Test, SocketErrorTexts)
{
	const struct {
		int err;
		const char *want;
	} cases[] = {
		{WSAHOST_NOT_FOUND, "Host not found"},
		{WSANO_DATA, "No data record found"},
		{WSAECONNRESET, "Unknown 10054"},
		{12345, "Unknown 12345"},
	};
	for (const auto &c : cases) {
		WSASetLastError(c.err);
		EXPECT_EQ(ODR_sockError(), c.err);
		EXPECT_STREQ(ODR_sockErrorText(), c.want);
	}
	EXPECT_TRUE(ODR_sockErrorIsReset(WSAECONNRESET));
	EXPECT_FALSE(ODR_sockErrorIsReset(WSAEWOULDBLOCK));
}

TEST_F(OdrWin32Test, StringHelpers)
{
	char *p = ODR_strndup("abcdef", 3);
	EXPECT_STREQ(p, "abc");
	free(p);
	p = ODR_strndup("ab", 3);
	EXPECT_STREQ(p, "ab");
	free(p);
	EXPECT_EQ(ODR_strncasecmp("HeLLo", "hello, world", 5), 0);
	EXPECT_NE(ODR_strncasecmp("HeLLo", "help", 4), 0);
}

ODR_pthread_mutex_t counter_mtx;
int counter;

void *
count_up(void *arg)
{
	for (int i = 0; i < 1000; i++) {
		EXPECT_EQ(ODR_pthread_mutex_lock(&counter_mtx), 0);
		counter++;
		EXPECT_EQ(ODR_pthread_mutex_unlock(&counter_mtx), 0);
	}
	SetEvent(static_cast<HANDLE>(arg));
	return NULL;
}

TEST_F(OdrWin32Test, ThreadsShareAMutex)
{
	HANDLE done[2] = {CreateEventA(NULL, TRUE, FALSE, NULL),
	                  CreateEventA(NULL, TRUE, FALSE, NULL)};
	ASSERT_EQ(ODR_pthread_mutex_init(&counter_mtx, NULL), 0);
	ODR_pthread_t t[2];
	for (int i = 0; i < 2; i++)
		ASSERT_EQ(ODR_pthread_create(&t[i], NULL, count_up, done[i]), 0);
	EXPECT_EQ(WaitForMultipleObjects(2, done, TRUE, 10000), WAIT_OBJECT_0);
	EXPECT_EQ(counter, 2000);
	EXPECT_EQ(ODR_pthread_mutex_destroy(&counter_mtx), 0);
}

/* A bound loopback UDP socket and its address. */
int
udp_socket(struct sockaddr_in *addr)
{
	int s = (int)socket(AF_INET, SOCK_DGRAM, 0);
	memset(addr, 0, sizeof *addr);
	addr->sin_family = AF_INET;
	addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof *addr;
	EXPECT_EQ(bind((SOCKET)s, (struct sockaddr *)addr, sizeof *addr), 0);
	EXPECT_EQ(getsockname((SOCKET)s, (struct sockaddr *)addr, &len), 0);
	return s;
}

TEST_F(OdrWin32Test, DatagramLongerThanTheBufferIsAnError)
{
	struct sockaddr_in a;
	int s = udp_socket(&a);
	char big[100] = "a datagram of a hundred bytes";
	ASSERT_EQ(ODR_sendto(s, big, sizeof big, 0, (struct sockaddr *)&a, sizeof a), 100);
	ASSERT_EQ(ODR_sendto(s, big, 10, 0, (struct sockaddr *)&a, sizeof a), 10);
	struct pollfd pfd = {};
	pfd.fd = (SOCKET)s;
	pfd.events = POLLIN;
	ASSERT_EQ(ODR_poll(&pfd, 1, 5000), 1);
	EXPECT_TRUE(pfd.revents & POLLIN);
	char buf[50];
	EXPECT_EQ(ODR_recvfrom(s, buf, sizeof buf, 0, NULL, NULL), -1);
	EXPECT_EQ(ODR_sockError(), WSAEMSGSIZE);
	EXPECT_EQ(ODR_recvfrom(s, buf, sizeof buf, 0, NULL, NULL), 10);
	EXPECT_EQ(ODR_closesocket(s), 0);
}

TEST_F(OdrWin32Test, RefusedConnectIsWritableWithItsError)
{
	struct sockaddr_in a;
	int u = udp_socket(&a); /* a port nobody listens on with TCP */
	int s = (int)socket(AF_INET, SOCK_STREAM, 0);
	ASSERT_EQ(ODR_setnonblocking(s, 1), 0);
	EXPECT_EQ(connect((SOCKET)s, (struct sockaddr *)&a, sizeof a), -1);
	EXPECT_EQ(ODR_sockError(), ODR_EINPROGRESS);
	struct pollfd pfd = {};
	pfd.fd = (SOCKET)s;
	pfd.events = POLLOUT;
	ASSERT_EQ(ODR_poll(&pfd, 1, 5000), 1);
	EXPECT_TRUE(pfd.revents & POLLOUT);
	int soerr = 0;
	socklen_t len = sizeof soerr;
	ASSERT_EQ(ODR_getsockopt(s, SOL_SOCKET, SO_ERROR, &soerr, &len), 0);
	EXPECT_EQ(soerr, WSAECONNREFUSED);
	EXPECT_EQ(ODR_closesocket(s), 0);
	EXPECT_EQ(ODR_closesocket(u), 0);
}

TEST_F(OdrWin32Test, OsGenerationCodeIsOneOfTheTable)
{
	const std::set<int> codes = {0, 1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15, 16};
	EXPECT_EQ(codes.count(ODR_GetOSVersion()), 1u);
	EXPECT_EQ(ODR_osversion, ODR_GetOSVersion());
}

TEST_F(OdrWin32Test, AFileIsReplacedWholeAndReadBack)
{
	char name[] = "odr_file_test.tmp";
	char buf[16] = {};
	for (const char *text : {"first", "second"}) {
		ASSERT_EQ(ODR_file_replace(name, text, strlen(text), 0600), 0);
		ASSERT_EQ(ODR_file_read(name, buf, sizeof buf), (ssize_t)strlen(text));
		EXPECT_EQ(std::string(buf, strlen(text)), text);
	}
	EXPECT_EQ(ODR_file_read("no such file here", buf, sizeof buf), -1);
	EXPECT_EQ(ODR_file_read(".", buf, sizeof buf), -1) << "a folder is no file";
	(void)remove(name);
}

} // namespace
