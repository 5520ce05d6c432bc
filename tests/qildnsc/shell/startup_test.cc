/*
 * startup_test.cc -- what a start tells a person, with the real binary in
 * temporary directories: each failure of start-up with the log's message
 * and a hint on standard error, the previous log kept whole as ".1" and the
 * log's last line; a restart, and the echo on standard error for the
 * journal, the counters there; -V and -t, which write nothing; a link or a
 * FIFO at the log's names; a second start from the same directory. Linux build: signals and the C library's error texts.
 */
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "closed_port.h"
#include "config/config.h"
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
	     "set QILDNSC_CONFIG_SERVER=host[:port] to use another, file:PATH to read the "
	     "document from a file, or none to use -d's servers alone."},
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
 * standard error holds the warnings as they come, the start's line, the
 * counters SIGUSR1 asks for and the end, in that order.
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
		if (env.size() > 15) {
			p.signal(SIGUSR1);
			EXPECT_TRUE(wait_until([&] {
				return p.stderr_text().find("qildnsc:   server 127.0.0.1:5399: ") !=
				    std::string::npos;
			}, 10s)) << p.stderr_text();
		}
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
	size_t counters = err.find("qildnsc: Statistics:\nqildnsc:   queries over UDP: 0\n");
	size_t stop = err.find("qildnsc: ended by signal 12 (SIGUSR2); exit status 0\n");
	EXPECT_TRUE(warning < start && start < counters && counters < stop &&
	    stop != std::string::npos) << err;
	/* The optional files' absence is the log's alone. */
	EXPECT_NE(first.find("[ERROR] QILEC_XXXXX: error while parsing JSON format: on line -1: "),
	    std::string::npos) << first;
	EXPECT_NE(first.find("[WARN]  [WARN] No CRoute file found.\n"), std::string::npos) << first;
	EXPECT_EQ(err.find(STATIC_NODES_FILE), std::string::npos) << err;
	EXPECT_EQ(err.find("CRoute"), std::string::npos) << err;
}

/* The directory's files, each with its content. */
std::map<std::string, std::string>
files_of(const TmpDir &dir)
{
	std::map<std::string, std::string> files;
	for (const auto &f : std::filesystem::directory_iterator(dir.path()))
		files[f.path().filename()] = read_file(f.path());
	return files;
}

/* -V and -t: what they print and their status. Neither writes to the
 * directory: the old log, the saved document and every other file stay
 * byte for byte, and no file is added but the harness's standard error.
 * A check binds nothing (its port is held by the test), sets up no
 * diversion, shows its warnings on standard error (it has no log), and
 * fails on any line or entry its inputs lost. */
TEST(Startup, VersionAndCheck)
{
	FakeHttpServer config(HttpScript::json(kDocument));
	FakeHttpServer refusing(HttpScript::json(
	    R"({"cc": "US", "dns_servers": ["192.0.2.1", "192.0.2.2,x", "a b"]})"));
	TakenPort taken;
	const std::string none = "QILDNSC_CONFIG_SERVER=none";
	const std::string no_server = "qildnsc: warning: [WARN] No DNS server to forward to: "
	    "every query will go unanswered.\n";
	const std::vector<std::string> skipped = {"-t", "-w", "-p", taken.port, "-b", "bad.txt",
	    "-c", "bad.txt"};
	const struct {
		const char *name;
		std::vector<std::string> args;
		int status;
		std::string out; /* standard output */
		std::string err; /* its first line, or all of it when it ends in "\n" */
		std::string env;
	} cases[] = {
	    {"version", {"-V"}, 0, "qildnsc 5.0.1 (Quillet DNS Client)\n", "\n", ""},
	    {"check", {"-t", "-w", "-l", "127.0.0.1", "-p", taken.port, "-b", "list.txt"}, 0, "",
	     no_server + "qildnsc: check passed, nothing started: would listen on 127.0.0.1:" +
	     taken.port + " (UDP and TCP); servers (none); blocklist 2 addresses (list.txt); log " +
	     kLog + "\n", ""},
	    /* A service name: the resolver's number, or its refusal. */
	    {"check_service", {"-t", "-w", "-l", "127.0.0.1", "-p", "domain", "-b", "list.txt"}, 0,
	     "", no_server + "qildnsc: check passed, nothing started: would listen on "
	     "127.0.0.1:domain (UDP and TCP); servers (none); blocklist 2 addresses (list.txt); "
	     "log " + kLog + "\n", ""},
	    {"check_unknown_service", {"-t", "-w", "-l", "127.0.0.1", "-p", "nosuchservice", "-d",
	     "192.0.2.1"}, 1, "", "qildnsc: QILEC_00690: getaddrinfo(3) for "
	     "127.0.0.1:nosuchservice error: " + std::string(gai_strerror(EAI_SERVICE)), ""},
	    {"check_diversion", {"-t", "-d", "192.0.2.1,192.0.2.2:5399"}, 0, "",
	     "qildnsc: check passed, nothing started: would divert this machine's DNS to "
	     "127.0.0.1:5353; servers 192.0.2.1:53,192.0.2.2:5399; log " + kLog + "\n", ""},
	    {"check_fails", {"-t", "-w", "-b", "missing.txt"}, 1, "",
	     "qildnsc: QILEC_00685: Failed to openopen IP blacklist: missing.txt", ""},
	    /* A TLS server: the bundle must hold a CA. */
	    {"check_tls_bundle", {"-t", "-w", "-d", "tls://127.0.0.1#dot.test", "-T", "list.txt"}, 1,
	     "", "qildnsc: QILEC_01033: No CA certificate read from list.txt (-T): no certificate "
	     "in it", ""},
	    /* Diversion with no server would take the machine's DNS away. */
	    {"check_diversion_no_server", {"-t"}, 1, "", no_server +
	     "qildnsc: QILEC_01050: No DNS server to forward to: diverting would leave this "
	     "machine without DNS, so this one does not start (give servers with -d, or run "
	     "with -w).\n", ""},
	    /* Every line and entry lost is named, beyond the three a start names. */
	    {"check_skipped", skipped, 1, "", "", refusing.config_env()},
	    {"check_none_without_d", {"-t", "-w"}, 1, "",
	     "qildnsc: QILEC_01110: QILDNSC_CONFIG_SERVER=none fetches no configuration document, "
	     "so -d must give the servers (such as -d @network, this machine's resolvers).\n", none},
	    {"check_none", {"-t", "-w", "-p", taken.port, "-d", "192.0.2.1"}, 0, "",
	     "qildnsc: check passed, nothing started: would listen on 127.0.0.1:" + taken.port +
	     " (UDP and TCP); servers 192.0.2.1:53; log " + kLog + "\n", none},
	};
	TmpDir outside;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		TmpDir dir;
		write_file(dir.file("list.txt"), "192.0.2.1\n192.0.2.2\n");
		write_file(dir.file("bad.txt"), "a\nb\n192.0.2.1\nc\nd\n");
		write_file(dir.file(kLog), kOldLog);
		write_file(dir.file(kSavedName), kSaved);
		const auto before = files_of(dir);
		std::vector<std::string> argv = qildnsc_command();
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		const std::string out = outside.file(std::string(c.name) + ".out");
		Process p(argv, dir.path(), {c.env.empty() ? config.config_env() : c.env}, out);
		EXPECT_EQ(exit_code(p, 15s), c.status);
		std::string err = p.stderr_text();
		EXPECT_EQ(read_log(out).substr(0, c.out.size()), c.out);
		if (c.err == "\n") {
			EXPECT_EQ(err, "");
		} else if (!c.err.empty()) {
			EXPECT_EQ(c.err.back() == '\n' ? err : err.substr(0, err.find('\n')), c.err) << err;
		}
		/* Standard error is the harness's file. */
		auto after = files_of(dir);
		for (auto f = after.begin(); f != after.end();)
			f = f->first.rfind("stderr.", 0) == 0 ? after.erase(f) : std::next(f);
		EXPECT_EQ(after, before);
	}
	/* The check that lost lines and entries: each named, then the count. */
	TmpDir dir;
	write_file(dir.file("bad.txt"), "a\nb\n192.0.2.1\nc\nd\n");
	std::vector<std::string> argv = qildnsc_command();
	argv.insert(argv.end(), skipped.begin(), skipped.end());
	Process p(argv, dir.path(), {refusing.config_env()});
	EXPECT_EQ(exit_code(p, 15s), 1);
	std::string err = p.stderr_text();
	for (const char *line : {"a\" is not an address; line skipped.", "d\" is not an address"})
		EXPECT_EQ(count_of(err, line), 2u) << err; /* once for each table */
	EXPECT_EQ(count_of(err, "qildnsc: warning: QILEC_00902: bad.txt:"), 8u) << err;
	EXPECT_EQ(count_of(err, "qildnsc: warning: QILEC_00791: dns_servers entry "), 2u) << err;
	EXPECT_NE(err.find("qildnsc: QILEC_01113: Check failed: 8 list lines and 2 server entries "
	    "were skipped (each named above).\n"), std::string::npos) << err;
}

/*
 * -d @network reads the resolv.conf the machine has: here one bound over
 * /etc/resolv.conf in a mount namespace of the check's own (and a /run of
 * its own for the stub resolver's file), with no configuration server.
 */
TEST(Startup, NetworkResolversAreThoseOfResolvConf)
{
	if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
		GTEST_SKIP() << "a mount namespace of its own needs root and /usr/bin/unshare";
	const struct {
		const char *name;
		const char *conf, *stub; /* stub: nullptr for no stub's file */
		const char *servers;
	} rows[] = {
	    {"lan", "search lan\nnameserver 192.0.2.1\nnameserver 2001:db8::53\n", nullptr,
	     "192.0.2.1:53,[2001:db8::53]:53"},
	    {"stub", "nameserver 127.0.0.53\noptions edns0\n", "nameserver 198.51.100.1\n",
	     "198.51.100.1:53"},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		TmpDir dir;
		write_file(dir.file("resolv.conf"), r.conf);
		write_file(dir.file("stub.conf"), r.stub != nullptr ? r.stub : "");
		std::string script = "mount --bind resolv.conf /etc/resolv.conf && "
		    "mount -t tmpfs tmpfs /run";
		if (r.stub != nullptr)
			script += " && mkdir -p /run/systemd/resolve && "
			    "cp stub.conf /run/systemd/resolve/resolv.conf";
		std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "sh", "-c", script + " && exec \"$@\"",
		    "sh"};
		for (const std::string &a : qildnsc_command())
			argv.push_back(a);
		argv.insert(argv.end(), {"-t", "-w", "-p", "domain", "-d", "@network"});
		Process p(argv, dir.path(), {"QILDNSC_CONFIG_SERVER=none"});
		EXPECT_EQ(exit_code(p, 15s), 0);
		EXPECT_EQ(p.stderr_text(), "qildnsc: check passed, nothing started: would listen on "
		    "127.0.0.1:domain (UDP and TCP); servers " + std::string(r.servers) + "; log " +
		    kLog + "\n");
	}
}

/*
 * A link or a FIFO planted at the log's name refuses the start (a link
 * would have us write its target, a FIFO hang the start); at a kept log's
 * name it is moved on like a log, itself. Nothing outside the directory
 * changes either way.
 */
TEST(Startup, ALinkOrAFifoAtTheLogsNamesChangesNothingOutside)
{
	TmpDir outside;
	const std::string target = outside.file("target");
	const struct {
		const char *name;
		std::string at;
		bool fifo;
		std::string moved_to; /* "" when the start is refused */
	} rows[] = {
	    {"link_at_the_log", kLog, false, ""},
	    {"fifo_at_the_log", kLog, true, ""},
	    {"link_at_the_first_kept", kLog + ".1", false, kLog + ".2"},
	    {"fifo_at_the_fourth_kept", kLog + ".4", true, kLog + ".5"},
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.name);
		TmpDir dir;
		write_file(target, "outside\n");
		const std::string at = dir.file(r.at);
		ASSERT_EQ(r.fifo ? mkfifo(at.c_str(), 0600) : symlink(target.c_str(), at.c_str()), 0);
		uint16_t port = pick_udp_port();
		Process p(forwarder_argv(port, {"-d", "127.0.0.1:5399"}), dir.path(),
		    {"QILDNSC_CONFIG_SERVER=none"});
		if (r.moved_to.empty()) {
			EXPECT_EQ(exit_code(p, 10s), 1);
			EXPECT_EQ(p.stderr_text(), "qildnsc: QILEC_01100: The log " + kLog + " is " +
			    (r.fifo ? "not a regular file" : "a symbolic link") + "; this one does not "
			    "start (remove it, or start from another directory).\n");
		} else {
			EXPECT_TRUE(wait_until([&] {
				return read_log(dir.file(kLog)).find("Listening on") != std::string::npos;
			}, 15s)) << p.stderr_text();
			p.signal(SIGTERM);
			EXPECT_EQ(exit_code(p, 10s), 0);
			EXPECT_TRUE(std::filesystem::is_regular_file(
			    std::filesystem::symlink_status(dir.file(kLog))));
		}
		const std::string now = r.moved_to.empty() ? at : dir.file(r.moved_to);
		auto st = std::filesystem::symlink_status(now);
		EXPECT_TRUE(r.fifo ? std::filesystem::is_fifo(st) : std::filesystem::is_symlink(st));
		EXPECT_EQ(read_file(target), "outside\n");
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
