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

#define QILDNSC_VERSION "5.0.1"
#define QILDNSC_BANNER "Quillet DNS Client v" QILDNSC_VERSION " is running."
/* The log, in the working directory; the last five runs' are kept with
 * ".1" (the previous one) to ".5" added. */
#define QILDNSC_LOG_NAME "qildnsc_stdout.txt"

struct dnsc_config {
	char *listen_addr;
	char *listen_port;
	char *dns_servers;
	int32_t dns_servers_cmdline;
	char *blacklist_path;
	char *croute_path;
	char *http_proxy;
	int32_t use_windivert;
	int32_t check_only; /* -t: read every input, start nothing */
	int32_t cache_entries; /* -C: answers kept at most; 0, no cache */
	int32_t fail_fast;     /* -F: seconds before SERVFAIL; 0, never */
	int32_t bare_negative; /* -N: seconds an empty answer without SOA is
	                          cached; 0, not at all */
	int32_t page_port;     /* -u: the query page's port on 127.0.0.1; 0 for none */
	char *tls_ca_path;  /* -T: the CA bundle of TLS servers (else the system's) */
};

/* How a run ended, for the last line of its log. */
enum shell_end_how {
	SHELL_END_UNKNOWN = 0,
	SHELL_END_SIGNAL,  /* an exit signal, number in `sig` */
	SHELL_END_MENU,    /* "Exit" chosen from the tray menu */
	SHELL_END_SLEEP,   /* the machine went to sleep */
	SHELL_END_WAKE,    /* the machine woke up */
	SHELL_END_STARTUP, /* start-up failed */
	SHELL_END_CHECK,   /* -t: the check is done */
};

/* What the first thread's message loop says about its end; the loop's
 * exit codes (sd_event_exit) are the `how` values. */
struct shell_end {
	unsigned magic;
#define SHELL_END_MAGIC 0x3e4d5a17
	enum shell_end_how how;
	int sig;
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
/* Writes the version and what the build holds to standard output. */
void version(void);
/* The process's start, shared by every platform's shell: runs
 * qildnsc_init() (which keeps the previous log and opens a fresh one, but
 * for a check), reports on standard error and, after a good start, keeps
 * its configuration document as the last good one. -1 when the forwarder
 * is to serve, else the exit status (1 after a failure, 0 after a check
 * with -t). */
int shell_start(int argc, char *argv[]);

#endif
