/*
 * startup_report.cc -- what a start says on standard error: after a
 * failure, the log's last error read back with hints on what to do; after
 * a good start or a check (-t), what the forwarder uses.
 */
#include <stdio.h>

#include <string>
#include <string_view>

#include "common/qildnsc.h"
#include "filter/tables.h"
#include "servers/servers.h"
#include "shell/startup_hint.h"
#include "shell/startup_report.h"
#include "vtc_log.h"

std::string
startup_last_error(std::string_view log)
{
	/* A log line: "<date> [<seconds>] <handle> [ERROR] <message>". */
	static constexpr std::string_view label = " [ERROR] ";
	std::string_view last;

	while (!log.empty()) {
		size_t end = log.find('\n');
		std::string_view line = log.substr(0, end);
		log = end == std::string_view::npos ? std::string_view() : log.substr(end + 1);
		size_t at = line.find(label);
		if (at != std::string_view::npos)
			last = line.substr(at + label.size());
	}
	while (!last.empty() && (last.back() == '\r' || last.back() == ' '))
		last.remove_suffix(1);
	return std::string(last);
}

void
startup_report_failure(FILE *out, std::string_view log, const char *log_name)
{
	std::string cause = startup_last_error(log);
	std::vector<std::string> hints = startup_hints(cause, log);
	if (cause.empty())
		cause = "start-up failed";
	if (log_name != NULL)
		(void)fprintf(out, "qildnsc: %s (see %s)\n", cause.c_str(), log_name);
	else
		(void)fprintf(out, "qildnsc: %s\n", cause.c_str());
	for (const std::string &h : hints) {
		(void)fprintf(out, "qildnsc: hint: %s\n", h.c_str());
		vtc_log(vl, VTCLOG_INFO, "QILEC_00901: Hint: %s", h.c_str());
	}
}

/* What the forwarder uses, for one line: where it listens (or diverts),
 * its servers, its lists and its log. `would`: said of a check. */
static std::string
startup_facts(bool would, const char *log_name)
{
	std::string where = std::string(dnsc_conf.listen_addr) + ":" + dnsc_conf.listen_port;
	std::string s;
	if (dnsc_conf.use_windivert)
		s = (would ? "would divert" : "diverting") + std::string(" this machine's DNS to ") + where;
	else
		s = (would ? "would listen on " : "listening on ") + where + " (UDP and TCP)";
	/* The table's, as the list text is cut by now: addresses, ports and
	 * scopes as they are asked. */
	std::string servers;
	for (int32_t i = 0; i < upstreams.n_upstream_servers; i++) {
		char t[INET6_ADDRSTRLEN + 64];
		servers += (i > 0 ? "," : "") +
		    std::string(servers_text(&upstreams.upstream_servers[i], t, sizeof t));
	}
	s += "; servers " + (servers.empty() ? std::string("(none)") : servers);
	if (dnsc_conf.blacklist_path != NULL)
		s += "; blocklist " + std::to_string(tables.n_ip_blacklist) + " addresses (" +
		    dnsc_conf.blacklist_path + ")";
	if (dnsc_conf.croute_path != NULL)
		s += "; CRoute " + std::to_string(tables.n_croute) + " ranges (" +
		    dnsc_conf.croute_path + ")";
	return s + "; log " + log_name;
}

void
startup_report_ready(FILE *out, const char *log_name)
{
	(void)fprintf(out, "qildnsc: %s\n", startup_facts(false, log_name).c_str());
}

void
startup_report_check(FILE *out, const char *log_name)
{
	(void)fprintf(out, "qildnsc: check passed, nothing started: %s\n",
	    startup_facts(true, log_name).c_str());
}
