/*
 * soak_driver.cc -- the traffic of bench/soak.sh: a client asking good
 * questions at a steady rate, the upstream server that answers them, and
 * hostile traffic on the side; every 10 s it samples the forwarder's
 * memory, descriptors and log size, and at the end it counts the good
 * questions that went unanswered.
 *
 * usage: soak_driver PID LOG FWD_PORT UP_PORT REMOTE_PORTS SECONDS RATE JUNK LISTEN_JUNK TCP
 *   PID           the forwarder's process (for /proc/PID)
 *   LOG           its log file
 *   FWD_PORT      its listening port on 127.0.0.1
 *   UP_PORT       the port on 127.0.0.2 where this program is its upstream
 *   REMOTE_PORTS  its upstream sockets' ports on 0.0.0.0, comma-separated
 *   SECONDS       how long to send
 *   RATE          questions per second: 80 % answered at once ("g"), 10 %
 *                 with a single record, so held 0.3 s ("h"), 10 % with a
 *                 blocklisted address, so dropped ("b")
 *   JUNK          junk datagrams per second to each socket: random bytes
 *                 from a stranger (127.0.0.5) to the listening and the
 *                 upstream sockets, and well-formed answers with wrong IDs
 *                 from the upstream server's own address
 *   LISTEN_JUNK   1: junk to the listening socket too; 0: the upstream
 *                 sockets only
 *   TCP           abusers of DNS over TCP (soak_tcp.h): this many tricklers
 *                 and as many stalled readers, reconnecting as they are
 *                 closed; 0: none. A question over TCP once a second either
 *                 way, answered by the upstream server over TCP on UP_PORT.
 */
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "soak_tcp.h"

namespace {

using Clock = std::chrono::steady_clock;

int
udp_socket(const char *addr, uint16_t port)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	int big = 4 << 20;
	if (fd < 0 || inet_pton(AF_INET, addr, &sin.sin_addr) != 1 ||
	    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big) != 0 ||
	    bind(fd, (struct sockaddr *)&sin, sizeof sin) != 0) {
		perror(addr);
		exit(1);
	}
	return fd;
}

struct sockaddr_in
endpoint(const char *addr, uint16_t port)
{
	struct sockaddr_in sin = {};
	sin.sin_family = AF_INET;
	sin.sin_port = htons(port);
	(void)inet_pton(AF_INET, addr, &sin.sin_addr);
	return sin;
}

void
send_to(int fd, const void *p, size_t n, const struct sockaddr_in &to)
{
	(void)sendto(fd, p, n, MSG_DONTWAIT, (const struct sockaddr *)&to, sizeof to);
}

struct Slot {
	std::atomic<bool> waiting{false};
	char kind = 0;
};

std::array<Slot, 65536> slots;
std::atomic<unsigned long> answered{0}, unanswered{0}, extra{0};
std::atomic<bool> stop{false};

void
client_receiver(int fd)
{
	uint8_t buf[4096];
	while (!stop) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, 100) <= 0)
			continue;
		ssize_t n = recv(fd, buf, sizeof buf, 0);
		if (n < 12)
			continue;
		Slot &s = slots[(size_t)(buf[0] << 8 | buf[1])];
		if (s.waiting.exchange(false))
			answered++;
		else
			extra++;
	}
}

void
upstream_server(int fd)
{
	uint8_t buf[4096];
	while (!stop) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, 100) <= 0)
			continue;
		struct sockaddr_in from;
		socklen_t fl = sizeof from;
		ssize_t n = recvfrom(fd, buf, 512, 0, (struct sockaddr *)&from, &fl);
		size_t len = n > 0 ? soak_answer(buf, (size_t)n, sizeof buf) : 0;
		if (len > 0)
			(void)sendto(fd, buf, len, 0, (struct sockaddr *)&from, fl);
	}
}

long
proc_status_kib(int pid, const char *key)
{
	std::ifstream f("/proc/" + std::to_string(pid) + "/status");
	std::string line;
	while (std::getline(f, line))
		if (line.rfind(key, 0) == 0)
			return atol(line.c_str() + strlen(key));
	return -1;
}

long
open_fds(int pid)
{
	std::string cmd = "ls /proc/" + std::to_string(pid) + "/fd 2>/dev/null | wc -l";
	FILE *p = popen(cmd.c_str(), "r");
	long n = -1;
	if (p != nullptr) {
		if (fscanf(p, "%ld", &n) != 1)
			n = -1;
		pclose(p);
	}
	return n;
}

long
file_size(const char *path)
{
	struct stat st;
	return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

} // namespace

std::vector<uint8_t>
soak_query(uint16_t id, char kind, unsigned seq)
{
	std::vector<uint8_t> q = {uint8_t(id >> 8), uint8_t(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
	std::string label = kind + std::to_string(seq);
	for (const std::string &l : {label, std::string("soak"), std::string("example")}) {
		q.push_back(uint8_t(l.size()));
		q.insert(q.end(), l.begin(), l.end());
	}
	q.insert(q.end(), {0, 0, 1, 0, 1});
	return q;
}

size_t
soak_answer(uint8_t *q, size_t n, size_t cap)
{
	size_t end = 12;
	while (end < n && q[end] != 0)
		end += q[end] + 1u;
	end += 5;
	if (n < 13 || end > n || end + 32 > cap)
		return 0;
	char kind = (char)q[13];
	uint8_t last = kind == 'b' ? 66 : 1; /* 192.0.2.66 is on the blocklist */
	int records = kind == 'h' ? 1 : 2;
	q[2] |= 0x80;
	q[3] = 0x80;
	q[6] = 0, q[7] = (uint8_t)records;
	q[8] = q[9] = q[10] = q[11] = 0;
	size_t p = end;
	for (int r = 0; r < records; r++) {
		const uint8_t rr[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2,
		    (uint8_t)(last + r)};
		memcpy(q + p, rr, sizeof rr);
		p += sizeof rr;
	}
	return p;
}

namespace {

/* The run: what the command line asked, the sockets, and the counts. */
struct Run {
	int pid;
	const char *log;
	struct sockaddr_in fwd;
	std::vector<struct sockaddr_in> remotes;
	double seconds, rate, junk;
	bool listen_junk;
	int tcp;
	int client, upstream, stranger;
	std::mt19937 rnd{12345};
	unsigned long sent = 0, junk_sent = 0, good_sent = 0;
	long rss0 = -1, fds0 = -1, log0 = -1;
	SoakTcpCounts tcp_counts;
};

/* One line of samples at `t` seconds; the baseline is the sample after
 * 10 s of warm-up (the buffers and rings in use by then). */
void
sample(Run &r, double t)
{
	long rss = proc_status_kib(r.pid, "VmRSS:"), fds = open_fds(r.pid), lg = file_size(r.log);
	if (t >= 9.5 && r.rss0 < 0)
		r.rss0 = rss, r.fds0 = fds, r.log0 = lg;
	printf("%6.0f %9lu %9lu %11lu %9ld %5ld %12ld %8lu %8lu %8lu %8lu\n", t, r.good_sent,
	    answered.load(), unanswered.load(), rss, fds, lg, r.tcp_counts.asked.load(),
	    r.tcp_counts.answered.load(), r.tcp_counts.trickler_closed.load(),
	    r.tcp_counts.stalled_closed.load());
	fflush(stdout);
}

/* The good questions due by `t`. */
void
send_questions(Run &r, double t)
{
	for (double due = r.rate * t - (double)r.sent; due >= 1; due--) {
		uint16_t id = (uint16_t)r.sent;
		unsigned k = r.sent % 10;
		char kind = k < 8 ? 'g' : k == 8 ? 'h' : 'b';
		Slot &s = slots[id];
		/* A slot still waiting after 65536 more questions: lost. */
		if (s.waiting.exchange(false))
			unanswered++;
		s.kind = kind;
		if (kind != 'b') {
			s.waiting = true;
			r.good_sent++;
		}
		auto q = soak_query(id, kind, (unsigned)r.sent);
		send_to(r.client, q.data(), q.size(), r.fwd);
		r.sent++;
	}
}

/* The junk due by `t`. */
void
send_junk(Run &r, double t)
{
	for (double due = r.junk * t - (double)r.junk_sent; due >= 1; due--, r.junk_sent++) {
		uint8_t b[96];
		size_t n = 12 + r.rnd() % 84;
		for (size_t i = 0; i < n; i++)
			b[i] = (uint8_t)r.rnd();
		if (r.listen_junk)
			send_to(r.stranger, b, n, r.fwd);
		for (const auto &to : r.remotes) {
			send_to(r.stranger, b, n, to);
			/* From the server's own address: an answer to a question
			 * nobody asked, with an ID that is wrong more often than
			 * not. */
			auto a = soak_query((uint16_t)r.rnd(), 'g', (unsigned)r.rnd());
			uint8_t ab[4096];
			memcpy(ab, a.data(), a.size());
			size_t al = soak_answer(ab, a.size(), sizeof ab);
			send_to(r.upstream, ab, al, to);
		}
	}
}

void
report(const Run &r)
{
	unsigned long lost = unanswered.load(), lost_held = 0;
	for (const Slot &s : slots) {
		lost += s.waiting ? 1 : 0;
		lost_held += s.waiting && s.kind == 'h' ? 1 : 0;
	}
	long rss = proc_status_kib(r.pid, "VmRSS:"), fds = open_fds(r.pid), lg = file_size(r.log);
	printf("\nquestions %lu (good and held %lu), junk %lu per socket\n", r.sent, r.good_sent,
	    r.junk_sent);
	printf("unanswered good questions: %lu (held kind, of the last 65536: %lu), "
	       "extra answers: %lu\n", lost, lost_held, extra.load());
	printf("over TCP: %lu of %lu questions answered within 1 s (%lu without a "
	       "connection, %lu closed unanswered); abusers closed: %lu tricklers, %lu "
	       "stalled readers (%d of each)\n", r.tcp_counts.answered.load(),
	    r.tcp_counts.asked.load(), r.tcp_counts.unconnected.load(),
	    r.tcp_counts.closed.load(), r.tcp_counts.trickler_closed.load(),
	    r.tcp_counts.stalled_closed.load(), r.tcp);
	printf("after the first 10 s: rss %ld -> %ld KiB (%+ld), fds %ld -> %ld (%+ld), "
	       "log %+ld bytes (%.0f bytes per minute)\n", r.rss0, rss, rss - r.rss0, r.fds0, fds,
	    fds - r.fds0, lg - r.log0, (double)(lg - r.log0) / (r.seconds - 10) * 60.0);
}

} // namespace

int
main(int argc, char *argv[])
{
	if (argc != 11) {
		fprintf(stderr, "usage: soak_driver PID LOG FWD_PORT UP_PORT REMOTE_PORTS "
		                "SECONDS RATE JUNK LISTEN_JUNK TCP\n");
		return 2;
	}
	Run r;
	r.pid = atoi(argv[1]);
	r.log = argv[2];
	r.fwd = endpoint("127.0.0.1", (uint16_t)atoi(argv[3]));
	std::stringstream ports(argv[5]);
	for (std::string p; std::getline(ports, p, ',');)
		r.remotes.push_back(endpoint("127.0.0.1", (uint16_t)atoi(p.c_str())));
	r.seconds = atof(argv[6]), r.rate = atof(argv[7]), r.junk = atof(argv[8]);
	r.listen_junk = atoi(argv[9]) != 0;
	r.tcp = atoi(argv[10]);
	if (r.seconds < 20) {
		fprintf(stderr, "soak_driver: at least 20 seconds (10 of them warm-up)\n");
		return 2;
	}

	r.client = udp_socket("127.0.0.1", 0);
	r.upstream = udp_socket("127.0.0.2", (uint16_t)atoi(argv[4]));
	r.stranger = udp_socket("127.0.0.5", 0);
	std::vector<std::thread> threads;
	threads.emplace_back(client_receiver, r.client);
	threads.emplace_back(upstream_server, r.upstream);
	soak_tcp_start(ntohs(r.fwd.sin_port), (uint16_t)atoi(argv[4]), r.tcp, stop, r.tcp_counts,
	    threads);

	const auto t0 = Clock::now();
	auto next_sample = t0;
	printf("%6s %9s %9s %11s %9s %5s %12s %8s %8s %8s %8s\n", "time_s", "good", "answered",
	    "unanswered", "rss_kib", "fds", "log_bytes", "tcp_q", "tcp_ok", "trickle", "stalled");
	for (double t = 0; t < r.seconds;) {
		send_questions(r, t);
		send_junk(r, t);
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
		t = std::chrono::duration<double>(Clock::now() - t0).count();
		if (Clock::now() >= next_sample) {
			sample(r, t);
			next_sample += std::chrono::seconds(10);
		}
	}

	/* Answers still on their way, held ones included. */
	std::this_thread::sleep_for(std::chrono::seconds(2));
	stop = true;
	for (auto &t : threads)
		t.join();
	report(r);
	return 0;
}
