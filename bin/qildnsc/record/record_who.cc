/*
 * record_who.cc -- the thread that names the application of each local
 * client, off the forwarding path: the kernel's socket tables
 * (/proc/net/udp, udp6, tcp, tcp6) give the owner (UID) and inode of the
 * socket at the client's address and port (a diverted client's: at its
 * port on any local address of its family, of its packet's owner), and the
 * processes' descriptors (/proc/PID/fd) the process that holds it. A
 * client is usually a short process that ends as soon as it has its
 * answer, so the newest processes are searched first, and a socket seen
 * within the last second is named from memory. A burst of queries is
 * named as one batch: the tables read once, /proc searched once for all
 * of its sockets, the processes that held the last ones first (a program
 * that makes a socket per query is found at once), and only the
 * processes of the sockets' owners.
 *
 * Where the kernel will not tell (another user's process, for a service
 * without the right to look), the UID alone is recorded.
 */
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <tuple>

#include "common/qildnsc.h"
#include "record/record.h"
#include "record/record_who.h"
#include "vtc_log.h"
#include "vtim.h"

/* How long a named socket is believed without a look at the tables. */
#define WHO_REMEMBER_S 1.0
/* Processes whose descriptors are read per search, newest first. */
#define WHO_SCAN_MAX 4096
/* Processes that held the latest sockets found, searched before the rest. */
#define WHO_HINTS 8
/* How long a batch waits for the clients that come with its first. */
#define WHO_GATHER_MS 20

struct who_socket {
	uint32_t uid;
	uint64_t inode;
};

struct who_name {
	int32_t uid, pid;
	std::string comm;
	double at;
};

/* One table's sockets by port and local address: a port's sockets side by
 * side. */
using who_key = std::tuple<bool, uint16_t, std::array<uint8_t, 16>>; /* tcp, port, address */

struct record_who {
	unsigned magic;
#define RECORD_WHO_MAGIC 0x3f0d7a52
	pthread_t thread;
	bool started;
	std::map<who_key, who_name> names;
	std::map<uint64_t, who_name> by_inode;
	std::map<who_key, who_socket> sockets; /* this batch's read of the tables */
	std::vector<long> hints;               /* newest first */
};

/* A batch's sockets to find: inode to its process, -1 until found. */
using who_want = std::map<uint64_t, int32_t>;

static struct record_who *who;

/* The 16 bytes of an address as the tables print it: groups of 8 hex
 * digits, each a 32-bit word in the machine's order. */
static bool
who_hex_addr(const char *s, size_t hexlen, std::array<uint8_t, 16> *out)
{
	*out = {};
	if (hexlen != 8 && hexlen != 32)
		return false;
	for (size_t g = 0; g < hexlen / 8; g++) {
		char word[9];
		memcpy(word, s + g * 8, 8);
		word[8] = '\0';
		char *end;
		uint32_t v = (uint32_t)strtoul(word, &end, 16);
		if (*end != '\0')
			return false;
		memcpy(out->data() + g * 4, &v, 4);
	}
	if (hexlen == 8) {
		/* IPv4 as an IPv4-mapped IPv6 address, one key for both. */
		uint8_t v4[4];
		memcpy(v4, out->data(), 4);
		*out = {};
		(*out)[10] = (*out)[11] = 0xff;
		memcpy(out->data() + 12, v4, 4);
	}
	return true;
}

/* Reads /proc/net/<table> into the batch's sockets. */
static void
who_read_table(const char *table, bool tcp)
{
	char path[64];
	(void)snprintf(path, sizeof path, "/proc/self/net/%s", table);
	FILE *f = fopen(path, "re");
	if (f == NULL)
		return;
	char line[512];
	(void)fgets(line, sizeof line, f); /* the heading */
	while (fgets(line, sizeof line, f) != NULL) {
		char local[64];
		unsigned port;
		unsigned long uid;
		unsigned long long inode;
		/* sl local rem st tx:rx tr:when retrnsmt uid timeout inode */
		if (sscanf(line, " %*s %63[0-9A-Fa-f]:%x %*s %*s %*s %*s %*s %lu %*s %llu", local,
		    &port, &uid, &inode) != 4)
			continue;
		std::array<uint8_t, 16> a;
		if (!who_hex_addr(local, strlen(local), &a))
			continue;
		who->sockets[{tcp, (uint16_t)port, a}] = {(uint32_t)uid, (uint64_t)inode};
	}
	(void)fclose(f);
}

/* The client's address as the tables' key form. */
static std::array<uint8_t, 16>
who_key_addr(const struct record_addr *ra)
{
	std::array<uint8_t, 16> a = {};
	if (ra->family == AF_INET) {
		a[10] = a[11] = 0xff;
		memcpy(a.data() + 12, ra->a, 4);
	} else {
		memcpy(a.data(), ra->a, 16);
	}
	return a;
}

/* True when a socket bound to `a` may send a query of `family`: an IPv4
 * one from an IPv4 address (kept mapped) or from the IPv6 wildcard. */
static bool
who_family_takes(const std::array<uint8_t, 16> &a, int family)
{
	static const std::array<uint8_t, 16> any6 = {};
	static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
	bool v4 = memcmp(a.data(), mapped, sizeof mapped) == 0;
	return family == AF_INET ? v4 || a == any6 : !v4;
}

/* A socket of the client's port on any local address of its family: a
 * diverted query comes from the loopback, whatever address the
 * application's socket has. */
static const struct who_socket *
who_socket_by_port(const struct record_lookup *l)
{
	for (auto it = who->sockets.lower_bound({l->tcp, l->port, {}});
	    it != who->sockets.end() && std::get<0>(it->first) == l->tcp &&
	    std::get<1>(it->first) == l->port; ++it) {
		if (who_family_takes(std::get<2>(it->first), l->addr.family) &&
		    (l->uid < 0 || it->second.uid == (uint32_t)l->uid))
			return &it->second;
	}
	return NULL;
}

/* The socket of a client: bound to its address, else to the wildcard of
 * either family (an IPv6 socket takes IPv4 too), else, for a diverted one,
 * to any address; never one of another user than its packet's. */
static const struct who_socket *
who_socket_of(const struct record_lookup *l)
{
	static const std::array<uint8_t, 16> any6 = {};
	static const std::array<uint8_t, 16> any4 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
	for (const auto &a : {who_key_addr(&l->addr), any4, any6}) {
		auto it = who->sockets.find({l->tcp, l->port, a});
		if (it != who->sockets.end() && (l->uid < 0 || it->second.uid == (uint32_t)l->uid))
			return &it->second;
	}
	return l->diverted ? who_socket_by_port(l) : NULL;
}

/* Reads the descriptors of process `pid` (its name, `name`, in /proc)
 * for the sockets of `want`; how many of those still sought it holds. */
static size_t
who_scan_pid(int proc, const char *name, long pid, who_want *want)
{
	char dir[48];
	(void)snprintf(dir, sizeof dir, "%s/fd", name);
	int fd = openat(proc, dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	DIR *d = fdopendir(fd);
	if (d == NULL) {
		(void)close(fd);
		return 0;
	}
	size_t found = 0;
	for (struct dirent *de; (de = readdir(d)) != NULL;) {
		char target[64];
		ssize_t n = readlinkat(dirfd(d), de->d_name, target, sizeof target - 1);
		if (n <= 8 || memcmp(target, "socket:[", 8) != 0)
			continue;
		target[n] = '\0';
		auto it = want->find(strtoull(target + 8, NULL, 10));
		if (it != want->end() && it->second < 0) {
			it->second = (int32_t)pid;
			found++;
		}
	}
	(void)closedir(d);
	return found;
}

/* Finds the processes of the sockets of `want` (owned by `uids`): the
 * hinted ones first, then every process of those users, newest first,
 * until none is left to find. */
static void
who_pids_of(who_want *want, const std::vector<uint32_t> &uids)
{
	int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (proc < 0)
		return;
	size_t left = want->size();
	for (long pid : who->hints) {
		if (left == 0)
			break;
		left -= who_scan_pid(proc, std::to_string(pid).c_str(), pid, want);
	}
	std::vector<long> pids;
	DIR *d = left > 0 ? opendir("/proc") : NULL;
	for (struct dirent *de; d != NULL && (de = readdir(d)) != NULL;) {
		char *end;
		long pid = strtol(de->d_name, &end, 10);
		if (*end == '\0' && pid > 0)
			pids.push_back(pid);
	}
	if (d != NULL)
		(void)closedir(d);
	/* Newest first: a client is most often a process that just began.
	 * (Process numbers wrap; the order is a guess, not a rule.) */
	std::sort(pids.rbegin(), pids.rend());
	if (pids.size() > WHO_SCAN_MAX)
		pids.resize(WHO_SCAN_MAX);
	for (long pid : pids) {
		if (left == 0)
			break;
		std::string name = std::to_string(pid);
		struct stat st;
		/* A socket's owner is its process's user: others need not be
		 * read. */
		if (pid == (long)getpid() ||
		    std::find(who->hints.begin(), who->hints.end(), pid) != who->hints.end() ||
		    fstatat(proc, name.c_str(), &st, 0) != 0 ||
		    std::find(uids.begin(), uids.end(), st.st_uid) == uids.end())
			continue;
		left -= who_scan_pid(proc, name.c_str(), pid, want);
	}
	(void)close(proc);
}

static std::string
who_comm(int32_t pid)
{
	char path[64], comm[32] = "";
	(void)snprintf(path, sizeof path, "/proc/%d/comm", (int)pid);
	FILE *f = fopen(path, "re");
	if (f == NULL)
		return "";
	if (fgets(comm, sizeof comm, f) == NULL)
		comm[0] = '\0';
	(void)fclose(f);
	comm[strcspn(comm, "\n")] = '\0';
	return comm;
}

/* Forgets what is no longer believed at `now`, so the maps stay small. */
static void
who_forget(double now)
{
	for (auto it = who->names.begin(); it != who->names.end();)
		it = now - it->second.at >= WHO_REMEMBER_S ? who->names.erase(it) : std::next(it);
	for (auto it = who->by_inode.begin(); it != who->by_inode.end();)
		it = now - it->second.at >= WHO_REMEMBER_S ? who->by_inode.erase(it) : std::next(it);
}

/* Names the clients of one batch. */
static void
who_batch(const std::vector<struct record_lookup> &batch)
{
	double now = VTIM_mono();
	std::vector<std::pair<const struct record_lookup *, struct who_socket>> todo;
	bool read[2] = {false, false}; /* the UDP tables, the TCP ones */
	for (const auto &l : batch) {
		who_key k{l.tcp, l.port, who_key_addr(&l.addr)};
		auto it = who->names.find(k);
		if (it != who->names.end() && now - it->second.at < WHO_REMEMBER_S &&
		    (l.uid < 0 || it->second.uid == l.uid)) {
			record_app(l.seq, it->second.uid, it->second.pid, it->second.comm.c_str());
			continue;
		}
		/* Each table once a batch, and only those it needs: a read of
		 * the TCP tables walks the kernel's whole hash of connections. */
		if (!read[l.tcp]) {
			if (!read[0] && !read[1])
				who->sockets.clear();
			who_read_table(l.tcp ? "tcp" : "udp", l.tcp);
			who_read_table(l.tcp ? "tcp6" : "udp6", l.tcp);
			read[l.tcp] = true;
		}
		/* Gone already, or not of this machine: a diverted one keeps
		 * its packet's owner. */
		const struct who_socket *s = who_socket_of(&l);
		if (s != NULL)
			todo.emplace_back(&l, *s);
	}
	who_want want;
	std::vector<uint32_t> uids;
	for (const auto &[l, s] : todo) {
		auto known = who->by_inode.find(s.inode);
		if (known != who->by_inode.end() && now - known->second.at < WHO_REMEMBER_S)
			continue;
		want[s.inode] = -1;
		if (std::find(uids.begin(), uids.end(), s.uid) == uids.end())
			uids.push_back(s.uid);
	}
	if (!want.empty())
		who_pids_of(&want, uids);
	for (const auto &[inode, pid] : want) {
		who->by_inode[inode] = {-1, pid, pid > 0 ? who_comm(pid) : "", now};
		if (pid <= 0)
			continue;
		std::erase(who->hints, (long)pid);
		who->hints.insert(who->hints.begin(), (long)pid);
		if (who->hints.size() > WHO_HINTS)
			who->hints.pop_back();
	}
	for (const auto &[l, s] : todo) {
		const who_name &byi = who->by_inode[s.inode];
		who_name n{(int32_t)s.uid, byi.pid, byi.comm, now};
		record_app(l->seq, n.uid, n.pid, n.comm.c_str());
		who->names[{l->tcp, l->port, who_key_addr(&l->addr)}] = n;
	}
	who_forget(now);
}

static void *
who_thread(void *arg)
{
	(void)arg;
	std::vector<struct record_lookup> batch;
	while (record_lookups_wait(&batch, WHO_GATHER_MS))
		who_batch(batch);
	return NULL;
}

int
record_who_start(void)
{
	AZ(who);
	who = new record_who();
	who->magic = RECORD_WHO_MAGIC;
	if (ODR_pthread_create(&who->thread, NULL, who_thread, NULL) != 0) {
		vtc_log(vl, VTCLOG_WARN, "QILEC_00960: Cannot start the thread that names the "
		    "applications; the query page shows addresses alone.");
		return -1;
	}
	who->started = true;
	return 0;
}

void
record_who_stop(void)
{
	if (who == NULL)
		return;
	CHECK_OBJ_NOTNULL(who, RECORD_WHO_MAGIC);
	record_lookups_stop();
	if (who->started)
		AZ(pthread_join(who->thread, NULL));
	who->started = false;
}
