/*
 * qildnsc.h -- what the forwarder's modules share: the configuration
 * record, the log handle and the start-up steps.
 *
 * Everything declared here is written on the start-up thread while
 * qildnsc_init() runs and only read once it has returned.
 */
#ifndef QILDNSC_H
#define QILDNSC_H

#include <stdint.h>

struct vtclog;

#define QILDNSC_BANNER "Quillet DNS Client v5.0.1 is running."

struct dnsc_config {
	char *listen_addr;
	char *listen_port;
	char *dns_servers;
	int32_t dns_servers_cmdline;
	char *blacklist_path;
	char *croute_path;
	char *http_proxy;
	int32_t use_windivert;
};

extern struct dnsc_config dnsc_conf;
extern struct vtclog *vl;

/* Stores a heap copy of `value` in the configuration text `field`,
 * replacing (and freeing) the earlier one. Start-up cannot go on without
 * the copy. */
void conf_set(char **field, const char *value);

/* Start-up: 0 when the forwarder is ready to serve, 1 when a step failed. */
int qildnsc_init(int argc, char *argv[]);
/* Reads the command line into dnsc_conf; exits with status 1 on misuse. */
int parse_options(int argc, char *argv[]);
/* Writes the usage lines to standard error. */
void usage(void);

#endif
