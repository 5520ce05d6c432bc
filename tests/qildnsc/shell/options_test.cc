/*
 * options_test.cc -- the command line. The real binary, run in a temporary
 * directory, for what a user sees: the usage text and scanner diagnostics
 * on standard error, the exit status of a usage error, and the banner and
 * option lines in "qildnsc_stdout.txt". parse_options() in-process for the
 * record it fills (listen address and port, diversion, server list), which
 * no output shows; only scans that succeed can run in-process, since a
 * usage error ends the process.
 */
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <gtest/gtest.h>

#include "process.h"
#include "common/qildnsc.h"
#include "tmpdir.h"
#include "vgetopt.h"
#include "vtc_log.h"

namespace {

const char kUsage[] =
    "usage: qildnsc [options]\n"
    "    -b <file>                    # Path for IP blocklist\n"
    "    -c <file>                    # Path for CRoute\n"
    "    -d <addrs>                   # Set DNS server lists (comma separated)\n"
    "    -h                           # Show this help\n"
    "    -l <addr>                    # Address to listen. (default 0.0.0.0)\n"
    "    -p <port>                    # Port to listen. (default 53)\n"
    "    -X <ip:port>                 # Specify the HTTP proxy.\n"
    "    -w                           # Use WinDivert driver.\n"
    "    -t                           # Check the inputs, start nothing and exit.\n"
    "    -V                           # Show the version and build.\n"
    "    -C <entries>                 # Keep up to this many answers in a cache. (default 0: none)\n"
    "    -F <seconds>                 # SERVFAIL a query unanswered this long. (default 0: never)\n"
    "    -u <port>                    # Serve the query page on 127.0.0.1:<port>.\n"
    "    -T <file>                    # CA bundle for tls:// servers (default: the system's)\n"
    "    -N <seconds>                 # Cache empty answers without SOA this long. (default 60)\n";

/* Log entries as label, space, message: what follows "dnsc " on a line. */
const char kUseLine[] = "[INFO]  Use WinDivert driver.";
const char kPortWarning[] = "[WARN]  -p option is ignored due to -w option.";

const char kDateRe[] =
    "[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT";
const std::regex kBannerRe(std::string("^") + kDateRe +
    " \\[0\\.000000\\] dnsc \\[DEBUG\\] Quillet DNS Client v5\\.0\\.1 is running\\.$");
const std::regex kLineRe(std::string("^(") + kDateRe +
    ") \\[\\d+\\.\\d{6}\\] dnsc ((\\[ERROR\\]|\\[WARN\\] |\\[INFO\\] |\\[DEBUG\\]) .*)$");

/* The complete lines of a log text, without their newlines. */
std::vector<std::string>
complete_lines(const std::string &text)
{
	std::vector<std::string> lines;
	size_t start = 0, nl;
	while ((nl = text.find('\n', start)) != std::string::npos) {
		lines.push_back(text.substr(start, nl - start));
		start = nl + 1;
	}
	return lines;
}

/* The entry ("<label> <message>") of a well-formed log line. */
std::optional<std::string>
log_entry(const std::string &line)
{
	std::smatch m;
	if (!std::regex_match(line, m, kLineRe))
		return std::nullopt;
	return m[2].str();
}

bool
is_option_entry(const std::optional<std::string> &e)
{
	return e && (*e == kUseLine || *e == kPortWarning);
}

struct Outcome {
	std::optional<int> status; /* wait status, when it ended by itself */
	std::string err;           /* standard error */
	std::string log;           /* qildnsc_stdout.txt */
	std::vector<std::string> lines;
};

enum class Ends {
	exits,   /* a usage error: the binary exits during the scan */
	may_run, /* the scan succeeds; start-up goes on and may keep running */
};

/*
 * Runs qildnsc in `dir` until it is done with its command line: it has
 * exited, or (for Ends::may_run) its log has the banner and then a line
 * that the option scan does not write, which only a later start-up step
 * does. A binary still running then is killed.
 *
 * A scan that succeeds is preceded by options that make the rest of
 * start-up fail early and harmlessly: the configuration fetch goes to a
 * closed port on loopback, and the blocklist file does not exist. So no
 * run leaves the machine, binds a socket or starts packet diversion.
 */
Outcome
run_options(const qiltest::TmpDir &dir, const std::vector<std::string> &args,
            Ends ends, const std::vector<std::string> &env = {})
{
	std::vector<std::string> argv = qiltest::qildnsc_command();
	if (ends == Ends::may_run)
		argv.insert(argv.end(), {"-X", "127.0.0.1:9", "-b", "no-such-blocklist.txt"});
	argv.insert(argv.end(), args.begin(), args.end());
	const std::string logpath = dir.file("qildnsc_stdout.txt");
	qiltest::Process p(argv, dir.path(), env);
	bool done = qiltest::wait_until([&] {
		if (!p.running())
			return true;
		if (ends == Ends::exits)
			return false;
		/* What is there before the binary truncated the file is not its. */
		auto lines = complete_lines(qiltest::read_log(logpath));
		return lines.size() > 1 && std::regex_match(lines[0], kBannerRe) &&
		    std::any_of(lines.begin() + 1, lines.end(),
		        [](const std::string &l) { return !is_option_entry(log_entry(l)); });
	}, std::chrono::seconds(30));

	Outcome r;
	r.status = p.wait(std::chrono::milliseconds(0));
	r.err = p.stderr_text();
	r.log = qiltest::read_log(logpath);
	r.lines = complete_lines(r.log);
	EXPECT_TRUE(done) << "qildnsc neither exited nor went past its options\n"
	                  << "stderr:\n" << r.err << "log:\n" << r.log;
	if (r.lines.empty() || !std::regex_match(r.lines[0], kBannerRe))
		ADD_FAILURE() << "the log does not begin with the banner:\n" << r.log;
	return r;
}

std::string
args_text(const std::vector<std::string> &args)
{
	std::string s = "qildnsc";
	for (const auto &a : args)
		s += " '" + a + "'";
	return s;
}

/* A usage error: diagnostic and usage text on standard error, status 1,
 * and nothing logged after the banner but the option lines before it. */
TEST(OptionsBinary, UsageErrors)
{
	static const struct {
		std::vector<std::string> args;
		const char *diagnostic;
		std::vector<std::string> logged; /* after the banner */
	} cases[] = {
		{{"-h"}, "", {}},
		{{"-h", "-q"}, "", {}},
		{{"-hw"}, "", {}},
		{{"-q"}, "illegal option -- q\n", {}},
		{{"-:"}, "illegal option -- :\n", {}},
		{{"-d"}, "option requires an argument -- d\n", {}},
		{{"-X"}, "option requires an argument -- X\n", {}},
		{{"-w", "-l", "127.0.0.1", "-d"}, "option requires an argument -- d\n",
		 {kUseLine}},
		{{"-wh"}, "", {kUseLine}},
		{{"-wq"}, "illegal option -- q\n", {kUseLine}},
		{{"-w", "-p", "0", "-Z", "-w"}, "illegal option -- Z\n", {kUseLine}},
		/* a word, and all after it, would go unread: no scan stops early */
		{{"-w", "stray", "-l", "127.0.0.1", "-p", "5301"}, "unexpected argument -- stray\n",
		 {kUseLine}},
		{{"-w", "--", "-q"}, "unexpected argument -- -q\n", {kUseLine}},
		{{"-", "-w"}, "unexpected argument -- -\n", {}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(args_text(c.args));
		qiltest::TmpDir dir;
		Outcome r = run_options(dir, c.args, Ends::exits);
		ASSERT_TRUE(r.status.has_value());
		ASSERT_TRUE(WIFEXITED(*r.status)) << "wait status " << *r.status;
		EXPECT_EQ(WEXITSTATUS(*r.status), 1);
		EXPECT_EQ(r.err, std::string(c.diagnostic) + kUsage);

		std::vector<std::string> logged;
		for (size_t i = 1; i < r.lines.size(); i++)
			logged.push_back(log_entry(r.lines[i]).value_or(r.lines[i]));
		EXPECT_EQ(logged, c.logged);
		EXPECT_TRUE(!r.log.empty() && r.log.back() == '\n') << "a partial line in the log";
	}
}

/* A scan that succeeds: no usage error, and exactly the expected option
 * lines right after the banner, in order. */
TEST(OptionsBinary, OptionLines)
{
	static const struct {
		std::vector<std::string> args;
		std::vector<std::string> logged;
	} cases[] = {
		{{"-w", "-l", "127.0.0.1", "-p", "0", "-d", "127.0.0.1"}, {kUseLine}},
		/* -d's argument attached in a cluster with -w */
		{{"-wd192.0.2.1", "-l", "127.0.0.1", "-p", "0"}, {kUseLine}},
		/* a second -w turns diversion on again, and -p is then ignored */
		{{"-w", "-w", "-l", "127.0.0.1", "-p", "0", "-d", "127.0.0.1"},
		 {kUseLine, kUseLine, kPortWarning}},
		{{"-p", "99", "-l", "127.0.0.1", "-d", "127.0.0.1"}, {kPortWarning}},
		/* every argument is taken, or the final -w would not be reached */
		{{"-b", "no-bl.txt", "-c", "no-cr.txt", "-X", "127.0.0.1:9", "-d", "127.0.0.1",
		  "-l", "127.0.0.1", "-p", "0", "-w"},
		 {kUseLine}},
		/* an option's argument may begin with '-' */
		{{"-w", "-l", "127.0.0.1", "-d", "127.0.0.1", "-p", "-w"}, {kUseLine}},
		/* "--" ends the options; nothing may follow it */
		{{"-w", "-l", "127.0.0.1", "-p", "0", "-d", "127.0.0.1", "--"}, {kUseLine}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(args_text(c.args));
		qiltest::TmpDir dir;
		Outcome r = run_options(dir, c.args, Ends::may_run);
		EXPECT_EQ(r.err.find("usage:"), std::string::npos) << r.err;
		EXPECT_EQ(r.err.find("option"), std::string::npos) << r.err;

		std::vector<std::string> logged;
		size_t n_option_lines = 0;
		for (size_t i = 1; i < r.lines.size(); i++) {
			auto e = log_entry(r.lines[i]);
			if (is_option_entry(e))
				n_option_lines++;
			if (i <= c.logged.size())
				logged.push_back(e.value_or(r.lines[i]));
		}
		EXPECT_EQ(logged, c.logged) << r.log;
		EXPECT_EQ(n_option_lines, c.logged.size()) << r.log;
	}
}

/* A listening port the resolver would wrap (70000 is 4464 to it) is
 * refused: status 1, the reason and the rule on standard error. A service
 * name is the resolver's (OptionsRecord, startup_test). */
TEST(OptionsBinary, PortsOutsideTheRangeAreRefused)
{
	for (const char *port : {"0", "65536", "70000", "99999999999999999999", ""}) {
		SCOPED_TRACE(port);
		qiltest::TmpDir dir;
		Outcome r = run_options(dir, {"-w", "-l", "127.0.0.1", "-p", port}, Ends::exits);
		ASSERT_TRUE(r.status.has_value());
		EXPECT_TRUE(WIFEXITED(*r.status) && WEXITSTATUS(*r.status) == 1);
		std::string why = std::string("QILEC_00760: Invalid port to listen: ") + port +
		    " (it must be from 1 to 65535)";
		EXPECT_NE(r.log.find("[ERROR] " + why + "\n"), std::string::npos) << r.log;
		EXPECT_EQ(r.err, "qildnsc: " + why + " (see qildnsc_stdout.txt)\n"
		    "qildnsc: hint: -p takes a port number from 1 to 65535 or a service name, "
		    "such as -p 5300.\n");
	}
}

/* The query page's port is checked like the listening one; the Windows
 * build has no page and refuses -u whatever its port. */
TEST(OptionsBinary, QueryPagePortsAreCheckedAndWindowsHasNoPage)
{
	for (const char *port : {"0", "65536", "x80", "8053"}) {
		SCOPED_TRACE(port);
		bool windows = qiltest::testing_windows_build();
		if (std::string(port) == "8053" && !windows)
			continue; /* a good port: it would start */
		qiltest::TmpDir dir;
		Outcome r = run_options(dir, {"-w", "-l", "127.0.0.1", "-p", "5301", "-u", port},
		    Ends::exits);
		ASSERT_TRUE(r.status.has_value());
		EXPECT_TRUE(WIFEXITED(*r.status) && WEXITSTATUS(*r.status) == 1);
		std::string why = windows ?
		    "QILEC_00966: -u: the query page is not in the Windows build." :
		    std::string("QILEC_00967: Invalid port for the query page: ") + port +
		    " (it must be from 1 to 65535)";
		EXPECT_NE(r.log.find("[ERROR] " + why + "\n"), std::string::npos) << r.log;
	}
}

/* Each start writes a fresh log and keeps the previous one whole as ".1",
 * the earlier ones as ".2" to ".5": three -h in a row lose no log. */
TEST(OptionsBinary, EachStartKeepsThePreviousLogs)
{
	qiltest::TmpDir dir;
	const std::string old = std::string(4000, 'x') + "\nold line\nanother old line\n";
	qiltest::write_file(dir.file("qildnsc_stdout.txt"), old);
	Outcome first = run_options(dir, {"-w", "-l", "127.0.0.1", "-p", "0", "-d", "127.0.0.1"},
	    Ends::may_run);
	EXPECT_EQ(first.log.find("old line"), std::string::npos) << first.log;
	EXPECT_EQ(first.log.find("xxx"), std::string::npos);
	EXPECT_EQ(qiltest::read_log(dir.file("qildnsc_stdout.txt.1")), old);

	const std::string first_log = qiltest::read_log(dir.file("qildnsc_stdout.txt"));
	for (int i = 0; i < 3; i++) {
		Outcome again = run_options(dir, {"-h"}, Ends::exits);
		ASSERT_EQ(again.lines.size(), 1u) << again.log;
		EXPECT_EQ(again.log, again.lines[0] + "\n");
		EXPECT_TRUE(std::regex_match(again.lines[0], kBannerRe)) << again.log;
	}
	EXPECT_EQ(qiltest::read_log(dir.file("qildnsc_stdout.txt.3")), first_log);
	EXPECT_EQ(qiltest::read_log(dir.file("qildnsc_stdout.txt.4")), old);
	EXPECT_FALSE(std::filesystem::exists(dir.file("qildnsc_stdout.txt.5")));
}

TEST(OptionsBinary, LogDateIsGmtWhateverTheTimeZone)
{
	qiltest::TmpDir dir;
	/* Five hours east of Greenwich, no zone database needed. */
	Outcome r = run_options(dir, {"-h"}, Ends::exits, {"TZ=XST-5"});
	ASSERT_FALSE(r.lines.empty());
	struct tm tm = {};
	const char *end = strptime(r.lines[0].c_str(), "%a, %d %b %Y %T GMT", &tm);
	ASSERT_NE(end, nullptr) << r.lines[0];
	time_t logged = timegm(&tm);
	time_t now = time(nullptr);
	EXPECT_LT(std::abs((long)(now - logged)), 600L)
	    << "log date " << r.lines[0] << " is not near the current GMT time";
}

/* In-process: the record that parse_options() fills. */

const char *const kLabels[] = {"[ERROR]", "[WARN] ", "[INFO] ", "[DEBUG]", "[DEBUG]"};
std::vector<std::string> captured;

int
capture_line(int lvl, double, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	std::string msg = va_arg(ap, const char *); /* fmt is always "%s" */
	va_end(ap);
	if (!msg.empty() && msg.back() == '\n')
		msg.pop_back();
	captured.push_back(std::string(kLabels[lvl]) + " " + msg);
	return 0;
}

class OptionsRecord : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		if (vl == nullptr)
			vl = vtc_logopen("dnsc", capture_line);
	}

	void SetUp() override { reset(); }
	void TearDown() override { reset(); }

	/* Back to the values the record has before any scan. */
	static void reset()
	{
		for (char **f : {&dnsc_conf.listen_addr, &dnsc_conf.listen_port,
		         &dnsc_conf.dns_servers, &dnsc_conf.blacklist_path,
		         &dnsc_conf.croute_path, &dnsc_conf.http_proxy}) {
			free(*f);
			*f = nullptr;
		}
		dnsc_conf.dns_servers_cmdline = 0;
		dnsc_conf.use_windivert = 1;
		qil::optind = 1;
		qil::optreset = 1;
		captured.clear();
	}

	/* Scans `args`, then spoils the argument strings, so that a field
	 * pointing into them rather than holding a copy shows. */
	static void scan(const std::vector<std::string> &args)
	{
		std::vector<std::string> store{"qildnsc"};
		store.insert(store.end(), args.begin(), args.end());
		std::vector<char *> argv;
		for (auto &s : store)
			argv.push_back(s.data());
		argv.push_back(nullptr);
#if defined(__SANITIZE_ADDRESS__)
		/* A replaced option value may be dropped without being freed. */
		__lsan_disable();
#endif
		int rc = parse_options((int)store.size(), argv.data());
#if defined(__SANITIZE_ADDRESS__)
		__lsan_enable();
#endif
		EXPECT_EQ(rc, 0);
		for (auto &s : store)
			std::fill(s.begin(), s.end(), '#');
	}
};

std::string
text(const char *p)
{
	return p != nullptr ? p : "(unset)";
}

TEST_F(OptionsRecord, ListenAddressPortAndDiversion)
{
	static const struct {
		std::vector<std::string> args;
		const char *addr;
		const char *port;
		int windivert;
		std::vector<std::string> logged;
	} cases[] = {
		{{}, "127.0.0.1", "5353", 1, {}},
		{{"-w"}, "127.0.0.1", "53", 0, {kUseLine}},
		{{"-w", "-w"}, "127.0.0.1", "5353", 1, {kUseLine, kUseLine}},
		{{"-p", "99"}, "127.0.0.1", "5353", 1, {kPortWarning}},
		{{"-l", "127.0.0.2"}, "127.0.0.2", "5353", 1, {}},
		{{"-w", "-p", "8053", "-l", "127.0.0.2"}, "127.0.0.2", "8053", 0, {kUseLine}},
		{{"-w", "-p8053", "-l127.0.0.2"}, "127.0.0.2", "8053", 0, {kUseLine}},
		{{"-w", "-p", "1", "-p", "2"}, "127.0.0.1", "2", 0, {kUseLine}},
		/* a service name, for the resolver to turn into a number */
		{{"-w", "-p", "domain"}, "127.0.0.1", "domain", 0, {kUseLine}},
		{{"-w", "-p", "nosuchservice"}, "127.0.0.1", "nosuchservice", 0, {kUseLine}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(args_text(c.args));
		reset();
		scan(c.args);
		EXPECT_EQ(text(dnsc_conf.listen_addr), c.addr);
		EXPECT_EQ(text(dnsc_conf.listen_port), c.port);
		EXPECT_EQ(dnsc_conf.use_windivert, c.windivert);
		EXPECT_EQ(captured, c.logged);
	}
}

TEST_F(OptionsRecord, ServerListAndFilePaths)
{
	static const struct {
		std::vector<std::string> args;
		const char *servers;
		int cmdline;
		int windivert;
	} cases[] = {
		{{}, "(unset)", 0, 1},
		{{"-d", "127.0.0.1"}, "127.0.0.1", 1, 1},
		{{"-d", "127.0.0.1", "-d", "E127.0.0.2:5300,127.0.0.3"},
		 "E127.0.0.2:5300,127.0.0.3", 1, 1},
		{{"-wd192.0.2.1"}, "192.0.2.1", 1, 0},
		{{"-w", "-d", "-w"}, "-w", 1, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(args_text(c.args));
		reset();
		scan(c.args);
		EXPECT_EQ(text(dnsc_conf.dns_servers), c.servers);
		EXPECT_EQ(dnsc_conf.dns_servers_cmdline, c.cmdline);
		EXPECT_EQ(dnsc_conf.use_windivert, c.windivert);
	}

	reset();
	scan({"-b", "bl.txt", "-c", "route.txt", "-X", "127.0.0.1:8080", "-b", "bl2.txt"});
	EXPECT_EQ(text(dnsc_conf.blacklist_path), "bl2.txt");
	EXPECT_EQ(text(dnsc_conf.croute_path), "route.txt");
	EXPECT_EQ(text(dnsc_conf.http_proxy), "127.0.0.1:8080");
	EXPECT_EQ(text(dnsc_conf.dns_servers), "(unset)");
}

} // namespace
