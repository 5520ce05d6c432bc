/*
 * divert_rules.h -- the netfilter rules of diversion on Linux, installed
 * and removed with the system's iptables command and its IPv6 twin: a
 * chain of our own in the mangle table sends DNS to the queue, and a chain
 * of the same name in the nat table redirects DNS over TCP to the
 * forwarder's TCP listener.
 */
#ifndef QILDNSC_DIVERT_RULES_H
#define QILDNSC_DIVERT_RULES_H

#include <atomic>
#include <string>

#define DIVERT_QUEUE_NUM 5353
#define DIVERT_CHAIN "QILDNSC"
/* The mark of the upstream socket's packets, which diversion leaves alone. */
#define QILDNSC_UPSTREAM_MARK 0x51d5
/* The mark of the listening sockets' packets, the only replies the queue
 * takes. */
#define DIVERT_LISTEN_MARK 0x51d6

/* The rules in place and the programs that put them there: written by the
 * diversion thread (each program before the flag that says its rules are
 * in), read by the first thread at "Exit". */
struct divert_rules {
	unsigned magic;
#define DIVERT_RULES_MAGIC 0x3b1e7d09
	/* QILDNSC_IPTABLES from the environment, or the system's default,
	 * switched to the legacy one when the default cannot install the
	 * queue rules (a kernel without the nftables queue expression still
	 * has the xtables NFQUEUE target). */
	const char *iptables_cmd;
	/* Its IPv6 twin (ip6tables beside iptables, ip6tables-legacy beside
	 * iptables-legacy); empty when it has none. */
	std::string ip6tables_cmd;
	std::atomic<bool> installed;
	std::atomic<bool> installed6;
};

/* Makes `rl` with nothing installed. */
void divert_rules_init(struct divert_rules *rl);

/*
 * Clears what an earlier run left, then installs the IPv4 rules and, when
 * `ipv6`, the IPv6 ones (with `tcp6`, DNS over TCP's among them); 0, or the
 * failing command's status when the IPv4 queue rules cannot be had
 * (nothing left behind). IPv6 rules that cannot be had leave IPv6 DNS
 * undiverted, with a warning and no IPv6 rule.
 */
int divert_rules_install(struct divert_rules *rl, bool ipv6, bool tcp6);

/* Removes every rule installed (and nothing else); 0 when none remain. */
int divert_rules_remove(struct divert_rules *rl);

#endif
