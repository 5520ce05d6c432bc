/*
 * resolv_conf.h -- the resolvers this machine was given, as resolv.conf
 * names them: what "@network" in a server list stands for. Read once at
 * start on the start-up thread; a change of network is followed by the
 * next start (the service is restarted at every resume).
 */
#ifndef QILDNSC_RESOLV_CONF_H
#define QILDNSC_RESOLV_CONF_H

#include <string>
#include <vector>

/* The server-list entry that stands for this machine's resolvers. */
#define RESOLV_CONF_ENTRY "@network"
/* Where the C library reads them. */
#define RESOLV_CONF_PATH "/etc/resolv.conf"
/* The servers of systemd-resolved, when resolv.conf names only its stub. */
#define RESOLV_CONF_STUB_PATH "/run/systemd/resolve/resolv.conf"

/* One place to read the resolvers from, and the address that is this
 * forwarder's own (its listening address and port), never a server of its. */
struct resolv_conf_source {
	const char *path;      /* resolv.conf */
	const char *stub_path; /* read instead when `path` names only the loopback */
	const char *listen_addr;
	const char *listen_port;
};

/*
 * The "nameserver" addresses of the resolv.conf file `path`, in order,
 * into `out`: IPv4 or IPv6, with its scope as written ("fe80::1%eth0");
 * comments, other keywords and what is no address are passed over. -1
 * (errno set, nothing logged) when the file cannot be read.
 */
int resolv_conf_read(const char *path, std::vector<std::string> *out);

/*
 * This machine's resolvers as server-list entries (IPv6 ones in brackets,
 * port 53), each logged: those of `src->path` but the forwarder's own
 * address; when they are all on the loopback (a stub resolver such as
 * 127.0.0.53), those of `src->stub_path` instead, when it can be read
 * (none when it names none). -1 (logged) when `src->path` cannot be read,
 * or where the build has no resolv.conf (Windows).
 */
int resolv_conf_servers(const struct resolv_conf_source *src, std::vector<std::string> *out);

/*
 * The server-list text `text` with every "@network" entry replaced by the
 * resolvers of `src` (none: the entry goes, with a warning), in `*out`.
 * A text without it is copied unchanged. -1 (logged) as
 * resolv_conf_servers().
 */
int resolv_conf_expand(const char *text, const struct resolv_conf_source *src,
                       std::string *out);

/* True where "@network" can be read, with where from in `*what`; false
 * with the reason (Windows: no resolv.conf). */
bool resolv_conf_supported(const char **what);

#endif
