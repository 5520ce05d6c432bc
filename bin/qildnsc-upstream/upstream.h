/*
 * upstream.h -- what the modules of qildnsc-upstream share: its
 * configuration record, its log handle and the start-up steps.
 *
 * The record belongs to main(), which hands it to the start-up steps; the
 * log handle is written on the first thread during start-up, only read
 * afterwards.
 */
#ifndef QILDNSC_UPSTREAM_H
#define QILDNSC_UPSTREAM_H

struct vtclog;

#define UPS_BANNER "[INFO] qildnsc-upstream v5.0.1 is running."
#define UPS_RESOLV_CONF "/etc/resolv.conf"

struct ups_config {
	char *listen_addr; /* -l, default 0.0.0.0 */
	char *listen_port; /* -p, default 10015 */
	char *resolver;    /* -r host[:port]; default from UPS_RESOLV_CONF */
};

/* The log handle "upst"; its lines go to standard output. */
extern struct vtclog *vl;

/* Prints the usage text on standard error; start-up thread. */
void ups_usage(void);
/* Reads the command line into `*conf` (all NULL before), the listening
 * address and port defaulted; exits with status 1 on misuse. */
void ups_parse_options(struct ups_config *conf, int argc, char *argv[]);

/* Frees the texts of `*conf` that ups_parse_options() and serve_open() set. */
void ups_config_free(struct ups_config *conf);

/*
 * A start-up failure: logged as an error, and the same text on standard
 * error after the program's name, so that it is seen wherever the log goes.
 */
void ups_fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/*
 * The first IPv4 "nameserver" of the resolver configuration at `path`,
 * copied into `out` (room `size`); -1 when there is none.
 */
int ups_default_resolver(const char *path, char *out, unsigned size);

#endif
