/*
 * filter.cc -- judging each upstream answer by its A records: drop it when
 * an address is on the blocklist (or a domestic server points abroad),
 * relay it at once, or hold it as a fallback.
 *
 * Called by the event-loop and TCP threads for every answer; reads only
 * tables loaded at start-up.
 */
#include <string.h>

#include "common/qildnsc.h"
#include "forward/filter.h"
#include "filter/tables.h"
#include "servers/servers.h"
#include "vtc_limit.h"
#include "vtc_log.h"

enum filter_verdict
filter_response(struct vdns_msg *msg, uint32_t server)
{
	struct sockaddr_storage ss = {};
	auto *sin = reinterpret_cast<struct sockaddr_in *>(&ss);
	sin->sin_family = AF_INET;
	sin->sin_addr.s_addr = server;
	return filter_judge(msg, &ss, NULL);
}

bool
filter_is_answer(const struct vdns_msg *msg)
{
	unsigned rcode = msg->flags & VDNS_RCODE;
	return rcode == 0 || rcode == 3;
}

bool
filter_bare_failure(const struct vdns_msg *msg)
{
	unsigned rcode = msg->flags & VDNS_RCODE;
	return msg->counts[VDNS_S_QD] == 0 && (rcode == 1 || rcode == 2 || rcode == 4 || rcode == 5);
}

/* True when `server` is a domestic server and the domestic rule applies:
 * a CRoute table, two servers or more. */
static bool
filter_domestic(const struct sockaddr_storage *server)
{
	if (dnsc_conf.croute_path == NULL || upstreams.n_upstream_servers <= 1 ||
	    server->ss_family != AF_INET)
		return false;
	const auto *sin = reinterpret_cast<const struct sockaddr_in *>(server);
	return croute_lookup(sin->sin_addr.s_addr) == 1;
}

/* A drop, with its cause and address told to `why` when asked. */
static enum filter_verdict
filter_drop(struct filter_why *why, enum filter_cause cause, uint32_t addr)
{
	if (why != NULL) {
		why->cause = cause;
		why->addr = addr;
	}
	return FILTER_DROP;
}

enum filter_verdict
filter_judge(struct vdns_msg *msg, const struct sockaddr_storage *server,
             struct filter_why *why)
{
	AN(msg);
	AN(server);
	bool local = filter_domestic(server);
	int ancount = msg->counts[VDNS_S_AN];

	if (ancount == 0)
		return FILTER_HOLD;
	for (int i = 0; i < ancount; i++) {
		struct vdns_rr rr;
		if (VDNS_parserr(msg, VDNS_S_AN, i, &rr) < 0) {
			/* Any server can send such answers: a line each would
			 * let it flood the log. One limit per thread, as both
			 * the event loop and the TCP thread judge answers. */
			thread_local struct vtc_limit lim =
			    VTC_LIMIT_INIT("[WARN] filter: Failed to parse DNS response.", VTCLOG_WARN);
			vtc_limit_log(&lim, vl, "[WARN] filter: Failed to parse DNS response.");
			return FILTER_RELAY;
		}
		switch (rr.type) {
		case VDNS_T_A: {
			uint32_t a;
			/* Short A data carries no address to judge: it passes. */
			if (rr.rdlength < sizeof a)
				break;
			memcpy(&a, rr.rdata, sizeof a);
			if (blacklist_lookup(a))
				return filter_drop(why, FILTER_CAUSE_BLOCKED, a);
			if (local && croute_lookup(a) == 0)
				return filter_drop(why, FILTER_CAUSE_ABROAD, a);
			break;
		}
		case VDNS_T_AAAA:
		case VDNS_T_PTR:
			return FILTER_RELAY;
		default:
			break;
		}
	}
	return ancount == 1 ? FILTER_HOLD : FILTER_RELAY;
}
