/*
 * soak_driver.cc -- the traffic of bench/soak.sh: a client asking good
 * questions at a steady rate, the upstream server that answers them, and
 * hostile traffic on the side; every 10 s it samples the forwarder's
 * memory, descriptors and log size, and at the end it counts the good
 * questions that went unanswered.
 *
 * usage: soak_driver PID LOG FWD_PORT UP_PORT REMOTE_PORTS SECONDS RATE JUNK LISTEN_JUNK
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

/* A query for "<kind><seq>.soak.example", type A. */
std::vector<uint8_t>
query(uint16_t id, char kind, unsigned seq)
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

/* The answer to query `q` (`n` bytes) as the kind in its name asks. */
size_t
answer(uint8_t *q, size_t n, size_t cap)
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
		size_t len = n > 0 ? answer(buf, (size_t)n, sizeof buf) : 0;
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

int
main(int argc, char *argv[])
{
	if (argc != 10) {
		fprintf(stderr, "usage: soak_driver PID LOG FWD_PORT UP_PORT REMOTE_PORTS "
		                "SECONDS RATE JUNK LISTEN_JUNK\n");
		return 2;
	}
	const int pid = atoi(argv[1]);
	const char *log = argv[2];
	const auto fwd = endpoint("127.0.0.1", (uint16_t)atoi(argv[3]));
	std::vector<struct sockaddr_in> remotes;
	std::stringstream ports(argv[5]);
	for (std::string p; std::getline(ports, p, ',');)
		remotes.push_back(endpoint("127.0.0.1", (uint16_t)atoi(p.c_str())));
	const double seconds = atof(argv[6]), rate = atof(argv[7]), junk = atof(argv[8]);
	const bool listen_junk = atoi(argv[9]) != 0;
	if (seconds < 20) {
		fprintf(stderr, "soak_driver: at least 20 seconds (10 of them warm-up)\n");
		return 2;
	}

	int client = udp_socket("127.0.0.1", 0);
	int upstream = udp_socket("127.0.0.2", (uint16_t)atoi(argv[4]));
	int stranger = udp_socket("127.0.0.5", 0);
	std::thread rx(client_receiver, client), up(upstream_server, upstream);

	std::mt19937 rnd(12345);
	unsigned long sent = 0, junk_sent = 0, good_sent = 0;
	double due_q = 0, due_j = 0;
	const auto t0 = Clock::now();
	auto next_sample = t0;
	long rss0 = -1, fds0 = -1, log0 = -1;
	printf("%6s %9s %9s %11s %9s %5s %12s\n", "time_s", "good", "answered", "unanswered",
	    "rss_kib", "fds", "log_bytes");
	for (;;) {
		auto now = Clock::now();
		double t = std::chrono::duration<double>(now - t0).count();
		if (now >= next_sample) {
			long rss = proc_status_kib(pid, "VmRSS:"), fds = open_fds(pid),
			     lg = file_size(log);
			/* The baseline is the sample after 10 s of warm-up (the
			 * buffers and rings in use by then). */
			if (t >= 9.5 && rss0 < 0)
				rss0 = rss, fds0 = fds, log0 = lg;
			printf("%6.0f %9lu %9lu %11lu %9ld %5ld %12ld\n", t, good_sent,
			    answered.load(), unanswered.load(), rss, fds, lg);
			fflush(stdout);
			next_sample += std::chrono::seconds(10);
		}
		if (t >= seconds)
			break;
		due_q = rate * t - (double)sent;
		for (; due_q >= 1; due_q--) {
			uint16_t id = (uint16_t)sent;
			unsigned r = sent % 10;
			char kind = r < 8 ? 'g' : r == 8 ? 'h' : 'b';
			Slot &s = slots[id];
			/* A slot still waiting after 65536 more questions: lost. */
			if (s.waiting.exchange(false))
				unanswered++;
			s.kind = kind;
			if (kind != 'b') {
				s.waiting = true;
				good_sent++;
			}
			auto q = query(id, kind, (unsigned)sent);
			send_to(client, q.data(), q.size(), fwd);
			sent++;
		}
		due_j = junk * t - (double)junk_sent;
		for (; due_j >= 1; due_j--, junk_sent++) {
			uint8_t b[96];
			size_t n = 12 + rnd() % 84;
			for (size_t i = 0; i < n; i++)
				b[i] = (uint8_t)rnd();
			if (listen_junk)
				send_to(stranger, b, n, fwd);
			for (const auto &r : remotes) {
				send_to(stranger, b, n, r);
				/* From the server's own address: an answer to a
				 * question nobody asked, with an ID that is wrong
				 * more often than not. */
				auto a = query((uint16_t)rnd(), 'g', (unsigned)rnd());
				uint8_t ab[4096];
				memcpy(ab, a.data(), a.size());
				size_t al = answer(ab, a.size(), sizeof ab);
				send_to(upstream, ab, al, r);
			}
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}

	/* Answers still on their way, held ones included. */
	std::this_thread::sleep_for(std::chrono::seconds(2));
	stop = true;
	rx.join();
	up.join();
	unsigned long lost = unanswered.load(), lost_held = 0;
	for (const Slot &s : slots) {
		lost += s.waiting ? 1 : 0;
		lost_held += s.waiting && s.kind == 'h' ? 1 : 0;
	}
	long rss = proc_status_kib(pid, "VmRSS:"), fds = open_fds(pid), lg = file_size(log);
	printf("\nquestions %lu (good and held %lu), junk %lu per socket\n", sent, good_sent,
	    junk_sent);
	printf("unanswered good questions: %lu (held kind, of the last 65536: %lu), "
	       "extra answers: %lu\n", lost, lost_held, extra.load());
	printf("after the first 10 s: rss %ld -> %ld KiB (%+ld), fds %ld -> %ld (%+ld), "
	       "log %+ld bytes (%.0f bytes per minute)\n", rss0, rss, rss - rss0, fds0, fds,
	    fds - fds0, lg - log0, (double)(lg - log0) / (seconds - 10) * 60.0);
	return 0;
}
