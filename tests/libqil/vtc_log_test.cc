/*
 * vtc_log_test.cc -- log lines and dumps, captured by pointing the
 * handle's stream at a temporary file.
 */
#include <pthread.h>
#include <stdio.h>

#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"
#include "libqil_test.h"
#include "odr.h"
#include "vtc_limit.h"
#include "vsb.h"
#include "vtc_log.h"
#include "vtim.h"

namespace {

const char kHeader[] =
    R"(^[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT \[\d+\.\d{6}\] )";

/* A handle writing into a temporary file, whose lines carry the header. */
class Capture : public qiltest::LogCapture {
public:
	explicit Capture(const char *id) : LogCapture(id) {}

	/* The output after the date and elapsed-time header. */
	std::string body()
	{
		std::string t = text();
		std::smatch m;
		if (!std::regex_search(t, m, std::regex(kHeader)))
			ADD_FAILURE() << "no header in: " << t;
		return m.suffix();
	}
};

TEST(VtcLog, LineFormat)
{
	Capture c("dnsc");
	vtc_log(c.vl(), VTCLOG_ERROR, "msg %d", 7);
	std::string t = c.text();
	EXPECT_TRUE(std::regex_match(t, std::regex(std::string(kHeader) +
	                                           R"(dnsc \[ERROR\] msg 7\n$)")))
	    << t;
}

TEST(VtcLog, LongMessageIsWrittenWhole)
{
	Capture c("dnsc");
	std::string big(5000, 'm');
	vtc_log(c.vl(), VTCLOG_INFO, "%s", big.c_str());
	EXPECT_EQ(c.body(), "dnsc [INFO]  " + big + "\n");
}

TEST(VtcLog, MessageEndingInNewlineLeavesAnEmptyLine)
{
	Capture c("dnsc");
	vtc_log(c.vl(), VTCLOG_WARN, "x\n");
	EXPECT_EQ(c.body(), "dnsc [WARN]  x\n\n");
}

TEST(VtcLog, EveryLevelHasItsLabel)
{
	const char *const labels[] = {"[ERROR]", "[WARN] ", "[INFO] ", "[DEBUG]",
	                              "[DEBUG]"};
	for (int lvl = 0; lvl < NLEAD; lvl++) {
		Capture c("dnsc");
		vtc_log(c.vl(), lvl, "m");
		EXPECT_EQ(c.body(), std::string("dnsc ") + labels[lvl] + " m\n")
		    << "level " << lvl;
	}
}

TEST(VtcLog, IdentifierIsPaddedToFour)
{
	const std::pair<const char *, const char *> cases[] = {
	    {"ab", "ab   [INFO]  m\n"},
	    {"", "     [INFO]  m\n"},
	    {"dnsc", "dnsc [INFO]  m\n"},
	    {"longer", "longer [INFO]  m\n"},
	};
	for (const auto &[id, want] : cases) {
		Capture c(id);
		vtc_log(c.vl(), VTCLOG_INFO, "m");
		EXPECT_EQ(c.body(), want) << "id \"" << id << "\"";
	}
}

/* Held lines wait in memory, headers and all, then reach the stream
 * ahead of the later ones. */
TEST(VtcLog, HeldLinesWaitForTheirStream)
{
	Capture c("dnsc");
	FILE *fp = c.vl()->fp;
	vtc_loghold(c.vl());
	vtc_log(c.vl(), VTCLOG_WARN, "one");
	struct vsb *held = vsb_new(NULL, NULL, 0, VSB_AUTOEXTEND);
	vtc_logheld(c.vl(), held);
	vsb_finish(held);
	EXPECT_EQ(c.text(), "");
	vtc_logrelease(c.vl(), fp);
	vtc_log(c.vl(), VTCLOG_INFO, "two");
	EXPECT_EQ(c.text().substr(0, (size_t)vsb_len(held)), vsb_data(held));
	EXPECT_TRUE(std::regex_match(c.text(), std::regex(std::string(kHeader) +
	    R"(dnsc \[WARN\]  one\n.*dnsc \[INFO\]  two\n$)"))) << c.text();
	vsb_delete(held);
}

struct DumpCase {
	const char *name;
	const char *pfx;
	std::optional<std::string> data;
	int len;
	std::string want;
};

/* Failure messages name the case instead of dumping its bytes. */
void
PrintTo(const DumpCase &c, std::ostream *os)
{
	*os << c.name;
}

class VtcDump : public testing::TestWithParam<DumpCase> {};

TEST_P(VtcDump, Renders)
{
	const DumpCase &d = GetParam();
	Capture c("dnsc");
	vtc_dump(c.vl(), VTCLOG_DEBUG, d.pfx, d.data ? d.data->c_str() : nullptr,
	         d.len);
	EXPECT_EQ(c.body(), "dnsc [DEBUG] " + d.want);
}

const std::string k600(600, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, VtcDump,
    testing::Values(
	DumpCase{"null_data", "pfx", std::nullopt, 10, "pfx(null)\n"},
	DumpCase{"null_data_null_prefix", nullptr, std::nullopt, -1, "(null)\n"},
	DumpCase{"null_prefix", nullptr, "ab", -1, "| ab\n"},
	DumpCase{"zero_length", "p", "ab", 0, "\n"},
	DumpCase{"counted_length_stops_early", "p", "abcdef", 3, "p| abc\n"},
	DumpCase{"escapes", "p", std::string("\x00\x1f\x7f\xff!", 5), 5,
	         "p| \\x00\\x1f\\x7f\\xff!\n"},
	DumpCase{"cr_and_tab", "p", "a\rb\tc", -1, "p| a\\rb\\tc\n"},
	DumpCase{"newline_starts_prefixed_line", "P", "l1\nl2", -1,
	         "P| l1\\n\nP| l2\n"},
	DumpCase{"trailing_newline_not_doubled", "P", "l1\nl2\n", -1,
	         "P| l1\\n\nP| l2\\n\n"},
	DumpCase{"limited_to_513", "", k600, 600, "| " + k600.substr(0, 513) + "...\n"},
	DumpCase{"text_length_also_limited", "", k600, -1,
	         "| " + k600.substr(0, 513) + "...\n"},
	DumpCase{"513_not_limited", "", k600.substr(0, 513), 513,
	         "| " + k600.substr(0, 513) + "\n"},
	DumpCase{"unlimited", "", k600, -2, "| " + k600 + "\n"}),
    qiltest::CaseName());

/* Lines from several threads through one handle never interleave. */
struct Writer {
	struct vtclog *vl;
	int id;
};

void *
write_lines(void *arg)
{
	const Writer *w = static_cast<const Writer *>(arg);
	std::string pad(200, (char)('a' + w->id));
	for (int i = 0; i < 200; i++)
		vtc_log(w->vl, VTCLOG_INFO, "writer %d line %d %s", w->id, i, pad.c_str());
	return nullptr;
}

TEST(VtcLog, ThreadsWriteWholeLines)
{
	Capture c("dnsc");
	Writer w[4];
	ODR_pthread_t t[4];
	for (int i = 0; i < 4; i++) {
		w[i] = Writer{c.vl(), i};
		ASSERT_EQ(ODR_pthread_create(&t[i], nullptr, write_lines, &w[i]), 0);
	}
	for (auto &th : t)
		ASSERT_EQ(pthread_join(th, nullptr), 0);

	std::istringstream in(c.text());
	std::regex line(std::string(kHeader) +
	                R"(dnsc \[INFO\]  writer (\d) line \d+ ([a-d])\2{199}$)");
	std::string l;
	int n = 0;
	std::smatch m;
	while (std::getline(in, l)) {
		ASSERT_TRUE(std::regex_match(l, m, line)) << l;
		EXPECT_EQ(m[1].str()[0] - '0', m[2].str()[0] - 'a') << l;
		n++;
	}
	EXPECT_EQ(n, 800);
}

/*
 * Runs in a fresh death-test child, so the line below is the first one the
 * process writes.
 */
TEST(VtcLogDeath, ElapsedTimeCountsFromTheFirstLineOfAnyHandle)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(
	    {
		    struct vtclog *a = vtc_logopen("a", nullptr);
		    struct vtclog *b = vtc_logopen("b", nullptr);
		    a->fp = b->fp = stderr;
		    vtc_log(a, VTCLOG_INFO, "first");
		    double t = VTIM_now();
		    for (long i = 0; i < 100000000 && VTIM_now() - t < 0.002; i++)
			    continue;
		    vtc_log(b, VTCLOG_INFO, "second");
		    vtc_logclose(a);
		    vtc_logclose(b);
		    exit(0);
	    },
	    testing::ExitedWithCode(0),
	    "^[^\n]* \\[0\\.000000\\] a    \\[INFO\\]  first\n"
	    "[^\n]* \\[(0\\.[0-9]*[1-9][0-9]*|[1-9][0-9]*\\.[0-9]+)\\] b    "
	    "\\[INFO\\]  second\n$");
}

TEST(VtcLogDeath, BadLevelOrHandleIsFatal)
{
	const std::string lvl = qiltest::assert_line("[a-z_]+", "vtc_log\\.cc",
	                                             "lvl < NLEAD");
	EXPECT_ASSERT_FAIL(vtc_log(vtc_logopen("dnsc", nullptr), NLEAD, "x"), lvl);
	EXPECT_ASSERT_FAIL(vtc_log(vtc_logopen("dnsc", nullptr), -1, "x"), lvl);
	EXPECT_ASSERT_FAIL(vtc_dump(vtc_logopen("dnsc", nullptr), 7, "p", "x", 1), lvl);
	EXPECT_ASSERT_FAIL(
	    {
		    struct vtclog dead = {};
		    vtc_log(&dead, VTCLOG_INFO, "x");
	    },
	    qiltest::assert_line("[a-z_]+", "vtc_log\\.cc",
	                         "\\(vl\\)->magic == 0x82731202"));
}

/* A flood of one message: a burst per second, then one summary line for
 * the rest of that second, written by the next line or by a flush. */
TEST(VtcLimit, BurstThenOneSummaryPerSecond)
{
	Capture c("upst");
	struct vtc_limit lim = VTC_LIMIT_INIT("bad-frame", VTCLOG_WARN);
	for (int i = 0; i < 100; i++)
		vtc_limit_logat(&lim, c.vl(), 10.0 + i * 0.001, "bad %d", i);
	vtc_limit_flush(&lim, c.vl(), 10.5); /* the second is not over */
	vtc_limit_logat(&lim, c.vl(), 11.2, "bad %d", 100);
	vtc_limit_logat(&lim, c.vl(), 11.3, "bad %d", 101);
	vtc_limit_flush(&lim, c.vl(), 13.0); /* nothing suppressed: no line */

	std::string want;
	for (int i = 0; i < VTC_LIMIT_BURST; i++)
		want += "bad " + std::to_string(i) + "\n";
	want += "bad-frame: " + std::to_string(100 - VTC_LIMIT_BURST) +
	    " more suppressed\nbad 100\nbad 101\n";
	std::string got;
	std::istringstream in(c.text());
	for (std::string line; std::getline(in, line);)
		got += line.substr(line.find("[WARN]  ") + 8) + "\n";
	EXPECT_EQ(got, want);
}

/* One call site, one limit: a loop through it writes its burst only. */
TEST(VtcLimit, CallSiteHasALimitOfItsOwn)
{
	Capture c("dnsc");
	for (int i = 0; i < 50; i++)
		VTC_LOG_LIMITED(c.vl(), VTCLOG_WARN, "junk", "junk %d", i);
	std::string t = c.text();
	EXPECT_NE(t.find("junk 4\n"), std::string::npos) << t;
	EXPECT_EQ(t.find("junk 5\n"), std::string::npos) << t;
}

} // namespace
