/*
 * options.cc -- the command line: dnsc_conf, the option scan and the usage
 * text. Runs on the start-up thread only; a usage error ends the process.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qildnsc.h"
#include "vgetopt.h"
#include "vtc_log.h"

struct dnsc_config dnsc_conf = {
	.listen_addr = NULL,
	.listen_port = NULL,
	.dns_servers = NULL,
	.dns_servers_cmdline = 0,
	.blacklist_path = NULL,
	.croute_path = NULL,
	.http_proxy = NULL,
	.use_windivert = 1,
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
	};

	(void)fprintf(stderr, "usage: qildnsc [options]\n");
	for (const auto &l : lines)
		(void)fprintf(stderr, "    %-28s # %s\n", l[0], l[1]);
}

/* A heap copy of an option argument; start-up cannot go on without it. */
static char *
opt_copy(const char *arg)
{
	char *p = strdup(arg);
	AN(p);
	return p;
}

int
parse_options(int argc, char *argv[])
{
	int ch;

	while ((ch = qil::getopt(argc, argv, "b:c:d:hl:p:wX:")) != -1) {
		switch (ch) {
		case 'b':
			dnsc_conf.blacklist_path = opt_copy(qil::optarg);
			break;
		case 'c':
			dnsc_conf.croute_path = opt_copy(qil::optarg);
			break;
		case 'd':
			dnsc_conf.dns_servers = opt_copy(qil::optarg);
			dnsc_conf.dns_servers_cmdline = 1;
			break;
		case 'l':
			dnsc_conf.listen_addr = opt_copy(qil::optarg);
			break;
		case 'p':
			dnsc_conf.listen_port = opt_copy(qil::optarg);
			break;
		case 'w':
			dnsc_conf.use_windivert = 1 - dnsc_conf.use_windivert;
			vtc_log(vl, VTCLOG_INFO, "Use WinDivert driver.");
			break;
		case 'X':
			dnsc_conf.http_proxy = opt_copy(qil::optarg);
			break;
		case 'h':
		default:
			usage();
			exit(1);
		}
	}

	if (dnsc_conf.listen_addr == NULL)
		dnsc_conf.listen_addr = opt_copy("127.0.0.1");
	if (dnsc_conf.use_windivert && dnsc_conf.listen_port != NULL)
		vtc_log(vl, VTCLOG_WARN, "-p option is ignored due to -w option.");
	if (dnsc_conf.listen_port == NULL)
		dnsc_conf.listen_port = opt_copy("53");
	if (dnsc_conf.use_windivert)
		dnsc_conf.listen_port = opt_copy("5353");
	return 0;
}
