/*
 * page_json.cc -- the JSON of the query page's API, built with jansson,
 * which escapes whatever a name holds.
 */
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <map>
#include <mutex>

#include <jansson.h>

#include "common/qildnsc.h"
#include "common/stats.h"
#include "page/page_json.h"
#include "record/record.h"
#include "servers/servers.h"
#include "vss.h"

static std::string
page_addr_text(const struct record_addr *a)
{
	char t[INET6_ADDRSTRLEN] = "";
	if (a->family == AF_INET || a->family == AF_INET6)
		(void)inet_ntop(a->family, a->a, t, sizeof t);
	return t;
}

static std::string
page_type_text(uint16_t t)
{
	static const std::map<uint16_t, const char *> names = {
		{1, "A"}, {2, "NS"}, {5, "CNAME"}, {6, "SOA"}, {12, "PTR"}, {15, "MX"},
		{16, "TXT"}, {28, "AAAA"}, {33, "SRV"}, {64, "SVCB"}, {65, "HTTPS"}, {255, "ANY"},
	};
	auto it = names.find(t);
	return it != names.end() ? it->second : "TYPE" + std::to_string(t);
}

std::string
page_rcode_text(unsigned rcode)
{
	static const char *const names[] = {
		"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
		"YXDOMAIN", "YXRRSET", "NXRRSET", "NOTAUTH", "NOTZONE",
	};
	return rcode < sizeof names / sizeof names[0] ? names[rcode] :
	    "RCODE" + std::to_string(rcode);
}

std::string
page_server_text(const struct upstream_server *us)
{
	char out[INET6_ADDRSTRLEN + 64];
	if (!(us->flags & UPSTREAM_TLS))
		return servers_text(us, out, sizeof out);
	(void)VSS_addr_text(&us->addr, (socklen_t)us->addrlen, out, sizeof out);
	std::string s = std::string("tls://") + out;
	if (us->tls_name[0] != '\0')
		s += std::string("#") + us->tls_name;
	return page_utf8(s.data(), s.size());
}

static std::string
page_server_text(int server)
{
	if (server < 0 || server >= upstreams.n_upstream_servers)
		return "?";
	return page_server_text(&upstreams.upstream_servers[server]);
}

std::string
page_utf8(const char *s, size_t len)
{
	std::string out;
	out.reserve(len);
	for (size_t i = 0; i < len;) {
		auto c = (uint8_t)s[i];
		/* The length its first byte claims, and the least its second
		 * may be (no overlong forms, no surrogates, nothing past
		 * U+10FFFF). */
		size_t n = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 :
		    c >= 0xf0 && c <= 0xf4 ? 4 : 0;
		uint8_t lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
		uint8_t hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
		bool ok = n > 0 && i + n <= len;
		for (size_t k = 1; ok && k < n; k++) {
			auto d = (uint8_t)s[i + k];
			ok = k == 1 ? d >= lo && d <= hi : (d & 0xc0) == 0x80;
		}
		if (ok && c != 0) {
			out.append(s + i, n);
			i += n;
		} else {
			out += "\xef\xbf\xbd";
			i++;
		}
	}
	return out;
}

/* A user's name, remembered: the name service may be slow. */
static std::string
page_user(int32_t uid)
{
	static std::mutex mu;
	static std::map<int32_t, std::string> users;
	if (uid < 0)
		return "";
	std::lock_guard lk(mu);
	auto it = users.find(uid);
	if (it != users.end())
		return it->second;
	struct passwd pw, *res = NULL;
	char buf[1024];
	std::string name = getpwuid_r((uid_t)uid, &pw, buf, sizeof buf, &res) == 0 && res != NULL ?
	    res->pw_name : std::to_string(uid);
	if (users.size() < 1024)
		users[uid] = name;
	return name;
}

static json_t *
page_answer_json(const struct record_reply *ra)
{
	json_t *addrs = json_array();
	for (int i = 0; i < ra->n_addrs; i++)
		(void)json_array_append_new(addrs, json_string(page_addr_text(&ra->addrs[i]).c_str()));
	json_t *j = json_pack("{s:s, s:s, s:i, s:s, s:i, s:f, s:o}",
	    "server", page_server_text(ra->server).c_str(),
	    "verdict", record_verdict_name((enum record_verdict)ra->verdict),
	    "rcode", (int)ra->rcode, "rcode_name", page_rcode_text(ra->rcode).c_str(),
	    "records", (int)ra->ancount,
	    "ms", ra->usec / 1000.0, "addresses", addrs);
	if (ra->cause.family != 0)
		(void)json_object_set_new(j, "cause", json_string(page_addr_text(&ra->cause).c_str()));
	return j;
}

static json_t *
page_entry_json(const struct record_entry *e)
{
	json_t *answers = json_array();
	bool blocked = false;
	for (int i = 0; i < e->n_answers; i++) {
		(void)json_array_append_new(answers, page_answer_json(&e->answers[i]));
		blocked |= e->answers[i].verdict == RECORD_BLOCKED;
	}
	json_t *j = json_pack("{s:I, s:f, s:s, s:i, s:s, s:s, s:s, s:s, s:i, s:o}",
	    "seq", (json_int_t)e->seq, "time", e->wall,
	    "client", page_addr_text(&e->client).c_str(), "port", (int)e->client_port,
	    "name", e->name, "type", page_type_text(e->qtype).c_str(),
	    "transport", record_transport_name((enum record_transport)e->transport),
	    "outcome", record_outcome_name((enum record_outcome)e->outcome),
	    "answers_seen", (int)e->answers_seen, "answers", answers);
	/* Whatever the client got, a server tried to give it a blocklisted
	 * address. */
	if (blocked)
		(void)json_object_set_new(j, "blocked", json_true());
	if (e->outcome != RECORD_WAITING)
		(void)json_object_set_new(j, "outcome_ms", json_real(e->outcome_usec / 1000.0));
	if (e->uid >= 0) {
		(void)json_object_set_new(j, "uid", json_integer(e->uid));
		std::string user = page_user(e->uid);
		(void)json_object_set_new(j, "user", json_string(page_utf8(user.data(),
		    user.size()).c_str()));
	}
	if (e->gid >= 0)
		(void)json_object_set_new(j, "gid", json_integer(e->gid));
	if (e->pid > 0) {
		(void)json_object_set_new(j, "pid", json_integer(e->pid));
		/* A process names itself, in any bytes it likes. */
		(void)json_object_set_new(j, "app", json_string(page_utf8(e->comm,
		    strnlen(e->comm, sizeof e->comm)).c_str()));
	}
	return j;
}

/* The JSON text of `j`, which it takes. */
static std::string
page_dump(json_t *j)
{
	char *s = j != NULL ? json_dumps(j, JSON_COMPACT) : NULL;
	std::string out = s != NULL ? s : "{}";
	free(s);
	json_decref(j);
	return out;
}

std::string
page_queries_json(uint64_t since, size_t max)
{
	auto entries = record_since(since, max);
	json_t *list = json_array();
	uint64_t last = since;
	for (const auto &e : entries) {
		(void)json_array_append_new(list, page_entry_json(&e));
		last = std::max(last, e.seq);
	}
	return page_dump(json_pack("{s:I, s:o}", "last", (json_int_t)last, "queries", list));
}

std::string
page_stats_json(int seconds)
{
	static const struct {
		const char *name;
		enum stats_counter c;
	} counters[] = {
		{"queries_udp", STATS_QUERIES_UDP}, {"queries_tcp", STATS_QUERIES_TCP},
		{"relayed", STATS_RELAYED}, {"held", STATS_HELD}, {"held_sent", STATS_HELD_SENT},
		{"replaced", STATS_REPLACED}, {"late", STATS_LATE},
		{"dropped_blocked", STATS_DROPPED_BLOCKED},
		{"dropped_abroad", STATS_DROPPED_ABROAD}, {"unmatched", STATS_UNMATCHED},
		{"truncated", STATS_TRUNCATED}, {"diverted", STATS_DIVERTED},
		{"pushed_out", STATS_PUSHED_OUT},
		{"cache_hits", STATS_CACHE_HITS}, {"refreshes", STATS_REFRESHES},
		{"stale", STATS_STALE}, {"fail_fast", STATS_FAIL_FAST},
		{"tls_connects", STATS_TLS_CONNECTS}, {"tls_resumed", STATS_TLS_RESUMED},
		{"tls_certificates_refused", STATS_TLS_CERT},
		{"tls_unreachable", STATS_TLS_UNREACHABLE}, {"tls_stalled", STATS_TLS_STALLED},
		{"tls_not_sent", STATS_TLS_DROPPED}, {"tls_timeouts", STATS_TLS_TIMEOUT},
		{"tls_given_up", STATS_TLS_GIVEN_UP},
	};
	json_t *c = json_object();
	for (const auto &k : counters)
		(void)json_object_set_new(c, k.name, json_integer((json_int_t)stats_get(k.c)));
	json_t *servers = json_array();
	for (int i = 0; i < upstreams.n_upstream_servers && i < STATS_SERVERS_MAX; i++) {
		int64_t med = stats_server_median_usec(i);
		(void)json_array_append_new(servers, json_pack("{s:s, s:I, s:I, s:o}",
		    "server", page_server_text(i).c_str(),
		    "answers", (json_int_t)stats_server_answers(i),
		    "wins", (json_int_t)stats_server_wins(i),
		    "median_ms", med < 0 ? json_null() : json_real(med / 1000.0)));
	}
	json_t *chart = json_array();
	for (const auto &s : record_chart((int64_t)time(NULL), seconds))
		(void)json_array_append_new(chart, json_pack("[I, i, i, i, i]", (json_int_t)s.second,
		    (int)s.counts[RECORD_C_RELAYED], (int)s.counts[RECORD_C_HELD],
		    (int)s.counts[RECORD_C_CACHED], (int)s.counts[RECORD_C_FAILED]));
	return page_dump(json_pack("{s:o, s:o, s:o}", "counters", c, "servers", servers,
	    "chart", chart));
}
