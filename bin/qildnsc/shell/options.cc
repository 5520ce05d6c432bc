/*
 * options.cc -- the command line: dnsc_conf, the option scan, the usage
 * and version texts. Runs on the start-up thread only; a usage error ends the process.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/qildnsc.h"
#include "config/config.h"
#include "dot/dot.h"
#include "servers/resolv_conf.h"
#include "shell/log_file.h"
#include "vgetopt.h"
#include "vss.h"
#include "vtc_log.h"

/* The largest cache -C may ask for: some hundred megabytes at most. */
#define OPTIONS_CACHE_MAX 1000000

struct dnsc_config dnsc_conf = {
	.listen_addr = NULL,
	.listen_port = NULL,
	.dns_servers = NULL,
	.dns_servers_cmdline = 0,
	.blacklist_path = NULL,
	.croute_path = NULL,
	.http_proxy = NULL,
	.use_windivert = 1,
	.check_only = 0,
	.cache_entries = 0,
	.fail_fast = 0,
	.bare_negative = 60,
	.page_port = 0,
	.tls_ca_path = NULL,
};

void
usage(void)
{
	static const char *const lines[][2] = {
		{"-b <file>", "Path for IP blocklist"},
		{"-c <file>", "Path for CRoute"},
		{"-d <addrs>", "Set DNS server lists (comma separated)"},
		{"-h", "Show this help"},
		{"-l <addr>", "Address to listen. (default 0.0.0.0)"},
		{"-p <port>", "Port to listen. (default 53)"},
		{"-X <ip:port>", "Specify the HTTP proxy."},
		{"-w", "Use WinDivert driver."},
		{"-t", "Check the inputs, start nothing and exit."},
		{"-V", "Show the version and build."},
		{"-C <entries>", "Keep up to this many answers in a cache. (default 0: none)"},
		{"-F <seconds>", "SERVFAIL a query unanswered this long. (default 0: never)"},
		{"-u <port>", "Serve the query page on 127.0.0.1:<port>."},
		{"-T <file>", "CA bundle for tls:// servers (default: the system's)"},
		{"-N <seconds>", "Cache empty answers without SOA this long. (default 60)"},
	};

	(void)fprintf(stderr, "usage: qildnsc [options]\n");
	for (const auto &l : lines)
		(void)fprintf(stderr, "    %-28s # %s\n", l[0], l[1]);
}

void
version(void)
{
	static const char *const lines[] = {
#ifdef _WIN32
		"build: Windows",
		"diversion: yes (WinDivert driver)",
		"tray icon: yes (notification area)",
		"exit signals: no (the tray menu's \"Exit\" ends it)",
		"journal: no",
		"answer cache: yes (-C; kept across restarts, -N for empty answers without SOA)",
		"fail fast: yes (-F)",
		"query page: no (not in the Windows build)",
#else
		"build: Linux",
		"diversion: yes (netfilter queue and iptables)",
		"tray icon: yes (StatusNotifierItem over D-Bus)",
		"exit signals: yes (SIGINT, SIGTERM, SIGHUP and others end it)",
		"journal: yes (warnings and errors on standard error)",
		"answer cache: yes (-C; kept across restarts, -N for empty answers without SOA)",
		"fail fast: yes (-F)",
		"query page: yes (-u, on 127.0.0.1)",
#endif
	};

	(void)printf("qildnsc %s (Quillet DNS Client)\n", QILDNSC_VERSION);
	for (const char *l : lines)
		(void)printf("%s\n", l);
	const char *why;
	if (dot_supported(&why))
		(void)printf("DNS over TLS: yes (%s)\n", dot_library());
	else
		(void)printf("DNS over TLS: no (%s)\n", why);
	if (resolv_conf_supported(&why))
		(void)printf("this machine's resolvers (-d @network): yes (%s)\n", why);
	else
		(void)printf("this machine's resolvers (-d @network): no (%s)\n", why);
	(void)printf("configuration server: %s (QILDNSC_CONFIG_SERVER overrides it: host[:port], "
	    "file:PATH, or none)\n", QILDNSC_CONFIG_SERVER_DEFAULT);
}

/* The end of a run that only answered (-h) or misread its options: its
 * log is written all the same, as any start's. */
[[noreturn]] static void
options_exit(int status)
{
	shell_log_settle();
	exit(status);
}

void
conf_set(char **field, const char *arg)
{
	char *p = strdup(arg);
	AN(p);
	free(*field);
	*field = p;
}

/* The listening address and port once the scan is done: defaults, the
 * diversion's fixed port, and the port's check; 0 or 1 (logged). */
static int
options_listen(void)
{
	if (dnsc_conf.listen_addr == NULL)
		conf_set(&dnsc_conf.listen_addr, "127.0.0.1");
	if (dnsc_conf.use_windivert && dnsc_conf.listen_port != NULL)
		vtc_log(vl, VTCLOG_WARN, "-p option is ignored due to -w option.");
	if (dnsc_conf.listen_port == NULL)
		conf_set(&dnsc_conf.listen_port, "53");
	if (dnsc_conf.use_windivert)
		conf_set(&dnsc_conf.listen_port, "5353");
	/* A number the resolver would wrap (70000 is 4464 to it) is refused
	 * here; a service name is the resolver's to turn into a number, or to
	 * refuse when the sockets are made. */
	if (VSS_port_check(dnsc_conf.listen_port) != 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00760: Invalid port to listen: %s (it must be from 1 to 65535)",
		    dnsc_conf.listen_port);
		return 1;
	}
	return 0;
}

/* -u: the query page's port; 0, or 1 (logged) for a bad one or where
 * there is no page. */
static int
options_page(const char *arg)
{
#ifdef _WIN32
	(void)arg;
	vtc_log(vl, VTCLOG_ERROR, "QILEC_00966: -u: the query page is not in the Windows build.");
	return 1;
#else
	if (strspn(arg, "0123456789") != strlen(arg) || VSS_port_check(arg) != 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00967: Invalid port for the query page: %s (it must be from 1 to 65535)",
		    arg);
		return 1;
	}
	dnsc_conf.page_port = atoi(arg);
	return 0;
#endif
}

/* A whole number from 0 to `max` for option `opt`; -1 (logged) otherwise. */
static int32_t
options_count(int opt, const char *arg, long max)
{
	char *end = NULL;

	long v = strtol(arg, &end, 10);
	if (*arg == '\0' || *end != '\0' || v < 0 || v > max) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_01001: Invalid -%c: %s (it must be a number from 0 to %ld)", opt, arg,
		    max);
		return -1;
	}
	return (int32_t)v;
}

/* The options beyond the design's: the cache and its life of empty answers
 * without SOA, fail-fast, the query page and the CA bundle of TLS servers;
 * 0, or 1 (logged) for a bad value. */
static int
options_added(int ch, const char *arg)
{
	switch (ch) {
	case 'C':
		dnsc_conf.cache_entries = options_count('C', arg, OPTIONS_CACHE_MAX);
		return dnsc_conf.cache_entries < 0;
	case 'F':
		dnsc_conf.fail_fast = options_count('F', arg, 3600);
		return dnsc_conf.fail_fast < 0;
	case 'N':
		dnsc_conf.bare_negative = options_count('N', arg, 3600);
		return dnsc_conf.bare_negative < 0;
	case 'u':
		return options_page(arg);
	case 'T':
		conf_set(&dnsc_conf.tls_ca_path, arg);
		return 0;
	}
	WRONG("option");
}

int
parse_options(int argc, char *argv[])
{
	int ch;

	while ((ch = qil::getopt(argc, argv, "b:C:c:d:F:hl:N:p:tT:u:VwX:")) != -1) {
		switch (ch) {
		case 'b':
			conf_set(&dnsc_conf.blacklist_path, qil::optarg);
			break;
		case 'c':
			conf_set(&dnsc_conf.croute_path, qil::optarg);
			break;
		case 'd':
			conf_set(&dnsc_conf.dns_servers, qil::optarg);
			dnsc_conf.dns_servers_cmdline = 1;
			break;
		case 'l':
			conf_set(&dnsc_conf.listen_addr, qil::optarg);
			break;
		case 'p':
			conf_set(&dnsc_conf.listen_port, qil::optarg);
			break;
		case 'w':
			dnsc_conf.use_windivert = 1 - dnsc_conf.use_windivert;
			vtc_log(vl, VTCLOG_INFO, "Use WinDivert driver.");
			break;
		case 'X':
			conf_set(&dnsc_conf.http_proxy, qil::optarg);
			break;
		case 't':
			dnsc_conf.check_only = 1;
			break;
		case 'C':
		case 'F':
		case 'N':
		case 'u':
		case 'T':
			if (options_added(ch, qil::optarg) != 0)
				return 1;
			break;
		case 'V':
			/* A question, not a start: no log is written, none moved. */
			shell_log_keep_out();
			version();
			exit(0);
		case 'h':
		default:
			usage();
			options_exit(1);
		}
	}
	/* Options only: what follows a word would otherwise go unread. */
	if (qil::optind < argc) {
		(void)fprintf(stderr, "unexpected argument -- %s\n", argv[qil::optind]);
		usage();
		options_exit(1);
	}
	return options_listen();
}
