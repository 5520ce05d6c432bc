/*
 * options.cc -- the command line: dnsc_conf, the option scan and the usage
 * text. Runs on the start-up thread only; a usage error ends the process.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/qildnsc.h"
#include "vgetopt.h"
#include "vss.h"
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

void
conf_set(char **field, const char *arg)
{
	char *p = strdup(arg);
	AN(p);
	free(*field);
	*field = p;
}

int
parse_options(int argc, char *argv[])
{
	int ch;

	while ((ch = qil::getopt(argc, argv, "b:c:d:hl:p:wX:")) != -1) {
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
		case 'h':
		default:
			usage();
			exit(1);
		}
	}

	if (dnsc_conf.listen_addr == NULL)
		conf_set(&dnsc_conf.listen_addr, "127.0.0.1");
	if (dnsc_conf.use_windivert && dnsc_conf.listen_port != NULL)
		vtc_log(vl, VTCLOG_WARN, "-p option is ignored due to -w option.");
	if (dnsc_conf.listen_port == NULL)
		conf_set(&dnsc_conf.listen_port, "53");
	if (dnsc_conf.use_windivert)
		conf_set(&dnsc_conf.listen_port, "5353");
	if (VSS_port_check(dnsc_conf.listen_port) != 0) {
		vtc_log(vl, VTCLOG_ERROR,
		    "QILEC_00760: Invalid port to listen: %s (it must be from 1 to 65535)",
		    dnsc_conf.listen_port);
		return 1;
	}
	return 0;
}
