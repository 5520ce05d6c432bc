/*
 * vgetopt_test.cc -- the command-line scanner: clusters, arguments, where
 * scanning stops, and its two diagnostics.
 */
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"
#include "vgetopt.h"

namespace {

const char kOpts[] = "b:c:d:hl:p:wX:";

struct Scan {
	std::vector<std::string> got; /* "w", or "d=arg" when optarg is set */
	int optind;
	std::string err;              /* standard error */
};

/* Runs the scanner over `args` (program name first) from a fresh state. */
Scan
scan(const std::vector<std::string> &args, const char *ostr, int opterr = 1)
{
	std::vector<std::string> store(args);
	std::vector<char *> argv;
	for (std::string &a : store)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	qil::optind = 1;
	qil::optreset = 1;
	qil::opterr = opterr;
	qil::optarg = nullptr;
	qil::optopt = 0;

	Scan s;
	testing::internal::CaptureStderr();
	for (int i = 0; i < 32; i++) {
		int c = qil::getopt((int)args.size(), argv.data(), ostr);
		if (c == -1)
			break;
		std::string item(1, (char)c);
		if (qil::optarg != nullptr)
			item += "=" + std::string(qil::optarg);
		s.got.push_back(item);
	}
	s.err = testing::internal::GetCapturedStderr();
	s.optind = qil::optind;
	return s;
}

struct Case {
	const char *name;
	std::vector<std::string> args;
	std::vector<std::string> got;
	int optind;
	std::string err;
	const char *ostr = kOpts;
};

/* Failure messages name the case instead of dumping its bytes. */
void
PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

class Getopt : public testing::TestWithParam<Case> {};

TEST_P(Getopt, Scans)
{
	const Case &c = GetParam();
	Scan s = scan(c.args, c.ostr);
	EXPECT_EQ(s.got, c.got);
	EXPECT_EQ(s.optind, c.optind);
	EXPECT_EQ(s.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Getopt,
    testing::Values(
	Case{"none", {"qildnsc"}, {}, 1, ""},
	Case{"separate", {"qildnsc", "-w", "-h"}, {"w", "h"}, 3, ""},
	Case{"cluster", {"qildnsc", "-wh"}, {"w", "h"}, 2, ""},
	Case{"detached_argument", {"qildnsc", "-d", "1.2.3.4", "-w"},
	     {"d=1.2.3.4", "w"}, 4, ""},
	Case{"attached_argument", {"qildnsc", "-p5353"}, {"p=5353"}, 2, ""},
	Case{"cluster_then_next_element", {"qildnsc", "-wd", "1.2.3.4"},
	     {"w", "d=1.2.3.4"}, 3, ""},
	Case{"cluster_then_attached", {"qildnsc", "-wd1.2.3.4"},
	     {"w", "d=1.2.3.4"}, 2, ""},
	Case{"argument_may_look_like_option", {"qildnsc", "-d", "-w"}, {"d=-w"}, 3, ""},
	Case{"stops_at_non_option", {"qildnsc", "-w", "file", "-h"}, {"w"}, 2, ""},
	Case{"double_dash_consumed", {"qildnsc", "-w", "--", "-h"}, {"w"}, 3, ""},
	Case{"lone_dash_is_an_argument", {"qildnsc", "-w", "-", "-h"}, {"w"}, 2, ""},
	Case{"lone_dash_first", {"qildnsc", "-"}, {}, 1, ""},
	Case{"lone_dash_listed_is_an_option", {"qildnsc", "-", "-w"}, {"-", "w"}, 3,
	     "", "-w"},
	/* Only the exact element "--" ends the options. */
	Case{"double_dash_prefix_is_a_cluster", {"qildnsc", "--x", "-w"},
	     {"?", "?", "w"}, 3, "illegal option -- -\nillegal option -- x\n"},
	Case{"dash_inside_cluster", {"qildnsc", "-w-"}, {"w", "?"}, 2,
	     "illegal option -- -\n"},
	Case{"illegal_option", {"qildnsc", "-q", "-w"}, {"?", "w"}, 3,
	     "illegal option -- q\n"},
	Case{"illegal_inside_cluster", {"qildnsc", "-qw"}, {"?", "w"}, 2,
	     "illegal option -- q\n"},
	Case{"colon_is_never_an_option", {"qildnsc", "-:"}, {"?"}, 2,
	     "illegal option -- :\n"},
	Case{"missing_argument", {"qildnsc", "-w", "-d"}, {"w", "?"}, 3,
	     "option requires an argument -- d\n"},
	Case{"missing_argument_in_cluster", {"qildnsc", "-wd"}, {"w", "?"}, 2,
	     "option requires an argument -- d\n"},
	Case{"colon_first_missing_argument", {"qildnsc", "-d"}, {":"}, 2, "", ":d:w"},
	Case{"colon_first_illegal_is_silent", {"qildnsc", "-q", "-w"}, {"?", "w"}, 3,
	     "", ":d:w"}),
    qiltest::CaseName());

TEST(GetoptState, OpterrZeroSilencesDiagnostics)
{
	Scan s = scan({"qildnsc", "-q", "-d"}, kOpts, 0);
	EXPECT_EQ(s.got, (std::vector<std::string>{"?", "?"}));
	EXPECT_EQ(s.err, "");
	EXPECT_EQ(qil::optopt, 'd');
}

TEST(GetoptState, OptresetRestartsInsideAnAbandonedCluster)
{
	std::string a0 = "qildnsc", a1 = "-wh";
	char *argv[] = {a0.data(), a1.data(), nullptr};

	qil::optind = 1;
	qil::optreset = 1;
	ASSERT_EQ(qil::getopt(2, argv, kOpts), 'w');
	/* Abandon the scan half way through "-wh" and start again. */
	qil::optind = 1;
	qil::optreset = 1;
	EXPECT_EQ(qil::getopt(2, argv, kOpts), 'w');
	EXPECT_EQ(qil::getopt(2, argv, kOpts), 'h');
	EXPECT_EQ(qil::getopt(2, argv, kOpts), -1);
	EXPECT_EQ(qil::optind, 2);
}

} // namespace
