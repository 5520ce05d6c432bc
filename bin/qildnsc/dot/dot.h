/*
 * dot.h -- DNS over TLS upstreams: one thread of their own keeps one
 * long-lived TLS connection per "tls://" server, pipelines the queries the
 * forwarding threads hand it, and hands each answer back to the thread
 * that asked, to be matched and judged there like every other answer.
 *
 * The threads talk through a channel each (a pair of datagram sockets):
 * a query goes in as one datagram, DOT_HDR bytes (the server's number in
 * the table, network order) then the DNS message under the asker's own
 * ID; its answer comes back the same way, under that ID again. The
 * channel is as cheap to the event loop as an upstream socket, and the
 * TLS work never blocks it.
 *
 * Linux only: the Windows build has no TLS library and refuses "tls://"
 * servers (win32/ holds the absent half).
 */
#ifndef QILDNSC_DOT_H
#define QILDNSC_DOT_H

#include <stddef.h>
#include <stdint.h>

/* The header of a channel datagram: the server's number. */
#define DOT_HDR 2
/* The longest query on either channel, and the longest answer on the
 * event loop's, header included: what it receives from an upstream
 * socket. A longer answer comes back to it in its truncated form, as it
 * would to a client over UDP. */
#define DOT_CHANNEL_MAX 4096
/* The longest of the TCP thread's channel: a whole DNS message, as its
 * clients take any answer. */
#define DOT_CHANNEL_TCP_MAX (DOT_HDR + 65535)

/* The askers, each with its own channel. */
enum dot_owner {
	DOT_OWNER_LOOP, /* the event loop: queries of UDP clients */
	DOT_OWNER_TCP,  /* the TCP thread: queries of TCP clients */
	DOT_OWNERS
};

/* True when this build speaks DNS over TLS; else `*why` says why not. */
bool dot_supported(const char **why);

/*
 * Start-up (first thread, after init_servers()): with a TLS server in the
 * table, loads the trust (the -T bundle, else the system's store) and,
 * unless `check_only`, makes the handle and the channels. 0, or -1
 * (logged) when the trust cannot be loaded.
 */
int dot_init(bool check_only);

/* The asker's end of channel `owner`, or -1 without TLS servers. */
int dot_owner_fd(enum dot_owner owner);

/* Thread body: serves the connections until dot_stop(). Started only when
 * dot_owner_fd() is not -1. */
void *dot_thread(void *arg);
/* Asks dot_thread() to return, waking it; any thread. */
void dot_stop(void);

/* The name and version of the TLS library, for -V. */
const char *dot_library(void);

#endif
