/*
 * resolv_conf.cc -- "@network": the resolvers resolv.conf names, read at
 * start on the start-up thread. A stub resolver on the loopback (such as
 * systemd-resolved's 127.0.0.53) stands for servers of its own, which it
 * lists in a file of its own; asking the stub would, in diversion mode,
 * bring its own queries back to us.
 */
#include <errno.h>
#include <string.h>

#include <sstream>

#include "common/qildnsc.h"
#include "odr.h"
#include "odr_file.h"
#include "servers/resolv_conf.h"
#include "vss.h"
#include "vtc_log.h"

/* The longest resolv.conf read; the C library's own are a few lines. */
#define RESOLV_CONF_MAX 65536

/* `text` ("192.0.2.1", "fe80::1%eth0") as an address of port 53 in `ss`
 * (its scope left out: only its address is compared); false for no
 * address. */
static bool
resolv_conf_addr(const std::string &text, struct sockaddr_storage *ss)
{
	const std::string bare = text.substr(0, text.find('%'));
	auto *sin = reinterpret_cast<struct sockaddr_in *>(ss);
	auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(ss);

	memset(ss, 0, sizeof *ss);
	if (bare.size() == text.size() && inet_pton(AF_INET, bare.c_str(), &sin->sin_addr) == 1) {
		sin->sin_family = AF_INET;
		sin->sin_port = htons(53);
		return true;
	}
	if (inet_pton(AF_INET6, bare.c_str(), &sin6->sin6_addr) == 1) {
		sin6->sin6_family = AF_INET6;
		sin6->sin6_port = htons(53);
		return true;
	}
	return false;
}

int
resolv_conf_read(const char *path, std::vector<std::string> *out)
{
	AN(path);
	AN(out);
	out->clear();
	std::string text(RESOLV_CONF_MAX, '\0');
	ssize_t n = ODR_file_read(path, text.data(), text.size());
	if (n < 0)
		return -1;
	text.resize((size_t)n);
	std::istringstream lines(text);
	for (std::string line; std::getline(lines, line);) {
		std::istringstream words(line);
		std::string key, addr;
		struct sockaddr_storage ss;
		if (words >> key >> addr && key == "nameserver" && resolv_conf_addr(addr, &ss))
			out->push_back(addr);
	}
	return 0;
}

/* True when `ss` (port 53) is where this forwarder listens: its address,
 * or any of the loopback when it listens on every address. */
static bool
resolv_conf_own(const struct sockaddr_storage *ss, const struct resolv_conf_source *src)
{
	if (src->listen_addr == NULL || src->listen_port == NULL ||
	    (strcmp(src->listen_port, "53") != 0 && strcmp(src->listen_port, "domain") != 0))
		return false;
	if (strcmp(src->listen_addr, "0.0.0.0") == 0 || strcmp(src->listen_addr, "::") == 0)
		return VSS_is_loopback(ss);
	struct sockaddr_storage listen;
	if (!resolv_conf_addr(src->listen_addr, &listen) || listen.ss_family != ss->ss_family)
		return false;
	const auto *l4 = reinterpret_cast<const struct sockaddr_in *>(&listen);
	const auto *s4 = reinterpret_cast<const struct sockaddr_in *>(ss);
	const auto *l6 = reinterpret_cast<const struct sockaddr_in6 *>(&listen);
	const auto *s6 = reinterpret_cast<const struct sockaddr_in6 *>(ss);
	if (ss->ss_family == AF_INET)
		return l4->sin_addr.s_addr == s4->sin_addr.s_addr;
	return memcmp(&l6->sin6_addr, &s6->sin6_addr, sizeof l6->sin6_addr) == 0;
}

/* The nameservers of `path` but our own address (each skipped one
 * logged); -1 when the file cannot be read (errno set). */
static int
resolv_conf_others(const char *path, const struct resolv_conf_source *src,
                   std::vector<std::string> *out)
{
	std::vector<std::string> all;
	if (resolv_conf_read(path, &all) != 0)
		return -1;
	out->clear();
	for (const std::string &a : all) {
		struct sockaddr_storage ss;
		AN(resolv_conf_addr(a, &ss));
		if (resolv_conf_own(&ss, src))
			vtc_log(vl, VTCLOG_INFO, "QILEC_01102: @network: %s in %s is this forwarder's "
			    "own address; left out.", a.c_str(), path);
		else
			out->push_back(a);
	}
	return 0;
}

/* True when every address of `list` (one at least) is on the loopback. */
static bool
resolv_conf_all_loopback(const std::vector<std::string> &list)
{
	for (const std::string &a : list) {
		struct sockaddr_storage ss;
		if (!resolv_conf_addr(a, &ss) || !VSS_is_loopback(&ss))
			return false;
	}
	return !list.empty();
}

int
resolv_conf_servers(const struct resolv_conf_source *src, std::vector<std::string> *out)
{
	const char *why;
	AN(src);
	AN(out);
	out->clear();
	if (!resolv_conf_supported(&why)) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01103: -d @network: %s; give the servers by "
		    "address instead.", why);
		return -1;
	}
	const char *from = src->path;
	if (resolv_conf_others(from, src, out) != 0) {
		vtc_log(vl, VTCLOG_ERROR, "QILEC_01104: @network: cannot read %s: %s", from,
		    ODR_file_strerror(errno));
		return -1;
	}
	/* The stub's file without a server (a network not up yet) gives none:
	 * asking the stub would bring its queries back to us in diversion. */
	std::vector<std::string> stub_servers;
	if (resolv_conf_all_loopback(*out) && src->stub_path != NULL &&
	    resolv_conf_others(src->stub_path, src, &stub_servers) == 0) {
		vtc_log(vl, VTCLOG_INFO, "QILEC_01105: @network: %s names a resolver on this "
		    "machine (%s); its own servers are taken from %s.", from, (*out)[0].c_str(),
		    src->stub_path);
		*out = stub_servers;
		from = src->stub_path;
	}
	if (out->empty())
		vtc_log(vl, VTCLOG_WARN, "QILEC_01106: @network: %s names no DNS server.", from);
	for (std::string &a : *out) {
		vtc_log(vl, VTCLOG_INFO, "QILEC_01107: @network: DNS server %s (from %s).", a.c_str(),
		    from);
		/* Brackets: an IPv6 address keeps its colons from the port's,
		 * and one beginning with "e" is no encrypted entry. */
		if (a.find(':') != std::string::npos)
			a = "[" + a + "]";
	}
	return 0;
}

int
resolv_conf_expand(const char *text, const struct resolv_conf_source *src, std::string *out)
{
	AN(text);
	AN(out);
	out->clear();
	std::istringstream entries(text);
	const char *sep = "";
	for (std::string e; std::getline(entries, e, ',');) {
		if (e != RESOLV_CONF_ENTRY) {
			*out += sep + e;
			sep = ",";
			continue;
		}
		std::vector<std::string> servers;
		if (resolv_conf_servers(src, &servers) != 0)
			return -1;
		for (const std::string &s : servers) {
			*out += sep + s;
			sep = ",";
		}
	}
	return 0;
}

bool
resolv_conf_supported(const char **what)
{
	AN(what);
#ifdef _WIN32
	*what = "Windows has no resolv.conf to read them from";
	return false;
#else
	*what = RESOLV_CONF_PATH;
	return true;
#endif
}
