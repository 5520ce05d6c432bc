/*
 * startup_test.cc -- what a start tells a person, with the real binary in
 * temporary directories: the previous log kept whole as ".1" and the log's
 * last line over a restart, and the echo on standard error for the
 * journal; -V and -t. Linux build: signals.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns_client.h"
#include "fake_http.h"
#include "forwarder_process.h"
#include "process.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;

namespace {

const std::string kLog = "qildnsc_stdout.txt";
const std::string kDocument = R"({"cc": "US", "dns_servers": []})";

/* A UDP port held bound on 127.0.0.1, as another program would hold it. */
struct TakenPort {
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	std::string port = hold(fd);
	~TakenPort() { (void)close(fd); }

	static std::string hold(int fd)
	{
		sockaddr_in sa{};
		sa.sin_family = AF_INET;
		sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t sl = sizeof sa;
		EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sl), 0);
		EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl), 0);
		return std::to_string(ntohs(sa.sin_port));
	}
};

/* The exit code of a process that ended by itself within `limit`; -1 when
 * it did not (it is then killed with the Process). */
int
exit_code(Process &p, std::chrono::milliseconds limit)
{
	auto st = p.wait(limit);
	return st && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
}

/*
 * Two runs in one directory, the second with JOURNAL_STREAM set: the first
 * run's log is kept whole, its last line saying how it ended; the second's
 * standard error holds the warnings as they come, the start's line and
 * the end, in that order.
 */
TEST(Startup, ARestartKeepsTheLogAndTheJournalSeesStartWarningsAndEnd)
{
	FakeHttpServer config(HttpScript::json(kDocument));
	TmpDir dir;
	write_file(dir.file("list.txt"), "192.0.2.1\nnot-an-address\n");
	std::string err;

	for (std::string env : {"JOURNAL_STREAM=", "JOURNAL_STREAM=8:12345"}) {
		uint16_t port = pick_udp_port();
		Process p(forwarder_argv(port, {"-d", "127.0.0.1:5399", "-b", "list.txt"}), dir.path(),
		    {config.config_env(), env});
		std::string ready = "Listening on 127.0.0.1:" + std::to_string(port) + "\n";
		EXPECT_TRUE(wait_until([&] {
			return read_log(dir.file(kLog)).find(ready) != std::string::npos || !p.running();
		}, 15s));
		p.signal(env.size() > 15 ? SIGUSR2 : SIGTERM);
		EXPECT_EQ(exit_code(p, 10s), 0);
		err = p.stderr_text();
	}
	std::string first = read_log(dir.file(kLog + ".1"));
	const std::string end = "QILEC_00900: Ended by signal 15 (SIGTERM); exit status 0.\n";
	/* From its first line, the banner, to its last. */
	EXPECT_LT(first.find(" Quillet DNS Client v5.0.1 is running.\n"), first.find('\n')) << first;
	EXPECT_EQ(first.substr(first.size() - std::min(first.size(), end.size())), end) << first;

	size_t warning = err.find("qildnsc: warning: QILEC_00902: list.txt:2: \"not-an-address\" "
	                          "is not an address; line skipped.\n");
	size_t start = err.find(" (UDP and TCP); servers 127.0.0.1:5399; blocklist 1 addresses "
	                        "(list.txt); log qildnsc_stdout.txt\n");
	size_t stop = err.find("qildnsc: ended by signal 12 (SIGUSR2); exit status 0\n");
	EXPECT_TRUE(warning < start && start < stop && stop != std::string::npos) << err;
}

/* -V and -t: what they print on standard error and their status; a check
 * binds nothing (its port is held by the test) and sets up no diversion. */
TEST(Startup, VersionAndCheck)
{
	FakeHttpServer config(HttpScript::json(kDocument));
	TakenPort taken;
	const struct {
		const char *name;
		std::vector<std::string> args;
		int status;
		std::string err; /* its first line, or all of it when it ends in "\n" */
	} cases[] = {
	    {"version", {"-V"}, 0, "qildnsc 5.0.1 (Quillet DNS Client)"},
	    {"check", {"-t", "-w", "-l", "127.0.0.1", "-p", taken.port, "-b", "list.txt"}, 0,
	     "qildnsc: check passed, nothing started: would listen on 127.0.0.1:" + taken.port +
	     " (UDP and TCP); servers (none); blocklist 2 addresses (list.txt); log " + kLog + "\n"},
	    {"check_diversion", {"-t", "-d", "127.0.0.1:5399"}, 0,
	     "qildnsc: check passed, nothing started: would divert this machine's DNS to "
	     "127.0.0.1:5353; servers 127.0.0.1:5399; log " + kLog + "\n"},
	    {"check_fails", {"-t", "-w", "-b", "missing.txt"}, 1,
	     "qildnsc: QILEC_00685: Failed to openopen IP blacklist: missing.txt (see " + kLog + ")"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		TmpDir dir;
		write_file(dir.file("list.txt"), "192.0.2.1\n192.0.2.2\n");
		std::vector<std::string> argv = qildnsc_command();
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Process p(argv, dir.path(), {config.config_env()});
		EXPECT_EQ(exit_code(p, 15s), c.status);
		std::string err = p.stderr_text();
		EXPECT_EQ(c.err.back() == '\n' ? err : err.substr(0, err.find('\n')), c.err) << err;
	}
}

} // namespace
