/*
 * options.cc -- the command line of qildnsc-upstream, its usage text and
 * the default resolver. Start-up thread only; misuse ends the process
 * with status 1.
 */
#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "upstream.h"
#include "vgetopt.h"
#include "vtc_log.h"

struct vtclog *vl;

void
ups_usage(void)
{
	static const char *const lines[][2] = {
		{"-h", "Show this help"},
		{"-l <addr>", "Address to listen. (default 0.0.0.0)"},
		{"-p <port>", "Port to listen. (default 10015)"},
		{"-r <addr[:port]>", "Resolver to forward to. (default: the first nameserver of " UPS_RESOLV_CONF ")"},
	};

	(void)fprintf(stderr, "usage: qildnsc-upstream [options]\n");
	for (const auto &l : lines)
		(void)fprintf(stderr, "    %-28s # %s\n", l[0], l[1]);
}

void
ups_fail(const char *fmt, ...)
{
	char line[512];
	va_list ap;

	va_start(ap, fmt);
	(void)vsnprintf(line, sizeof line, fmt, ap);
	va_end(ap);
	vtc_log(vl, VTCLOG_ERROR, "%s", line);
	(void)fprintf(stderr, "qildnsc-upstream: %s\n", line);
}

static void
ups_set(char **field, const char *value)
{
	free(*field);
	*field = strdup(value);
	AN(*field);
}

void
ups_parse_options(struct ups_config *conf, int argc, char *argv[])
{
	int ch;

	while ((ch = qil::getopt(argc, argv, "hl:p:r:")) != -1) {
		switch (ch) {
		case 'l':
			ups_set(&conf->listen_addr, qil::optarg);
			break;
		case 'p':
			ups_set(&conf->listen_port, qil::optarg);
			break;
		case 'r':
			ups_set(&conf->resolver, qil::optarg);
			break;
		case 'h':
		default:
			ups_usage();
			exit(1);
		}
	}
	if (qil::optind < argc) {
		ups_usage();
		exit(1);
	}
	if (conf->listen_addr == NULL)
		ups_set(&conf->listen_addr, "0.0.0.0");
	if (conf->listen_port == NULL)
		ups_set(&conf->listen_port, "10015");
}

int
ups_default_resolver(const char *path, char *out, unsigned size)
{
	char line[512], word[16], addr[256];
	struct in_addr in;
	int found = -1;

	FILE *fp = fopen(path, "r");
	if (fp == NULL)
		return -1;
	while (found != 0 && fgets(line, sizeof line, fp) != NULL) {
		if (sscanf(line, "%15s %255s", word, addr) == 2 &&
		    strcmp(word, "nameserver") == 0 && inet_pton(AF_INET, addr, &in) == 1 &&
		    strlen(addr) < size) {
			strcpy(out, addr);
			found = 0;
		}
	}
	(void)fclose(fp);
	return found;
}

void
ups_config_free(struct ups_config *conf)
{
	AN(conf);
	free(conf->listen_addr);
	free(conf->listen_port);
	free(conf->resolver);
	*conf = {};
}
