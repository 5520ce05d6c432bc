/*
 * startup_test.cc -- what a start tells a person, with the real binary in
 * temporary directories: each failure of start-up with the log's message
 * and a hint on standard error, the previous log kept whole as ".1" and the
 * log's last line; a restart, and the echo on standard error for the
 * journal; -V and -t, which writes nothing; a second start from the same
 * directory. Linux build: signals and the C library's error texts.
 */
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "closed_port.h"
#include "dns_client.h"
#include "fake_http.h"
#include "forwarder_process.h"
#include "process.h"
#include "tmpdir.h"

using namespace std::chrono_literals;
using namespace qiltest;

namespace {

const std::string kLog = "qildnsc_stdout.txt";
const std::string kOldLog = "the previous run's log\n";
const std::string kDocument = R"({"cc": "US", "dns_servers": []})";
const std::string kFailedEnd = "QILEC_00900: Ended by a failed start-up; exit status 1.\n";
/* The last good document of a run before; never replaced but by a start
 * that works. */
const std::string kSavedName = "qildnsc_config.json";
const std::string kSaved = R"({"cc": "ZZ", "dns_servers": ["192.0.2.99"]})";

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

struct FailureCase {
	const char *name;
	const char *server; /* key of the configuration server */
	std::vector<std::string> args; /* "@" is a free port, "%" the taken one */
	std::string first;  /* standard error's first line */
	std::string hint;   /* in a "qildnsc: hint: " line; "" for a usage error */
};

/*
 * Every row runs at once, each in its own directory over an old log (and,
 * where the document is fetched, a saved one); the silent server costs the
 * fetch's whole 30 s deadline, which no setting shortens, so the table
 * takes that long.
 */
TEST(Startup, EachFailureSaysWhatToDo)
{
	ClosedPort refused;
	HttpScript hold;
	hold.end = HttpScript::End::Hold;
	hold.hold = 45s;
	FakeHttpServer silent(hold);
	FakeHttpServer not_found(HttpScript::response("HTTP/1.1 404 Not Found", {}, ""));
	FakeHttpServer good(HttpScript::json(kDocument));
	TakenPort taken;
	const std::map<std::string, std::string> servers = {
	    {"none", "QILDNSC_CONFIG_SERVER=config.qildnsc.invalid"},
	    {"refused", refused.config_env()},
	    {"silent", silent.config_env()},
	    {"404", not_found.config_env()},
	    {"good", good.config_env()}};
	const std::string conf = " (from QILDNSC_CONFIG_SERVER): ";
	const std::string fetch = "qildnsc: QILEC_XXXXX: fetch_qildnsc() failed. (see " + kLog + ")";
	const FailureCase cases[] = {
	    {"no_host", "none", {"-p", "@"}, fetch,
	     "configuration server config.qildnsc.invalid" + conf + "the name does not resolve. "
	     "Every start needs its /get/qildnsc.php, with -d too; "
	     "set QILDNSC_CONFIG_SERVER=host[:port] to use another."},
	    {"refused", "refused", {"-p", "@", "-d", "127.0.0.1:5399"}, fetch,
	     refused.host() + conf + "Connection refused."},
	    {"silent", "silent", {"-p", "@"}, fetch, silent.host() + conf + "no answer within 30 s."},
	    {"http_404", "404", {"-p", "@"},
	     "qildnsc: QILEC_00753: The result isn't object. (not JSON: on line 1: '[' or '{' "
	     "expected near end of file) (see " + kLog + ")",
	     not_found.host() + conf + "HTTP 404 Not Found instead of the document"},
	    {"port_taken", "good", {"-p", "%"},
	     "qildnsc: QILEC_00691: bind(2) for 127.0.0.1:% error: 98 Address already in use (see " + kLog + ")",
	     "another program uses 127.0.0.1:%; choose another with -l or -p."},
	    {"bad_port", "good", {"-p", "70000"},
	     "qildnsc: QILEC_00760: Invalid port to listen: 70000 (it must be from 1 to 65535) (see " +
	     kLog + ")",
	     "-p takes a port number from 1 to 65535 or a service name, such as -p 5300."},
	    {"stray_word", "good", {"stray", "-p", "@"}, "unexpected argument -- stray", ""},
	    {"directory_list", "good", {"-p", "@", "-b", "."},
	     "qildnsc: QILEC_00685: Failed to openopen IP blacklist: . (see " + kLog + ")",
	     "the blocklist .: Is a directory."},
	};
	auto fill = [&](std::string s) {
		for (size_t at; (at = s.find('%')) != std::string::npos;)
			s.replace(at, 1, taken.port);
		return s;
	};
	std::vector<std::unique_ptr<TmpDir>> dirs;
	std::vector<std::unique_ptr<Process>> runs;
	for (const FailureCase &c : cases) {
		dirs.push_back(std::make_unique<TmpDir>());
		write_file(dirs.back()->file(kLog), kOldLog);
		if (c.server == std::string("good"))
			write_file(dirs.back()->file(kSavedName), kSaved);
		std::vector<std::string> argv = qildnsc_command();
		argv.insert(argv.end(), {"-w", "-l", "127.0.0.1"});
		for (const std::string &a : c.args)
			argv.push_back(a == "@" ? std::to_string(pick_udp_port()) : fill(a));
		runs.push_back(std::make_unique<Process>(argv, dirs.back()->path(),
		    std::vector<std::string>{servers.at(c.server)}));
	}
	for (size_t i = 0; i < runs.size(); i++) {
		const FailureCase &c = cases[i];
		SCOPED_TRACE(c.name);
		EXPECT_EQ(exit_code(*runs[i], 40s), 1);
		std::string err = runs[i]->stderr_text(), log = read_log(dirs[i]->file(kLog));
		EXPECT_EQ(err.substr(0, err.find('\n')), fill(c.first)) << err;
		if (c.hint.empty()) {
			EXPECT_NE(err.find("\nusage: qildnsc [options]\n"), std::string::npos) << err;
		} else {
			EXPECT_NE(err.find("\nqildnsc: hint: "), std::string::npos) << err;
			EXPECT_NE(err.find(fill(c.hint)), std::string::npos) << err;
			EXPECT_EQ(log.substr(log.size() - std::min(log.size(), kFailedEnd.size())),
			    kFailedEnd) << log;
		}
		EXPECT_EQ(read_log(dirs[i]->file(kLog + ".1")), kOldLog);
		if (c.server == std::string("good")) {
			EXPECT_EQ(read_file(dirs[i]->file(kSavedName)), kSaved);
		}
	}
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
 * binds nothing (its port is held by the test), sets up no diversion and
 * writes nothing: the old log and the saved document stay as they were,
 * and no file is added. */
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
	    /* A service name: the resolver's number, or its refusal. */
	    {"check_service", {"-t", "-w", "-l", "127.0.0.1", "-p", "domain", "-b", "list.txt"}, 0,
	     "qildnsc: check passed, nothing started: would listen on 127.0.0.1:domain (UDP and "
	     "TCP); servers (none); blocklist 2 addresses (list.txt); log " + kLog + "\n"},
	    {"check_unknown_service", {"-t", "-w", "-l", "127.0.0.1", "-p", "nosuchservice"}, 1,
	     "qildnsc: QILEC_00690: getaddrinfo(3) for 127.0.0.1:nosuchservice error: " +
	     std::string(gai_strerror(EAI_SERVICE))},
	    {"check_diversion", {"-t", "-d", "127.0.0.1:5399"}, 0,
	     "qildnsc: check passed, nothing started: would divert this machine's DNS to "
	     "127.0.0.1:5353; servers 127.0.0.1:5399; log " + kLog + "\n"},
	    {"check_fails", {"-t", "-w", "-b", "missing.txt"}, 1,
	     "qildnsc: QILEC_00685: Failed to openopen IP blacklist: missing.txt"},
	    /* A TLS server: the bundle must hold a CA. */
	    {"check_tls_bundle", {"-t", "-w", "-d", "tls://127.0.0.1#dot.test", "-T", "list.txt"}, 1,
	     "qildnsc: QILEC_01033: No CA certificate read from list.txt (-T): no certificate in it"},
	    /* Diversion with no server would take the machine's DNS away. */
	    {"check_diversion_no_server", {"-t"}, 1,
	     "qildnsc: QILEC_01050: No DNS server to forward to: diverting would leave this "
	     "machine without DNS, so this one does not start (give servers with -d, or run "
	     "with -w)."},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		TmpDir dir;
		write_file(dir.file("list.txt"), "192.0.2.1\n192.0.2.2\n");
		write_file(dir.file(kLog), kOldLog);
		write_file(dir.file(kSavedName), kSaved);
		std::vector<std::string> argv = qildnsc_command();
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Process p(argv, dir.path(), {config.config_env()});
		EXPECT_EQ(exit_code(p, 15s), c.status);
		std::string err = p.stderr_text();
		EXPECT_EQ(c.err.back() == '\n' ? err : err.substr(0, err.find('\n')), c.err) << err;
		if (c.args[0] != "-t")
			continue;
		EXPECT_EQ(read_file(dir.file(kLog)), kOldLog);
		EXPECT_EQ(read_file(dir.file(kSavedName)), kSaved);
		/* Standard error is the harness's file. */
		for (const auto &f : std::filesystem::directory_iterator(dir.path())) {
			std::string name = f.path().filename();
			EXPECT_TRUE(name == "list.txt" || name == kLog || name == kSavedName ||
			    name.rfind("stderr.", 0) == 0) << name << " was added";
		}
	}
}

/*
 * A second start from the directory of a running one (on a port of its
 * own, so that only the log could stop it) is refused before it touches
 * that log: the first one's file stays whole, not moved aside, and the
 * first goes on writing to it.
 */
TEST(Startup, ASecondStartFromTheSameDirectoryLeavesTheLogAlone)
{
	FakeHttpServer config(HttpScript::json(kDocument));
	TmpDir dir;
	std::unique_ptr<Process> first;
	std::string err;
	start_forwarder(dir, {"-d", "127.0.0.1:5399"}, {config.config_env()}, 15s, &first, &err);
	ASSERT_FALSE(::testing::Test::HasFatalFailure()) << err;
	const std::string before = read_log(dir.file(kLog));

	Process second(forwarder_argv(pick_udp_port(), {"-d", "127.0.0.1:5399"}), dir.path(),
	    {config.config_env()});
	EXPECT_EQ(exit_code(second, 15s), 1);
	EXPECT_EQ(second.stderr_text(), "qildnsc: QILEC_01051: Another qildnsc runs from this "
	    "directory (it writes " + kLog + "); this one does not start and leaves that log "
	    "alone.\n");
	EXPECT_FALSE(std::filesystem::exists(dir.file(kLog + ".1")));
	EXPECT_EQ(read_log(dir.file(kLog)).substr(0, before.size()), before);

	first->signal(SIGUSR1);
	EXPECT_TRUE(wait_until([&] {
		return read_log(dir.file(kLog)).find("queries over UDP") != std::string::npos;
	}, 10s)) << "the first one no longer logs";
	first->signal(SIGTERM);
	EXPECT_EQ(exit_code(*first, 10s), 0);
}

} // namespace
