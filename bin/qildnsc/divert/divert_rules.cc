/*
 * divert_rules.cc -- the rules of diversion, put in place by running the
 * system's iptables and ip6tables commands (iptables-nft on current Debian,
 * iptables-legacy where the kernel lacks the nftables queue expression).
 *
 * Diversion thread at start-up; the first thread at "Exit".
 */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/qildnsc.h"
#include "divert/divert_rewrite.h"
#include "divert/divert_rules.h"
#include "vtc_log.h"

extern char **environ;

/* What differs between the two families' rules: the resolvers that are
 * asked directly (any address on the loopback) and the forwarder's
 * address. */
struct divert_family {
	const char *loopback_net;
	const char *listen_addr;
	/* Servers whose DNS over TCP goes through the queue, not NAT
	 * (divert_rewrite.h); NULL: none. */
	const char *scoped_net;
};

static const struct divert_family divert_ipv4 = {"127.0.0.0/8", "127.0.0.1", NULL};
static const struct divert_family divert_ipv6 = {"::1/128", "::1", "fe80::/10"};

void
divert_rules_init(struct divert_rules *rl)
{
	rl->magic = DIVERT_RULES_MAGIC;
	rl->iptables_cmd = "iptables";
	rl->ip6tables_cmd.clear();
	rl->installed = false;
	rl->installed6 = false;
}

/* Runs `<prog> -w -t <table> <args>` quietly; its exit status, or -1. */
static int
divert_iptables_in(const char *prog, const char *table, const std::vector<std::string> &args)
{
	std::vector<std::string> full = {prog, "-w", "-t", table};
	full.insert(full.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : full)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	posix_spawn_file_actions_t fa;
	AZ(posix_spawn_file_actions_init(&fa));
	/* Its chatter must not land in our log. */
	(void)posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
	(void)posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
	/*
	 * Our threads keep the exit signals blocked for the shell's
	 * sigwait(); a child would inherit that, and an iptables waiting for
	 * its lock (-w) could then not be stopped. It starts clean.
	 */
	posix_spawnattr_t attr;
	sigset_t none, dfl;
	AZ(posix_spawnattr_init(&attr));
	(void)sigemptyset(&none);
	(void)sigemptyset(&dfl);
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
		(void)sigaddset(&dfl, sig);
	AZ(posix_spawnattr_setsigmask(&attr, &none));
	AZ(posix_spawnattr_setsigdefault(&attr, &dfl));
	AZ(posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
	pid_t pid;
	int r = posix_spawnp(&pid, prog, &fa, &attr, argv.data(), environ);
	(void)posix_spawnattr_destroy(&attr);
	(void)posix_spawn_file_actions_destroy(&fa);
	if (r != 0)
		return -1;
	int st;
	while (waitpid(pid, &st, 0) == -1)
		if (errno != EINTR)
			return -1;
	return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

/* Removes our chain of `table` and every jump into it; 0 when none is
 * left. */
static int
divert_chain_remove(const char *prog, const char *table)
{
	/* Bounded, in case a crashed run left several jumps. */
	for (int i = 0; i < 16; i++)
		if (divert_iptables_in(prog, table, {"-D", "OUTPUT", "-j", DIVERT_CHAIN}) != 0)
			break;
	(void)divert_iptables_in(prog, table, {"-F", DIVERT_CHAIN});
	(void)divert_iptables_in(prog, table, {"-X", DIVERT_CHAIN});
	return divert_iptables_in(prog, table, {"-S", DIVERT_CHAIN}) == 0 ? -1 : 0;
}

/* Removes the IPv4 rules; 0 when none remain. */
static int
divert_rules_remove4(struct divert_rules *rl)
{
	int nat = divert_chain_remove(rl->iptables_cmd, "nat");
	int mangle = divert_chain_remove(rl->iptables_cmd, "mangle");
	rl->installed = false;
	return nat == 0 && mangle == 0 ? 0 : -1;
}

/* Removes the IPv6 rules; 0 when none remain. */
static int
divert_rules_remove6(struct divert_rules *rl)
{
	int r = 0;
	if (!rl->ip6tables_cmd.empty()) {
		int nat = divert_chain_remove(rl->ip6tables_cmd.c_str(), "nat");
		int mangle = divert_chain_remove(rl->ip6tables_cmd.c_str(), "mangle");
		r = nat == 0 && mangle == 0 ? 0 : -1;
	}
	rl->installed6 = false;
	return r;
}

int
divert_rules_remove(struct divert_rules *rl)
{
	CHECK_OBJ_NOTNULL(rl, DIVERT_RULES_MAGIC);
	int r6 = rl->installed6 ? divert_rules_remove6(rl) : 0;
	int r4 = rl->installed ? divert_rules_remove4(rl) : 0;
	return r4 == 0 && r6 == 0 ? 0 : -1;
}

/* Appends `rules` to `table` in order; 0, or the first failing command's
 * status (what came before it stays). */
static int
divert_rules_append(const char *prog, const char *table,
                    const std::vector<std::vector<std::string>> &rules)
{
	for (const auto &rule : rules) {
		int r = divert_iptables_in(prog, table, rule);
		if (r != 0)
			return r;
	}
	return 0;
}

/*
 * DNS over TCP: the kernel's NAT sends every outgoing connection to port
 * 53 to our listening port (on the family's loopback address), so no TCP
 * segment ever passes through the queue. Without a nat table DNS over TCP
 * simply goes where it was sent: 0, or the failing command's status
 * (nothing left behind).
 */
static int
divert_tcp_rules_add(const char *prog, const struct divert_family *f)
{
	const std::string mark = std::to_string(QILDNSC_UPSTREAM_MARK);
	std::vector<std::vector<std::string>> rules = {
		{"-N", DIVERT_CHAIN},
		/* Our own upstream connections go where they are sent. */
		{"-A", DIVERT_CHAIN, "-m", "mark", "--mark", mark, "-j", "RETURN"},
	};
	/* The queue's: what reaches this table passed it unjudged (no
	 * forwarder holds the queue) and goes where it was sent. */
	if (f->scoped_net != NULL)
		rules.push_back({"-A", DIVERT_CHAIN, "-d", f->scoped_net, "-j", "RETURN"});
	/* A resolver on the loopback is asked directly (divert_rewrite.h). */
	rules.push_back({"-A", DIVERT_CHAIN, "-p", "tcp", "!", "-d", f->loopback_net, "--dport",
	    "53", "-j", "REDIRECT", "--to-ports", std::to_string(DIVERT_LISTEN_PORT)});
	rules.push_back({"-I", "OUTPUT", "-j", DIVERT_CHAIN});
	int r = divert_rules_append(prog, "nat", rules);
	if (r != 0)
		(void)divert_chain_remove(prog, "nat");
	return r;
}

/*
 * The queue sees what the rewrite may change and nothing more: queries to
 * port 53 of any server off the loopback, and the forwarder's replies,
 * which go from its address port 5353 to that address over lo, marked by
 * the listening socket (divert_share_listener()). A multicast DNS
 * responder's packets from port 5353 leave by other interfaces or from
 * other addresses, and never make the round trip through our thread.
 */
static int
divert_queue_rules_add(const char *prog, const struct divert_family *f)
{
	const std::string queue = std::to_string(DIVERT_QUEUE_NUM);
	const std::string mark = std::to_string(QILDNSC_UPSTREAM_MARK);
	const std::string listen = std::to_string(DIVERT_LISTEN_PORT);
	const std::string listen_mark = std::to_string(DIVERT_LISTEN_MARK);
	std::vector<std::vector<std::string>> rules = {
		{"-N", DIVERT_CHAIN},
		/* Our own upstream queries are never diverted back to us. */
		{"-A", DIVERT_CHAIN, "-m", "mark", "--mark", mark, "-j", "RETURN"},
		{"-A", DIVERT_CHAIN, "-p", "udp", "!", "-d", f->loopback_net, "--dport", "53",
		    "-j", "NFQUEUE", "--queue-num", queue, "--queue-bypass"},
		{"-A", DIVERT_CHAIN, "-o", "lo", "-s", f->listen_addr, "-d", f->listen_addr, "-p",
		    "udp", "--sport", listen, "-m", "mark", "--mark", listen_mark, "-j", "NFQUEUE",
		    "--queue-num", queue, "--queue-bypass"},
	};
	/* DNS over TCP to a link-local server, both ways (divert_rewrite.h);
	 * the TCP listener marks its segments like the datagram one. */
	if (f->scoped_net != NULL) {
		rules.push_back({"-A", DIVERT_CHAIN, "-p", "tcp", "-d", f->scoped_net, "--dport",
		    "53", "-j", "NFQUEUE", "--queue-num", queue, "--queue-bypass"});
		rules.push_back({"-A", DIVERT_CHAIN, "-o", "lo", "-s", f->listen_addr, "-d",
		    f->listen_addr, "-p", "tcp", "--sport", listen, "-m", "mark", "--mark",
		    listen_mark, "-j", "NFQUEUE", "--queue-num", queue, "--queue-bypass"});
	}
	rules.push_back({"-I", "OUTPUT", "-j", DIVERT_CHAIN});
	return divert_rules_append(prog, "mangle", rules);
}

/* Installs the IPv4 queue rules with `prog`; 0 or the failing command's
 * status (nothing left behind). */
static int
divert_rules_try4(struct divert_rules *rl, const char *prog)
{
	rl->iptables_cmd = prog;
	(void)divert_rules_remove4(rl);
	int r = divert_queue_rules_add(prog, &divert_ipv4);
	if (r != 0)
		(void)divert_rules_remove4(rl);
	return r;
}

/* The IPv6 twin of the iptables program `v4`: the last "iptables" in its
 * file name made "ip6tables", in the same directory; "" without one. */
static std::string
divert_ip6tables_of(const char *v4)
{
	std::string cmd = v4;
	size_t base = cmd.rfind('/');
	size_t at = cmd.rfind("iptables");
	if (at == std::string::npos || (base != std::string::npos && at < base))
		return "";
	return cmd.replace(at, strlen("iptables"), "ip6tables");
}

/* The IPv6 queue rules beside the IPv4 ones, and with `tcp` the nat rule
 * of DNS over TCP; IPv6 DNS stays undiverted (logged, nothing left behind)
 * when the queue rules cannot be had. */
static void
divert_rules_install6(struct divert_rules *rl, bool tcp)
{
	rl->ip6tables_cmd = divert_ip6tables_of(rl->iptables_cmd);
	int r = -1;
	if (!rl->ip6tables_cmd.empty()) {
		(void)divert_rules_remove6(rl);
		r = divert_queue_rules_add(rl->ip6tables_cmd.c_str(), &divert_ipv6);
		if (r != 0)
			(void)divert_rules_remove6(rl);
	}
	if (r == 0) {
		rl->installed6 = true;
		r = tcp ? divert_tcp_rules_add(rl->ip6tables_cmd.c_str(), &divert_ipv6) : 0;
		if (r != 0)
			vtc_log(vl, VTCLOG_WARN, "QILEC_00952: DNS over TCP over IPv6 is not "
			    "diverted: the nat rules cannot be installed (%d).", r);
		return;
	}
	vtc_log(vl, VTCLOG_WARN, "QILEC_00951: DNS over IPv6 is not diverted: %s cannot "
	    "install the rules (%d).", rl->ip6tables_cmd.empty() ? "no ip6tables" :
	    rl->ip6tables_cmd.c_str(), r);
}

int
divert_rules_install(struct divert_rules *rl, bool ipv6, bool tcp6)
{
	CHECK_OBJ_NOTNULL(rl, DIVERT_RULES_MAGIC);
	const char *chosen = getenv("QILDNSC_IPTABLES");
	bool given = chosen != NULL && *chosen != '\0';
	int r = divert_rules_try4(rl, given ? chosen : "iptables");
	if (r != 0 && !given)
		r = divert_rules_try4(rl, "iptables-legacy");
	if (r != 0) {
		rl->iptables_cmd = "iptables";
		return r;
	}
	rl->installed = true;
	r = divert_tcp_rules_add(rl->iptables_cmd, &divert_ipv4);
	if (r != 0)
		vtc_log(vl, VTCLOG_WARN,
		    "QILEC_00831: DNS over TCP is not diverted: the nat rules cannot be installed (%d).",
		    r);
	if (ipv6)
		divert_rules_install6(rl, tcp6);
	return 0;
}
